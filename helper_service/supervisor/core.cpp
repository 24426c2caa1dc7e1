#include "supervisor/core.h"

#include <cassert>
#include <cstdio>
#include <exception>
#include <vector>

#include "common/cmdline.h"
#include "common/shown_text.h"
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

// A DOS device name, which Windows opens as the device in any directory ("CON", "com1.txt",
// "NUL .log"). `component` is folded to lower case.
bool is_device_name(std::string_view component) {
  std::string_view base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ')
    base.remove_suffix(1);
  static constexpr std::string_view kNames[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
  for (std::string_view name : kNames) {
    if (base == name)
      return true;
  }
  if (base.starts_with("com") || base.starts_with("lpt")) {
    const std::string_view digit = base.substr(3);
    // 0-9 and the superscripts one, two and three.
    return (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') || digit == "\xc2\xb9" ||
           digit == "\xc2\xb2" || digit == "\xc2\xb3";
  }
  return false;
}

// The components below the install directory (folded to lower case) when `path` lies strictly
// inside it and is named so that comparing names means comparing files: below the install
// directory no stream (":"), no possible short name ("~") and no device name. Empty otherwise.
std::optional<std::vector<std::string>> name_inside(const std::string& install_dir,
                                                    const std::string& path) {
  std::optional<std::vector<std::string>> below = components_below(install_dir, path);
  if (!below)
    return std::nullopt;
  for (const std::string& component : *below) {
    if (component.find_first_of(":~") != std::string::npos || is_device_name(component))
      return std::nullopt;
  }
  return below;
}

bool is_installed_core(const std::string& install_dir, const std::string& path) {
  return is_same_path(path, join_path(install_dir, kCoreFileName));
}

// Which of the helper's own files `path` names: the core it runs as LocalSystem, or its log.
bool is_helper_file(const std::string& install_dir, const std::string& path) {
  return is_installed_core(install_dir, path) ||
         is_same_path(path, join_path(install_dir, kLogFileName));
}

struct PathRule {
  const char* label;
  const std::string* path;
  bool (*allowed)(const std::string& install_dir, const std::string& path);
};

bool work_dir_allowed(const std::string& install_dir, const std::string& path) {
  return is_same_path(path, install_dir) || name_inside(install_dir, path).has_value();
}

// Whether Windows runs or loads a file of this name, or lets it redirect what a program loads
// (.manifest, .local, .config). The service writes the configuration as LocalSystem and the core
// its log: in the install directory, beside the desktop app's own programs and libraries, such a
// file would run as whoever starts the app next.
bool is_loadable_name(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos)
    return false;
  static constexpr std::string_view kExtensions[] = {
      "exe", "dll", "sys", "drv", "ocx",  "cpl", "scr",      "com",   "pif",    "efi",
      "mui", "bat", "cmd", "ps1", "psm1", "vbs", "vbe",      "js",    "jse",    "wsf",
      "wsh", "hta", "msi", "msp", "msc",  "lnk", "manifest", "local", "config", "reg"};
  const std::string_view extension = name.substr(dot + 1);
  for (std::string_view loadable : kExtensions) {
    if (extension == loadable)
      return true;
  }
  return false;
}

// The core's configuration and log may not overwrite the core itself or the helper's log, nor
// become something Windows runs or loads.
bool core_file_allowed(const std::string& install_dir, const std::string& path) {
  const std::optional<std::vector<std::string>> below = name_inside(install_dir, path);
  return below && !is_helper_file(install_dir, path) && !is_loadable_name(below->back());
}

// The first reason, in the order of the paths, why the install leaves the core open to others.
std::optional<Error> install_refusal(CoreBackend& backend, const std::string& install_dir,
                                     const std::string& core_path) {
  // A missing core is reported as such at launch; no one else can add it, as the directory's
  // own descriptor shows.
  const std::string core = backend.exists(core_path) ? core_path : std::string();
  const std::string refusal =
      "install directory is writable by non-administrators: " + shown_path(install_dir);
  for (const auto& [path, role] : protected_paths(install_dir, core)) {
    const Result<SecuritySnapshot> snapshot = backend.read_security(path);
    if (!snapshot) {
      // Fails closed: what cannot be read cannot be shown to be admin-only.
      std::vector<std::string> causes{shown_path(path) + ": " + snapshot.error().message};
      causes.insert(causes.end(), snapshot.error().causes.begin(), snapshot.error().causes.end());
      return Error(refusal, std::move(causes));
    }
    if (const std::optional<std::string> why = admin_only_violation(*snapshot, role))
      return Error(refusal, shown_path(path) + ": " + *why);
  }
  return std::nullopt;
}

bool stopping(const CoreState& state) {
  return state.stop_flag != nullptr && state.stop_flag->load();
}

}  // namespace

CoreLaunch resolve_launch(const std::string& install_dir, const StartOptions& options) {
  CoreLaunch launch;
  launch.work_dir = options.work_dir ? *options.work_dir : install_dir;
  launch.core_path =
      options.core_path ? *options.core_path : join_path(launch.work_dir, kCoreFileName);
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
  const PathRule rules[] = {
      {"core path", &launch.core_path, is_installed_core},
      {"work dir", &launch.work_dir, work_dir_allowed},
      {"config path", &launch.config_path, core_file_allowed},
      {"log path", &launch.log_path, core_file_allowed},
  };
  for (const PathRule& rule : rules) {
    // Anyone in Users may connect, and the core runs as LocalSystem: for them, only the installed
    // core, and its files where only administrators could have put anything.
    if (has_line_breaker(*rule.path) ||
        (!caller.privileged && !rule.allowed(install_dir, *rule.path))) {
      return Error(std::string(rule.label) + " not allowed: " + shown_path(*rule.path));
    }
  }
  if (!caller.privileged)
    return install_refusal(backend, install_dir, launch.core_path);
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

  // Everything written here is the service's own: an unprivileged caller's paths lie in the
  // admin-only install directory.
  create_parent(backend, launch.log_path);
  if (options.config) {
    create_parent(backend, launch.config_path);
    const std::expected<void, std::string> written =
        backend.write_file(launch.config_path, *options.config);
    if (!written)
      return std::unexpected(Error("write config", written.error()));
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
