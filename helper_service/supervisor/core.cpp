#include "supervisor/core.h"

#include <cassert>
#include <cstdio>
#include <exception>
#include <vector>

#include "common/cmdline.h"
#include "common/shown_text.h"
#include "common/utf.h"
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

void create_parent(CoreBackend& backend, const std::string& path) {
  const std::optional<std::string> parent = parent_path(path);
  if (!parent || parent->empty())
    return;
  backend.create_directories(*parent);
}

// The path as a refusal shows it: a line-breaking character as \u and four hex digits, so that
// the text can never hold a line break when it reaches the log, and a long path cut short.
std::string shown_path(std::string_view path) {
  return shown_text(path);
}

// Longer than any path Windows takes (32,767 UTF-16 units). A UTF-8 text never has more UTF-16
// units than bytes, so only a long one is converted to count.
bool too_long_for_windows(std::string_view path) {
  constexpr std::size_t kLongestPath = 32767;
  return path.size() > kLongestPath && utf8_to_utf16(path).size() > kLongestPath;
}

const char* label_of(StartField field) {
  switch (field) {
    case StartField::kCorePath:
      return "core path";
    case StartField::kWorkDir:
      return "work dir";
    case StartField::kConfigPath:
      return "config path";
    case StartField::kLogPath:
      return "log path";
  }
  return "path";
}

const std::string& path_of(const CoreLaunch& launch, StartField field) {
  switch (field) {
    case StartField::kCorePath:
      return launch.core_path;
    case StartField::kWorkDir:
      return launch.work_dir;
    case StartField::kConfigPath:
      return launch.config_path;
    case StartField::kLogPath:
      return launch.log_path;
  }
  return launch.core_path;
}

constexpr StartField kFields[] = {StartField::kCorePath, StartField::kWorkDir,
                                  StartField::kConfigPath, StartField::kLogPath};

Error not_allowed(const CoreLaunch& launch, StartField field) {
  return Error(std::string(label_of(field)) +
               " not allowed: " + shown_path(path_of(launch, field)));
}

// The first reason, in the order of the paths, why the install leaves the core open to others.
std::optional<Error> install_refusal(CoreBackend& backend, const std::string& install_dir) {
  const CoreLaunch defaults = resolve_launch(install_dir, {});
  // What is missing is not judged: a missing core is reported as such at launch, and no one but
  // an administrator could add it, as the directory's own descriptor shows; the log directory and
  // the configuration are created by the service, and inherit the directory's entries.
  std::vector<std::string> inside;
  for (const std::string& path : {defaults.core_path, defaults.config_path,
                                  *parent_path(defaults.log_path), defaults.log_path}) {
    if (backend.exists(path))
      inside.push_back(path);
  }
  return judge_install(install_dir, inside,
                       [&](const std::string& path) { return backend.read_security(path); }, {});
}

bool stopping(const CoreState& state) {
  return state.stop_flag != nullptr && state.stop_flag->load();
}

}  // namespace

CoreFiles core_files(const std::string& install_dir) {
  const CoreLaunch defaults = resolve_launch(install_dir, {});
  return {install_dir, *parent_path(defaults.log_path), defaults.config_path};
}

CoreLaunch resolve_launch(const std::string& install_dir, const StartOptions& options) {
  CoreLaunch launch;
  launch.work_dir = options.work_dir ? *options.work_dir : install_dir;
  launch.core_path =
      options.core_path ? *options.core_path : join_path(launch.work_dir, kCoreFileName);
  launch.config_path = resolve_beside(launch.work_dir, options.config_path, kCoreConfigFileName);
  launch.log_path = resolve_beside(launch.work_dir, options.log_path, kCoreLogFileName);
  return launch;
}

std::string core_command_line(const CoreLaunch& launch) {
  return build_command_line(
      launch.core_path, {"-d", launch.work_dir, "-c", launch.config_path, "-l", launch.log_path});
}

Result<ChildProcess> spawn_core(CoreBackend& backend, const CoreLaunch& launch) {
  if (!backend.exists(launch.core_path)) {
    return std::unexpected(Error("core not found: " + shown_path(launch.core_path)));
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

void LaunchSlot::wait_idle(std::unique_lock<std::mutex>& held) {
  ++waiting_;
  done_.wait(held, [this] { return !launching_; });
  --waiting_;
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
      terminate_child(*state_.backend, std::move(child));
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

std::optional<Error> start_refusal(CoreBackend& backend, const std::string& install_dir,
                                   const CoreLaunch& launch, const Caller& caller) {
  // Anyone in Users may connect, and the core runs as LocalSystem: for them the installed core
  // with its default files, compared as paths, and nothing else. Which names an app folder holds
  // and what loads them (the app's engine, its plugins, the core) cannot be known here.
  const CoreLaunch defaults = resolve_launch(install_dir, {});
  for (const StartField field : kFields) {
    const std::string& path = path_of(launch, field);
    if (has_line_breaker(path) || too_long_for_windows(path) ||
        (!caller.privileged && !is_same_path(path, path_of(defaults, field)))) {
      return not_allowed(launch, field);
    }
  }
  if (!caller.privileged)
    return install_refusal(backend, install_dir);
  return std::nullopt;
}

namespace {

Result<void> start(CoreState& state, const StartOptions& options, const Caller& caller) {
  CoreBackend& backend = *state.backend;
  Result<std::string> install_dir = backend.install_dir();
  if (!install_dir)
    return std::unexpected(install_dir.error());
  const CoreLaunch launch = resolve_launch(*install_dir, options);
  if (std::optional<Error> refusal = start_refusal(backend, *install_dir, launch, caller))
    return std::unexpected(std::move(*refusal));

  if (caller.privileged) {
    create_parent(backend, launch.log_path);
    if (options.config) {
      create_parent(backend, launch.config_path);
      const std::expected<void, std::string> written =
          backend.write_file(launch.config_path, *options.config);
      if (!written)
        return std::unexpected(Error("write config", written.error()));
    }
  } else {
    // The paths are the defaults: the service's own files in the admin-only install directory,
    // reached through handles that nothing can redirect.
    const std::optional<std::string_view> config =
        options.config ? std::optional<std::string_view>(*options.config) : std::nullopt;
    const std::expected<void, CoreFilesFailure> prepared =
        backend.prepare_core_files(core_files(*install_dir), config);
    if (!prepared) {
      const CoreFilesFailure& failure = prepared.error();
      if (failure.refused) {
        Error refused = not_allowed(launch, *failure.refused);
        refused.causes.push_back(failure.reason);
        return std::unexpected(std::move(refused));
      }
      return std::unexpected(Error("write config", failure.reason));
    }
  }

  std::optional<LaunchTicket> ticket;
  {
    std::unique_lock held(state.lock);
    // One launch at a time: a relaunch in flight lands (and is replaced below) first.
    state.launches.wait_idle(held);
    if (stopping(state))
      return std::unexpected(Error("service is stopping"));
    state.keep_running = true;
    state.launch = launch;
    state.launches.supersede();
    if (state.child) {
      ChildProcess old = std::move(*state.child);
      state.child.reset();
      terminate_child(backend, std::move(old));
    }
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
  state.launches.supersede();
  // A launch in flight is ended by its own store step; wait for it so that nothing runs after.
  state.launches.wait_idle(held);
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
