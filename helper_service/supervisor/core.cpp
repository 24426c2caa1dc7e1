#include "supervisor/core.h"

#include <cstdio>
#include <exception>
#include <vector>

#include "common/cmdline.h"
#include "common/winpath.h"
#include "log/log.h"

namespace corvid {

namespace {

// Relative config and log paths are taken from the working directory; absolute ones stand.
std::string resolve_beside(const std::string& work_dir, const std::optional<std::string>& given,
                           std::string_view fallback) {
  const std::string name = given ? *given : std::string(fallback);
  return is_absolute_path(name) ? name : join_path(work_dir, name);
}

// Runs a file-system action of a start with the right identity: the service's own for a
// privileged caller and for what the service owns in its install directory (config.json, the log
// directory), the client's for everything else. False when the action did not run.
bool with_rights(const Caller& caller, bool service_owned, const std::function<void()>& action) {
  if (caller.privileged || service_owned) {
    action();
    return true;
  }
  return caller.as_client && caller.as_client(action);
}

// `service_owned` names the one parent directory the service creates as itself.
void create_parent(CoreBackend& backend, const Caller& caller, const std::string& path,
                   const std::string& service_owned) {
  const std::optional<std::string> parent = parent_path(path);
  if (!parent || parent->empty())
    return;
  const bool own = !service_owned.empty() && is_same_path(*parent, service_owned);
  with_rights(caller, own, [&] { backend.create_directories(*parent); });
}

bool stopping(const CoreState& state) {
  return state.stop_flag != nullptr && state.stop_flag->load();
}

}  // namespace

CoreLaunch resolve_launch(const std::string& install_dir, const StartOptions& options) {
  CoreLaunch launch;
  launch.work_dir = options.work_dir ? *options.work_dir : install_dir;
  launch.core_path =
      options.core_path ? *options.core_path : join_path(launch.work_dir, "clash-rs.exe");
  launch.config_path = resolve_beside(launch.work_dir, options.config_path, "config.json");
  launch.log_path = resolve_beside(launch.work_dir, options.log_path, "log\\clash.log");
  return launch;
}

std::string core_command_line(const CoreLaunch& launch) {
  return build_command_line(
      launch.core_path, {"-d", launch.work_dir, "-c", launch.config_path, "-l", launch.log_path});
}

Result<ChildProcess> spawn_core(CoreBackend& backend, const CoreLaunch& launch) {
  if (!backend.exists(launch.core_path)) {
    return std::unexpected(Error("core not found: " + launch.core_path));
  }
  auto child = backend.create_process(launch.core_path, core_command_line(launch), launch.work_dir);
  if (!child)
    return std::unexpected(Error("spawn core", child.error()));
  return std::move(*child);
}

void terminate_child(CoreBackend& backend, ChildProcess child) {
  backend.terminate_and_wait(child);
  // `child` goes out of scope here: its handles are closed.
}

void release_child(std::optional<ChildProcess>& child) {
  child.reset();
}

void wait_for_launch(CoreState& state, std::unique_lock<std::mutex>& held) {
  state.launch_done.wait(held, [&] { return !state.launching; });
}

namespace {

// Ends the launch in flight when no child came of it.
void abandon_launch(CoreState& state) {
  {
    std::lock_guard guard(state.lock);
    state.launching = false;
  }
  state.launch_done.notify_all();
}

}  // namespace

Result<ChildProcess> launch_core(CoreState& state, const CoreLaunch& launch) {
  // Every way out of a failed launch must end it, or later starts and stops wait for ever.
  try {
    Result<ChildProcess> child = spawn_core(*state.backend, launch);
    if (!child)
      abandon_launch(state);
    return child;
  } catch (const std::exception& error) {
    abandon_launch(state);
    return std::unexpected(Error("spawn core", error.what()));
  }
}

bool store_child(CoreState& state, ChildProcess child, std::uint64_t generation,
                 std::string_view stored_message) {
  bool stored = false;
  {
    std::lock_guard guard(state.lock);
    state.launching = false;
    if (state.keep_running && !state.child && state.generation == generation && !stopping(state)) {
      state.child.emplace(std::move(child));
      log_line(stored_message);
      stored = true;
    } else {
      // Stale: a stop or a newer start came while it was launching.
      terminate_child(*state.backend, std::move(child));
    }
  }
  state.launch_done.notify_all();
  return stored;
}

Result<void> start_core(CoreState& state, const StartOptions& options, const Caller& caller) {
  CoreBackend& backend = *state.backend;
  Result<std::string> install_dir = backend.install_dir();
  if (!install_dir)
    return std::unexpected(install_dir.error());
  const CoreLaunch launch = resolve_launch(*install_dir, options);
  // Anyone in Users may connect: only the installed core runs with the service's rights.
  if (!caller.privileged && !is_inside(*install_dir, launch.core_path)) {
    return std::unexpected(Error("core path not allowed: " + launch.core_path));
  }

  create_parent(backend, caller, launch.log_path, join_path(*install_dir, "log"));
  if (options.config) {
    create_parent(backend, caller, launch.config_path, *install_dir);
    std::expected<void, std::string> written =
        std::unexpected(std::string("the client's identity could not be taken on"));
    const bool own = is_same_path(launch.config_path, join_path(*install_dir, "config.json"));
    with_rights(caller, own,
                [&] { written = backend.write_file(launch.config_path, *options.config); });
    if (!written)
      return std::unexpected(Error("write config", written.error()));
  }

  std::uint64_t generation = 0;
  {
    std::unique_lock held(state.lock);
    // One launch at a time: a relaunch in flight lands (and is replaced below) first.
    wait_for_launch(state, held);
    if (stopping(state))
      return std::unexpected(Error("service is stopping"));
    state.keep_running = true;
    state.launch = launch;
    generation = ++state.generation;
    if (state.child) {
      ChildProcess old = std::move(*state.child);
      state.child.reset();
      terminate_child(backend, std::move(old));
    }
    state.launching = true;
  }

  Result<ChildProcess> child = launch_core(state, launch);
  if (!child)
    return std::unexpected(child.error());
  if (!store_child(state, std::move(*child), generation, "core started")) {
    return std::unexpected(Error("core start cancelled"));
  }
  return {};
}

void stop_core(CoreState& state) {
  std::unique_lock held(state.lock);
  state.keep_running = false;
  ++state.generation;
  // A launch in flight is ended by its own store step; wait for it so that nothing runs after.
  wait_for_launch(state, held);
  if (state.child) {
    ChildProcess old = std::move(*state.child);
    state.child.reset();
    terminate_child(*state.backend, std::move(old));
  }
  log_line("core stopped");
}

CoreStatus query_core_status(CoreState& state) {
  std::lock_guard guard(state.lock);
  if (!state.child)
    return {};
  const PollResult poll = state.backend->poll(*state.child);
  switch (poll.state) {
    case PollResult::State::kRunning:
      return {true, state.backend->process_id(*state.child)};
    case PollResult::State::kExited:
      release_child(state.child);
      return {};
    case PollResult::State::kFailed:
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
