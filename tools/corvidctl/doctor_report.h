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

// Who asks and what answers, for the report's header: a report sent by a user says which builds
// were talking.
struct About {
  std::string corvidctl_version;  // corvid_version.h
  // The registered helper's file version ("0.1.0"), or why it is not known.
  std::optional<std::string> helper_version;
  std::string helper_version_problem;
  std::string windows;  // "10.0.19045"
  std::string user;     // "PC\alice (S-1-5-21-...)"
  std::optional<bool> elevated;
};

// "a.b.c" from a binary's fixed file version a.b.c.d, with ".d" when it is not 0.
std::string file_version_text(unsigned major, unsigned minor, unsigned patch, unsigned build);

// Whether two dotted versions are the same, a missing trailing part counting as 0 ("0.1.0" and
// "0.1.0.0" are). Anything but digits and dots is compared as text.
bool same_version(std::string_view a, std::string_view b);

// The "versions" check: corvidctl and the helper it talks to come from one build.
Check version_check(const About& about);

// The header lines, "corvidctl  0.1.0" and so on; then one line per check, "passed  <name>:
// <detail>" or "FAILED  <name>: <detail>", then a summary line.
std::string doctor_text(const About& about, const std::vector<Check>& checks);

// One JSON line: {"about":{..},"checks":[{"check":..,"detail":..,"passed":..},...],"passed":..}.
std::string doctor_json(const About& about, const std::vector<Check>& checks);

// The "admin-only install" check: the helper's own judgement of an install (judge_install), the
// one it makes before starting a core for a standard user, on the same paths; failing with why
// someone other than an administrator could change what runs as LocalSystem. config.json is the
// one entry a standard user's doctor may not read: the helper itself makes it readable by
// LocalSystem and Administrators alone. Then it is left out and the detail says so; anything else
// this account may not read fails, as it does in the helper, and says who can read it.
Check admin_only_check(const std::string& install_dir, InstallReader& reader);

// Whether a helper-log message reports a failure: an error, a failed start or restart, a core
// that exited, a facility that is unavailable.
bool reports_failure(std::string_view message);

struct LogEntry {
  std::uint64_t intervals = 0;  // FILETIME: 100 ns since 1601-01-01 UTC
  std::string message;          // later lines of the entry joined by "\n"
};

// The entries of a log's text, oldest first; lines before the first entry are left out.
std::vector<LogEntry> log_entries(std::string_view log_text);

// Among the last `within` entries of a log's text, the last `keep` that report a failure, oldest
// first.
std::vector<LogEntry> failure_entries(std::string_view log_text, std::size_t within,
                                      std::size_t keep);

// What the helper's log says of the core lately: the watchdog's relaunches ("core restarted",
// "restart failed: ") within a minute of the newest entry or of `now`, since the last "core
// stopped", and what the last "core exited: " entry said ("exit code: 3").
struct CoreHistory {
  std::size_t relaunches = 0;
  std::optional<std::string> last_exit;
};
CoreHistory core_history(std::string_view log_text, std::uint64_t now_intervals);

// A running core relaunched this often in the last minute does not stay up.
inline constexpr std::size_t kManyRelaunches = 3;

// The "core status" check: the status in words, failing for a core the helper keeps relaunching
// (wanted but not running, or running but relaunched kManyRelaunches times or more).
Check core_check(const std::string& status_words, bool running, const CoreHistory& history);

// The last `count` lines of a log's end, each shown as a client's text is (line breakers escaped,
// at most kShownTextLimit bytes); a first line that may be cut is left out unless `whole`.
std::vector<std::string> last_lines(std::string_view text, bool whole, std::size_t count);

}  // namespace corvid::corvidctl
