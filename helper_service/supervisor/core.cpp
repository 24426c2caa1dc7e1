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

// A caller as the log names it: by SID, never by a name looked up elsewhere.
std::string who(const Caller& caller) {
  std::string text = caller.user_sid.empty() ? "an unidentified user" : caller.user_sid;
  if (caller.session_id)
    text += " (session " + std::to_string(*caller.session_id) + ")";
  return text;
}

// Under the core lock: whether the owner has left the session the core was started from. Only a
// clear answer counts: no user there, or another one; a session that cannot be asked keeps its
// owner.
bool owner_has_left(CoreBackend& backend, const CoreOwner& owner) {
  if (!owner.session_id)
    return false;
  const Result<std::optional<std::string>> there = backend.session_user(*owner.session_id);
  return there.has_value() && (!*there || **there != owner.user_sid);
}

// Under the core lock: whether `caller` may start or stop the core; a core whose owner has left
// becomes no one's here. A refusal is logged, with `action` and the caller's SID.
Result<void> check_owner(CoreState& state, const Caller& caller, std::string_view action) {
  if (caller.privileged || !state.owner)
    return {};
  const CoreOwner& owner = *state.owner;
  if (!owner.privileged && !caller.user_sid.empty()) {
    if (owner.user_sid == caller.user_sid)
      return {};
    if (owner_has_left(*state.backend, owner)) {
      log_line("core no longer owned: " + owner.user_sid + " has left session " +
               std::to_string(*owner.session_id));
      state.owner.reset();
      return {};
    }
  }
  log_line(std::string(action) + " refused for " + who(caller) + ": " + kCoreInUse);
  return std::unexpected(Error(kCoreInUse));
}

// Who a start makes the owner: nobody when a standard caller cannot be told from others.
std::optional<CoreOwner> owner_for(const Caller& caller) {
  if (!caller.privileged && caller.user_sid.empty())
    return std::nullopt;
  return CoreOwner{caller.privileged, caller.user_sid, caller.session_id};
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

// Holds `request` (the client requests' lock) until its launch is begun.
Result<void> start(CoreState& state, const StartOptions& options, const Caller& caller,
                   std::unique_lock<std::mutex> request) {
  CoreBackend& backend = *state.backend;
  const Result<CoreLaunch> prepared = prepare_start(backend, options, caller);
  CORVID_TRY(prepared);
  const CoreLaunch& launch = *prepared;

  std::optional<LaunchTicket> ticket;
  {
    std::unique_lock held(state.lock);
    state.launches.for_start(held);
    if (stopping(state))
      return std::unexpected(Error("service is stopping"));
    if (!caller.privileged)
      log_line("start by " + who(caller));
    state.keep_running = true;
    state.launch = launch;
    state.owner = owner_for(caller);
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
  request.unlock();

  CORVID_TRY_ASSIGN(ChildProcess child, launch_core(backend, launch));
  if (!ticket->store_child(std::move(child), "core started"))
    return std::unexpected(Error("core start cancelled"));
  return {};
}

// Under the core lock, held in `held`.
void stop_held(CoreState& state, std::unique_lock<std::mutex>& held) {
  state.keep_running = false;
  state.owner.reset();
  state.launches.for_stop(held);
  if (state.child) {
    ChildProcess old = std::move(*state.child);
    state.child.reset();
    end_child(state, std::move(old));
  }
  ended_cores_gone(state);
  log_line("core stopped");
}

}  // namespace

Result<void> start_core(CoreState& state, const StartOptions& options, const Caller& caller) {
  std::unique_lock request(state.requests);
  {
    std::lock_guard guard(state.lock);
    CORVID_TRY(check_owner(state, caller, "start"));
  }
  Result<void> started = start(state, options, caller, std::move(request));
  // The client sees only the short text: the cause goes where a person can read it.
  if (!started)
    log_line("start failed: " + detailed_text(started.error()));
  return started;
}

Result<void> stop_core(CoreState& state, const Caller& caller) {
  const std::lock_guard request(state.requests);
  std::unique_lock held(state.lock);
  CORVID_TRY(check_owner(state, caller, "stop"));
  stop_held(state, held);
  return {};
}

void stop_core(CoreState& state) {
  std::unique_lock held(state.lock);
  stop_held(state, held);
}

std::optional<CoreOwner> query_core_owner(CoreState& state) {
  std::lock_guard guard(state.lock);
  return state.owner;
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

void protect_core_config(CoreBackend& backend) {
  const Result<std::string> dir = backend.install_dir();
  Result<void> done = dir ? backend.protect_config(core_files(*dir).config_path)
                          : Result<void>(std::unexpected(dir.error()));
  if (!done)
    log_line("config not protected: " + detailed_text(done.error()));
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
