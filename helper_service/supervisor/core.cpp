#include "supervisor/core.h"

#include <cassert>
#include <cstdio>
#include <exception>

#include "common/cmdline.h"
#include "common/shown_text.h"
#include "log/log.h"

namespace corvid {

namespace {

bool stopping(const CoreState& state) {
  return state.stop_flag != nullptr && state.stop_flag->load();
}

}  // namespace

std::string core_command_line(const CoreLaunch& launch) {
  return build_command_line(
      launch.core_path, {"-d", launch.work_dir, "-c", launch.config_path, "-l", launch.log_path});
}

Result<ChildProcess> spawn_core(CoreBackend& backend, const CoreLaunch& launch) {
  if (!backend.exists(launch.core_path)) {
    return std::unexpected(Error("core not found: " + shown_text(launch.core_path)));
  }
  auto child = backend.create_process(launch.core_path, core_command_line(launch), launch.work_dir);
  if (!child)
    return std::unexpected(context("spawn core", std::move(child.error())));
  return std::move(*child);
}

void end_child(CoreState& state, ChildProcess child) {
  if (child.terminate_and_wait(kCoreEndWait))
    return;
  // Its job is kept with it, so the kill still completes; launching another core meanwhile could
  // leave two running.
  log_line("core did not end within " +
           std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kCoreEndWait).count()) +
           " s: no core is launched until it has ended");
  state.ending.push_back(std::move(child));
}

bool ended_cores_gone(CoreState& state) {
  std::erase_if(state.ending, [](ChildProcess& child) {
    const Result<PollResult> poll = child.poll();
    if (!poll || poll->state != PollResult::State::kExited)
      return false;
    log_line("ended core is gone: " + exit_status_text(poll->exit_code));
    return true;
  });
  return state.ending.empty();
}

void release_child(std::optional<ChildProcess>& child) {
  child.reset();
}

void LaunchSlot::wait_idle(std::unique_lock<std::mutex>& held) {
  ++waiting_;
  done_.wait(held, [this] { return !launching_; });
  --waiting_;
}

void LaunchSlot::for_start(std::unique_lock<std::mutex>& held) {
  // One launch at a time: a relaunch in flight lands first, and the start then replaces it.
  wait_idle(held);
  supersede();
}

void LaunchSlot::for_stop(std::unique_lock<std::mutex>& held) {
  // Superseded first, the launch in flight ends its own child; waited for, so nothing runs after.
  supersede();
  wait_idle(held);
}

LaunchTicket::LaunchTicket(CoreState& state)
    : state_(state), generation_(state.launches.generation_) {
  assert(!state_.launches.launching_ && "one launch in flight at a time");
  state_.launches.launching_ = true;
}

LaunchTicket::~LaunchTicket() {
  if (!ended_)
    abandon();
}

void LaunchTicket::end() {
  ended_ = true;
  state_.launches.launching_ = false;
}

void LaunchTicket::abandon() {
  {
    std::lock_guard guard(state_.lock);
    end();
  }
  state_.launches.done_.notify_all();
}

bool LaunchTicket::store_child(ChildProcess child, std::string_view stored_message) {
  bool stored = false;
  {
    std::lock_guard guard(state_.lock);
    end();
    if (state_.keep_running && !state_.child && state_.launches.generation_ == generation_ &&
        !stopping(state_)) {
      state_.child.emplace(std::move(child));
      log_line(stored_message);
      stored = true;
    } else {
      // Stale: a stop or a newer start came while it was launching.
      end_child(state_, std::move(child));
    }
  }
  state_.launches.done_.notify_all();
  return stored;
}

Result<ChildProcess> launch_core(CoreBackend& backend, const CoreLaunch& launch) {
  try {
    return spawn_core(backend, launch);
  } catch (const std::exception& error) {
    return std::unexpected(Error("spawn core", error.what()));
  }
}

namespace {

Result<void> start(CoreState& state, const StartOptions& options, const Caller& caller) {
  CoreBackend& backend = *state.backend;
  const Result<CoreLaunch> prepared = prepare_start(backend, options, caller);
  if (!prepared)
    return std::unexpected(prepared.error());
  const CoreLaunch& launch = *prepared;

  std::optional<LaunchTicket> ticket;
  {
    std::unique_lock held(state.lock);
    state.launches.for_start(held);
    if (stopping(state))
      return std::unexpected(Error("service is stopping"));
    state.keep_running = true;
    state.launch = launch;
    if (state.child) {
      ChildProcess old = std::move(*state.child);
      state.child.reset();
      end_child(state, std::move(old));
    }
    // Still wanted: the watchdog launches it once the old core is gone.
    if (!ended_cores_gone(state))
      return std::unexpected(Error("previous core has not ended"));
    ticket.emplace(state);
  }

  Result<ChildProcess> child = launch_core(backend, launch);
  if (!child)
    return std::unexpected(child.error());
  if (!ticket->store_child(std::move(*child), "core started"))
    return std::unexpected(Error("core start cancelled"));
  return {};
}

}  // namespace

Result<void> start_core(CoreState& state, const StartOptions& options, const Caller& caller) {
  Result<void> started = start(state, options, caller);
  // The client sees only the short text: the cause goes where a person can read it.
  if (!started)
    log_line("start failed: " + detailed_text(started.error()));
  return started;
}

void stop_core(CoreState& state) {
  std::unique_lock held(state.lock);
  state.keep_running = false;
  state.launches.for_stop(held);
  if (state.child) {
    ChildProcess old = std::move(*state.child);
    state.child.reset();
    end_child(state, std::move(old));
  }
  ended_cores_gone(state);
  log_line("core stopped");
}

CoreStatus query_core_status(CoreState& state) {
  std::lock_guard guard(state.lock);
  if (!state.child)
    return {};
  const Result<PollResult> poll = state.child->poll();
  if (!poll)
    return {};
  switch (poll->state) {
    case PollResult::State::kRunning:
      return {true, state.child->process_id()};
    case PollResult::State::kExited:
      release_child(state.child);
      return {};
  }
  return {};
}

std::string exit_status_text(std::uint32_t code) {
  char text[32];
  if ((code & 0x80000000u) != 0) {
    std::snprintf(text, sizeof text, "exit code: 0x%x", code);
  } else {
    std::snprintf(text, sizeof text, "exit code: %u", code);
  }
  return text;
}

}  // namespace corvid
