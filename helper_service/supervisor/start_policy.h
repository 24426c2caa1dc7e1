#pragma once
// Who may start what: the four paths of a start, the checks every path passes, the defaults a
// caller who is not privileged is held to, and the install judgement behind them; and the file
// work a start does before its launch. The state machine (core.h) runs what this allows.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "common/product_names.h"
#include "supervisor/install_security.h"

namespace corvid {

class CoreBackend;

// The four resolved paths of one launch.
struct CoreLaunch {
  std::string work_dir;
  std::string core_path;
  std::string config_path;
  std::string log_path;

  bool operator==(const CoreLaunch&) const = default;
};

// The service's own files of a start for a caller who is not privileged: the defaults, and
// nothing else.
struct CoreFiles {
  std::string install_dir;
  std::string log_dir;      // <install>\log
  std::string config_path;  // <install>\config.json

  bool operator==(const CoreFiles&) const = default;
};

// The request fields that name the core's paths, in the order they are judged.
enum class StartField { kCorePath, kWorkDir, kConfigPath, kLogPath };

// The request fields a start takes; absent means not given, an empty string is given.
struct StartOptions {
  std::optional<std::string> work_dir = std::nullopt;
  std::optional<std::string> core_path = std::nullopt;
  std::optional<std::string> config_path = std::nullopt;
  std::optional<std::string> log_path = std::nullopt;
  std::optional<std::string> config = std::nullopt;
};

// Who asked for a start. Privileged (LocalSystem, or an elevated administrator): any paths. Anyone
// else: the installed core with its default files and nothing else, and only from an install
// directory that only administrators can change. No operation takes a caller by default: a
// forgotten one must not compile.
struct Caller {
  bool privileged = false;
  // The caller's user SID ("S-1-5-21-..."), empty when it could not be read, and the Windows
  // session it called from, when known. A core belongs to the user who started it.
  std::string user_sid = {};
  std::optional<std::uint32_t> session_id = std::nullopt;

  // The service itself, or a caller with the same rights.
  static Caller service() { return Caller{.privileged = true}; }
};

// The four paths of a start, with the defaults beside `install_dir`.
CoreLaunch resolve_launch(const std::string& install_dir, const StartOptions& options);

// The service's own files in `install_dir`: the defaults of resolve_launch.
CoreFiles core_files(const std::string& install_dir);

// Nothing when `caller` may start this launch, else the refusal as the client sees it. Reads
// descriptors through the backend; writes nothing.
Result<void> judge_start(CoreBackend& backend, const std::string& install_dir,
                         const CoreLaunch& launch, const Caller& caller);

// What a start does before its launch: resolves the paths, refuses what `caller` may not start,
// then makes the log directory and writes the configuration when one is given (for a caller who
// is not privileged, through handles: prepare_core_files). The launch to make (for a caller who is
// not privileged, the defaults as resolve_launch(install_dir, {}) spells them), or why not.
Result<CoreLaunch> prepare_start(CoreBackend& backend, const StartOptions& options,
                                 const Caller& caller);

}  // namespace corvid
