#include "doctor_report.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <utility>

#include <nlohmann/json.hpp>

#include "common/path_rules.h"
#include "common/product_names.h"
#include "common/shown_text.h"
#include "log_view.h"

namespace corvid::corvidctl {

bool all_passed(const std::vector<Check>& checks) {
  return std::all_of(checks.begin(), checks.end(), [](const Check& check) { return check.passed; });
}

std::string file_version_text(unsigned major, unsigned minor, unsigned patch, unsigned build) {
  std::string text =
      std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
  if (build != 0)
    text += "." + std::to_string(build);
  return text;
}

namespace {

// A dotted version's parts; empty when it is not digits and dots.
std::optional<std::vector<unsigned long>> version_parts(std::string_view version) {
  std::vector<unsigned long> parts;
  std::size_t at = 0;
  for (;;) {
    const std::size_t dot = std::min(version.find('.', at), version.size());
    const std::string_view part = version.substr(at, dot - at);
    if (part.empty() || part.size() > 9 ||
        part.find_first_not_of("0123456789") != std::string_view::npos)
      return std::nullopt;
    parts.push_back(std::stoul(std::string(part)));
    if (dot == version.size())
      break;
    at = dot + 1;
  }
  while (!parts.empty() && parts.back() == 0)
    parts.pop_back();
  return parts;
}

std::string elevation_text(const std::optional<bool>& elevated) {
  if (!elevated)
    return "elevation unknown";
  return *elevated ? "elevated" : "not elevated";
}

}  // namespace

bool same_version(std::string_view a, std::string_view b) {
  const auto first = version_parts(a);
  const auto second = version_parts(b);
  if (!first || !second)
    return a == b;
  return *first == *second;
}

Check version_check(const About& about) {
  if (!about.helper_version) {
    return Check{"versions", false,
                 "corvidctl " + about.corvidctl_version +
                     ", the helper's unknown: " + about.helper_version_problem};
  }
  if (!same_version(about.corvidctl_version, *about.helper_version)) {
    return Check{"versions", false,
                 "corvidctl " + about.corvidctl_version + " talks to helper " +
                     *about.helper_version + ": install them together"};
  }
  return Check{"versions", true, "corvidctl and the helper are both " + about.corvidctl_version};
}

std::string doctor_text(const About& about, const std::vector<Check>& checks) {
  std::string text = "corvidctl  " + about.corvidctl_version + "\n";
  text += "helper     " +
          (about.helper_version ? *about.helper_version
                                : "unknown (" + about.helper_version_problem + ")") +
          "\n";
  text += "Windows    " + about.windows + "\n";
  text += "user       " + about.user + ", " + elevation_text(about.elevated) + "\n";
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

std::string doctor_json(const About& about, const std::vector<Check>& checks) {
  nlohmann::json list = nlohmann::json::array();
  for (const Check& check : checks)
    list.push_back({{"check", check.name}, {"passed", check.passed}, {"detail", check.detail}});
  nlohmann::json header = {{"corvidctl", about.corvidctl_version},
                           {"helper", nullptr},
                           {"windows", about.windows},
                           {"user", about.user},
                           {"elevated", nullptr}};
  if (about.helper_version)
    header["helper"] = *about.helper_version;
  if (about.elevated)
    header["elevated"] = *about.elevated;
  const nlohmann::json report = {
      {"about", header}, {"checks", list}, {"passed", all_passed(checks)}};
  // Details quote paths and log lines as found: bytes that are not UTF-8 are replaced.
  return report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

namespace {

constexpr std::uint32_t kAccessDenied = 5;  // ERROR_ACCESS_DENIED

// Reads as `reader` does, but takes the install's config.json, when this account may not read it,
// for absent, and remembers that it did.
class WithoutUnreadableConfig final : public InstallReader {
 public:
  WithoutUnreadableConfig(InstallReader& reader, const std::string& install_dir)
      : reader_(reader), config_(join_path(install_dir, kCoreConfigFileName)) {}

  Result<std::optional<InstallEntry>> read_entry(const std::string& path) override {
    Result<std::optional<InstallEntry>> entry = reader_.read_entry(path);
    if (!entry && entry.error().os_code == kAccessDenied && is_same_path(path, config_)) {
      left_out_ = true;
      return std::nullopt;
    }
    return entry;
  }
  Result<std::vector<std::string>> list_entries(const std::string& dir) override {
    return reader_.list_entries(dir);
  }
  Result<VolumeKind> volume_kind(const std::string& path) override {
    return reader_.volume_kind(path);
  }

  bool left_out() const { return left_out_; }

 private:
  InstallReader& reader_;
  const std::string config_;
  bool left_out_ = false;
};

}  // namespace

Check admin_only_check(const std::string& install_dir, InstallReader& reader) {
  constexpr const char* kName = "admin-only install";
  WithoutUnreadableConfig read(reader, install_dir);
  const Result<void> judged = judge_install(install_dir, read);
  if (judged) {
    std::string detail = install_dir + ", everything in it and every folder above it";
    if (read.left_out())
      detail += " (but " + std::string(kCoreConfigFileName) +
                ", which the helper lets only administrators read: run corvidctl doctor elevated "
                "to judge it too)";
    return Check{kName, true, std::move(detail)};
  }
  // Only what the helper says is shown here.
  std::string why;
  for (const std::string& cause : judged.error().causes)
    why += (why.empty() ? "" : ": ") + cause;
  if (judged.error().os_code == kAccessDenied)
    return Check{kName, false,
                 why + ": only an administrator can read it, run corvidctl doctor elevated"};
  return Check{kName, false, why + ": a standard user could not start the core"};
}

bool reports_failure(std::string_view message) {
  constexpr std::string_view kWords[] = {"error", "ERROR", "failed", "unavailable", "core exited"};
  return std::any_of(std::begin(kWords), std::end(kWords), [message](std::string_view word) {
    return message.find(word) != message.npos;
  });
}

std::vector<LogEntry> log_entries(std::string_view log_text) {
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
  return entries;
}

std::vector<LogEntry> failure_entries(std::string_view log_text, std::size_t within,
                                      std::size_t keep) {
  std::vector<LogEntry> entries = log_entries(log_text);
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

CoreHistory core_history(std::string_view log_text, std::uint64_t now_intervals) {
  constexpr std::uint64_t kMinute = 60ull * 10'000'000ull;
  const std::vector<LogEntry> entries = log_entries(log_text);
  std::uint64_t newest = 0;
  for (const LogEntry& entry : entries)
    newest = std::max(newest, entry.intervals);
  const auto recent = [&](std::uint64_t at) {
    const std::uint64_t from_now = at > now_intervals ? at - now_intervals : now_intervals - at;
    return newest - at <= kMinute || from_now <= kMinute;
  };
  CoreHistory history;
  for (const LogEntry& entry : entries) {
    const std::string_view message = entry.message;
    if (message == "core stopped") {
      history.relaunches = 0;
    } else if (message == "core restarted" || message.starts_with("restart failed: ")) {
      if (recent(entry.intervals))
        ++history.relaunches;
    } else if (message.starts_with("core exited: ")) {
      history.last_exit = std::string(message.substr(13));
    }
  }
  return history;
}

Check core_check(const std::string& status_words, bool running, const CoreHistory& history) {
  const std::string relaunched = "relaunched " + std::to_string(history.relaunches) +
                                 (history.relaunches == 1 ? " time" : " times") +
                                 " in the last minute" +
                                 (history.last_exit ? ", last " + *history.last_exit : "");
  if (!running && history.relaunches > 0)
    return Check{"core status", false, status_words + " but wanted: " + relaunched};
  if (running && history.relaunches >= kManyRelaunches)
    return Check{"core status", false, status_words + ", but it does not stay up: " + relaunched};
  return Check{"core status", true, status_words};
}

std::vector<std::string> last_lines(std::string_view text, bool whole, std::size_t count) {
  if (!whole) {
    // The piece may begin inside a line.
    const std::size_t first = text.find('\n');
    text = first == text.npos ? std::string_view() : text.substr(first + 1);
  }
  if (text.ends_with('\n'))
    text.remove_suffix(1);
  std::vector<std::string> lines;
  while (!text.empty() && lines.size() < count) {
    const std::size_t start = text.rfind('\n');
    std::string_view line = start == text.npos ? text : text.substr(start + 1);
    text = start == text.npos ? std::string_view() : text.substr(0, start);
    if (line.ends_with('\r'))
      line.remove_suffix(1);
    lines.push_back(shown_text(line));
  }
  return {lines.rbegin(), lines.rend()};
}

}  // namespace corvid::corvidctl
