#include "supervisor/start_policy.h"

#include <vector>

#include "common/shown_text.h"
#include "common/utf.h"
#include "common/path_rules.h"
#include "supervisor/backend.h"

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
  // A directory that cannot be made is the core's to report: it cannot use it.
  static_cast<void>(backend.create_directories(*parent));
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

// The path as a refusal shows it (shown_text): a line-breaking character as \u and four hex
// digits, so that the text can never hold a line break when it reaches the log, and a long path
// cut short.
Error not_allowed(const CoreLaunch& launch, StartField field) {
  return Error(std::string(label_of(field)) +
               " not allowed: " + shown_text(path_of(launch, field)));
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

Result<void> judge_start(CoreBackend& backend, const std::string& install_dir,
                         const CoreLaunch& launch, const Caller& caller) {
  // Anyone in Users may connect, and the core runs as LocalSystem: for them the installed core
  // with its default files, compared as paths, and nothing else. Which names an app folder holds
  // and what loads them (the app's engine, its plugins, the core) cannot be known here.
  const CoreLaunch defaults = resolve_launch(install_dir, {});
  for (const StartField field : kFields) {
    const std::string& path = path_of(launch, field);
    if (has_line_breaker(path) || too_long_for_windows(path) ||
        (!caller.privileged && !is_same_path(path, path_of(defaults, field)))) {
      return std::unexpected(not_allowed(launch, field));
    }
  }
  // The directory, everything in it and everything above it, where they really are.
  if (!caller.privileged)
    return judge_install(install_dir, backend);
  return {};
}

Result<CoreLaunch> prepare_start(CoreBackend& backend, const StartOptions& options,
                                 const Caller& caller) {
  CORVID_TRY_ASSIGN(const std::string install_dir, backend.install_dir());
  const CoreLaunch launch = resolve_launch(install_dir, options);
  CORVID_TRY(judge_start(backend, install_dir, launch, caller));

  if (caller.privileged) {
    create_parent(backend, launch.log_path);
    if (options.config) {
      create_parent(backend, launch.config_path);
      Result<void> written = backend.write_file(launch.config_path, *options.config);
      if (!written)
        return std::unexpected(context("write config", std::move(written.error())));
    }
    return launch;
  }
  // The paths are the defaults: the service's own files in the admin-only install directory,
  // reached through handles that nothing can redirect. The core opens them by name, with its own
  // reading of a path: it is told them as the service spells them, whatever spelling passed the
  // comparison.
  const std::optional<std::string_view> config =
      options.config ? std::optional<std::string_view>(*options.config) : std::nullopt;
  Result<void> prepared = backend.prepare_core_files(core_files(install_dir), config);
  if (!prepared && prepared.error().kind == ErrorKind::kRefusal) {
    // Refused for the field whose default the entry is: the request's path is not allowed.
    const auto field = static_cast<StartField>(prepared.error().subject);
    return std::unexpected(
        context(not_allowed(launch, field).message, std::move(prepared.error())));
  }
  if (!prepared)
    return std::unexpected(context("write config", std::move(prepared.error())));
  return resolve_launch(install_dir, {});
}

}  // namespace corvid
