#pragma once
// What `corvidctl doctor` found, put in words and in JSON, and which helper-log entries report a
// failure. Portable: the checks themselves are made on Windows (doctor_win.cpp).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "supervisor/install_security.h"

namespace corvid::corvidctl {

struct Check {
  std::string name;  // "service installed", "pipe owner", ...
  bool passed = false;
  std::string detail;  // what was found, or why it failed
};

bool all_passed(const std::vector<Check>& checks);

// One line per check, "passed  <name>: <detail>" or "FAILED  <name>: <detail>", then a summary
// line.
std::string doctor_text(const std::vector<Check>& checks);

// One JSON line: {"checks":[{"check":..,"detail":..,"passed":..},...],"passed":..}.
std::string doctor_json(const std::vector<Check>& checks);

// The helper's own judgement of an install (judge_install), the one it makes before starting a
// core for a standard user, on the same paths: why someone other than an administrator could
// change what runs as LocalSystem, and what follows; nothing when no one could. What this account
// may not read (config.json is for LocalSystem and Administrators alone) fails as it does in the
// helper, and says who can read it.
std::optional<std::string> admin_only_refusal(const std::string& install_dir,
                                              InstallReader& reader);

// Whether a helper-log message reports a failure: an error, a failed start or restart, a core
// that exited, a facility that is unavailable.
bool reports_failure(std::string_view message);

struct LogEntry {
  std::uint64_t intervals = 0;  // FILETIME: 100 ns since 1601-01-01 UTC
  std::string message;          // later lines of the entry joined by "\n"
};

// Among the last `within` entries of a log's text, the last `keep` that report a failure, oldest
// first.
std::vector<LogEntry> failure_entries(std::string_view log_text, std::size_t within,
                                      std::size_t keep);

}  // namespace corvid::corvidctl
