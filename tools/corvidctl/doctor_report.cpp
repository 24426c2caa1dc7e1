#include "doctor_report.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <utility>

#include <nlohmann/json.hpp>

#include "log_view.h"

namespace corvid::corvidctl {

bool all_passed(const std::vector<Check>& checks) {
  return std::all_of(checks.begin(), checks.end(), [](const Check& check) { return check.passed; });
}

std::string doctor_text(const std::vector<Check>& checks) {
  std::string text;
  std::size_t failed = 0;
  for (const Check& check : checks) {
    text += check.passed ? "passed  " : "FAILED  ";
    text += check.name + ": " + check.detail + "\n";
    if (!check.passed)
      ++failed;
  }
  if (failed == 0) {
    text += "all " + std::to_string(checks.size()) + " checks passed\n";
  } else {
    text += std::to_string(failed) + " of " + std::to_string(checks.size()) + " checks failed\n";
  }
  return text;
}

std::string doctor_json(const std::vector<Check>& checks) {
  nlohmann::json list = nlohmann::json::array();
  for (const Check& check : checks)
    list.push_back({{"check", check.name}, {"passed", check.passed}, {"detail", check.detail}});
  const nlohmann::json report = {{"checks", list}, {"passed", all_passed(checks)}};
  // Details quote paths and log lines as found: bytes that are not UTF-8 are replaced.
  return report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::optional<std::string> admin_only_refusal(const std::string& install_dir,
                                              InstallReader& reader) {
  const Result<void> judged = judge_install(install_dir, reader);
  if (judged)
    return std::nullopt;
  // Only what the helper says is shown here.
  std::string why;
  for (const std::string& cause : judged.error().causes)
    why += (why.empty() ? "" : ": ") + cause;
  constexpr std::uint32_t kAccessDenied = 5;  // ERROR_ACCESS_DENIED
  if (judged.error().os_code == kAccessDenied)
    return why + ": only an administrator can read it, run corvidctl doctor elevated";
  return why + ": a standard user could not start the core";
}

bool reports_failure(std::string_view message) {
  constexpr std::string_view kWords[] = {"error", "ERROR", "failed", "unavailable", "core exited"};
  return std::any_of(std::begin(kWords), std::end(kWords), [message](std::string_view word) {
    return message.find(word) != message.npos;
  });
}

std::vector<LogEntry> failure_entries(std::string_view log_text, std::size_t within,
                                      std::size_t keep) {
  std::vector<LogEntry> entries;
  std::size_t at = 0;
  while (at < log_text.size()) {
    std::size_t end = log_text.find('\n', at);
    if (end == log_text.npos)
      end = log_text.size();
    std::string_view line = log_text.substr(at, end - at);
    if (line.ends_with('\r'))
      line.remove_suffix(1);
    at = end + 1;
    if (const std::optional<EntryStart> start = entry_start(line)) {
      entries.push_back({start->intervals, std::string(line.substr(start->message))});
    } else if (!entries.empty()) {
      entries.back().message += "\n" + std::string(line);
    }
  }
  const std::size_t first = entries.size() > within ? entries.size() - within : 0;
  std::vector<LogEntry> failures;
  for (std::size_t i = first; i < entries.size(); ++i) {
    if (reports_failure(entries[i].message))
      failures.push_back(std::move(entries[i]));
  }
  if (failures.size() > keep)
    failures.erase(failures.begin(), failures.end() - static_cast<std::ptrdiff_t>(keep));
  return failures;
}

}  // namespace corvid::corvidctl
