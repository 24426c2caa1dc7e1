// corvidctl doctor's report: the words and the JSON made from the checks, and which entries of
// the helper log count as failures.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "doctor_report.h"
#include "fake_backend.h"
#include "log/log.h"
#include "supervisor/core.h"

namespace corvid::corvidctl {
namespace {

const About kAbout = {"0.1.0", "0.1.0", "", "10.0.19045", "PC\\alice (S-1-5-21-1-2-3-1001)", false};

const std::vector<Check> kMixed = {
    {"service installed", true, "corvid-helper"},
    {"admin-only install", false, R"(C:\Corvid: owned by S-1-5-21-1-2-3-1001)"},
    {"ping", true, "answered in 3 ms"},
    {"helper log", false, "failures reported in C:\\Corvid\\corvid-helper.log:\n    x"},
};

TEST(DoctorReport, TheHeaderThenEachCheckOnOneLineWithItsVerdictThenTheCount) {
  EXPECT_EQ(doctor_text(kAbout, kMixed),
            "corvidctl  0.1.0\n"
            "helper     0.1.0\n"
            "Windows    10.0.19045\n"
            "user       PC\\alice (S-1-5-21-1-2-3-1001), not elevated\n"
            "passed  service installed: corvid-helper\n"
            "FAILED  admin-only install: C:\\Corvid: owned by S-1-5-21-1-2-3-1001\n"
            "passed  ping: answered in 3 ms\n"
            "FAILED  helper log: failures reported in C:\\Corvid\\corvid-helper.log:\n    x\n"
            "2 of 4 checks failed\n");
  const std::vector<Check> good = {kMixed[0], kMixed[2]};
  EXPECT_TRUE(all_passed(good));
  EXPECT_FALSE(all_passed(kMixed));
  EXPECT_TRUE(doctor_text(kAbout, good).ends_with("\nall 2 checks passed\n"));
  About unknown = kAbout;
  unknown.helper_version.reset();
  unknown.helper_version_problem = "no registered helper: not installed";
  unknown.elevated.reset();
  const std::string text = doctor_text(unknown, good);
  EXPECT_NE(text.find("helper     unknown (no registered helper: not installed)\n"), text.npos);
  EXPECT_NE(text.find("(S-1-5-21-1-2-3-1001), elevation unknown\n"), text.npos);
}

TEST(DoctorReport, JsonCarriesEveryCheckInOrderAndTheOverallVerdict) {
  const std::string line = doctor_json(kAbout, kMixed);
  ASSERT_TRUE(line.ends_with("}\n"));
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line";
  const nlohmann::json report = nlohmann::json::parse(line);
  EXPECT_EQ(report.at("passed"), false);
  EXPECT_EQ(report.at("about"), nlohmann::json({{"corvidctl", "0.1.0"},
                                                {"helper", "0.1.0"},
                                                {"windows", "10.0.19045"},
                                                {"user", "PC\\alice (S-1-5-21-1-2-3-1001)"},
                                                {"elevated", false}}));
  ASSERT_EQ(report.at("checks").size(), kMixed.size());
  for (std::size_t i = 0; i < kMixed.size(); ++i) {
    SCOPED_TRACE(kMixed[i].name);
    EXPECT_EQ(report["checks"][i].at("check"), kMixed[i].name);
    EXPECT_EQ(report["checks"][i].at("passed"), kMixed[i].passed);
    EXPECT_EQ(report["checks"][i].at("detail"), kMixed[i].detail);
  }
  EXPECT_EQ(nlohmann::json::parse(doctor_json(kAbout, {kMixed[0]})).at("passed"), true);
  EXPECT_EQ(nlohmann::json::parse(doctor_json(About{}, {}))["about"].at("helper"), nullptr);
  // A path that is not UTF-8 does not break the report.
  const nlohmann::json odd =
      nlohmann::json::parse(doctor_json(kAbout, {{"core present", true, "C:\\\xff"}}));
  EXPECT_EQ(odd["checks"][0].at("detail"), "C:\\\xef\xbf\xbd");
}

// What the helper logs, as it logs it.
TEST(DoctorReport, WhatTheHelperLogsOnAFailureCountsAndNothingElse) {
  struct Case {
    const char* message;
    bool failure;
  };
  const Case cases[] = {
      {"start failed: core not found: C:\\Corvid\\clash-rs.exe", true},
      {"restart failed: spawn core", true},
      {"core exited: exit code 3", true},
      {"core poll error: access denied", true},
      {"service error: the pipe could not be created", true},
      {"pipe accept error: 231", true},
      {"ERROR: RevertToSelf failed: 5", true},
      {"pipe timer unavailable: DuplicateHandle failed: 6", true},
      {"running in console mode", false},
      {"core stopped", false},
      {"core started, pid 4242", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(reports_failure(c.message), c.failure) << c.message;
}

TEST(DoctorReport, TheLastFailuresAmongTheLastEntriesOldestFirst) {
  std::string log = "a line before any entry\n";
  log += format_log_line(100, "core exited: exit code 1");
  log += format_log_line(200, "running in console mode");
  log += format_log_line(300, "start failed: spawn core");
  log += "  cause: the file is not there\n";
  log += format_log_line(400, "core stopped");
  log += format_log_line(500, "core exited: exit code 2");

  std::vector<LogEntry> found = failure_entries(log, 10, 10);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].intervals, 100u);
  EXPECT_EQ(found[1].intervals, 300u);
  EXPECT_EQ(found[1].message, "start failed: spawn core\n  cause: the file is not there");
  EXPECT_EQ(found[2].message, "core exited: exit code 2");

  // Only the last entries are read, and only the last failures kept.
  found = failure_entries(log, 4, 10);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].intervals, 300u);
  found = failure_entries(log, 10, 1);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].intervals, 500u);
  EXPECT_TRUE(failure_entries(log, 0, 10).empty());
  EXPECT_TRUE(failure_entries(format_log_line(1, "core stopped"), 10, 10).empty());
  // A copy with CRLF line ends reads the same.
  std::string crlf;
  for (char c : log)
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  found = failure_entries(crlf, 10, 10);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[1].message, "start failed: spawn core\n  cause: the file is not there");
}

// Doctor judges what the helper judges before a standard user's start: the same paths in the same
// order (Wine stores no descriptor, so they are the double's), and the helper's first reason.
TEST(DoctorAdminOnly, JudgesWhatAStandardUsersStartJudges) {
  using testing::FakeBackend;
  const std::string dir = FakeBackend::kInstallDir;
  const std::string dll = dir + R"(\wintun.dll)";
  const std::string config = dir + R"(\config.json)";
  const std::string other = dir + R"(\app.dll)";
  Error denied("CreateFileW failed", "Access is denied. (os error 5)");
  denied.os_code = 5;
  const std::string passed = dir + ", everything in it and every folder above it";
  struct Case {
    const char* label;
    std::string path;
    Result<SecuritySnapshot> security;
    bool passed;
    std::string detail;
  };
  const Case cases[] = {
      {"admin-only", dir, FakeBackend::admin_only_snapshot(), true, passed},
      {"a DLL users may write", dll,
       SecuritySnapshot{"S-1-5-32-544", std::vector<AccessEntry>{{AccessEntry::Kind::kAllow, 0, 0x2,
                                                                  "S-1-5-32-545"}}},
       false, dll + ": allows S-1-5-32-545 0x00000002: a standard user could not start the core"},
      // The helper lets only LocalSystem and Administrators read config.json (it holds
      // credentials): a standard user's doctor leaves it out and says so.
      {"config.json this account may not read", config, std::unexpected(denied), true,
       passed + " (but config.json, which the helper lets only administrators read: run corvidctl "
                "doctor elevated to judge it too)"},
      {"anything else this account may not read", other, std::unexpected(denied), false,
       other + ": CreateFileW failed: Access is denied. (os error 5): only an administrator can "
               "read it, run corvidctl doctor elevated"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const auto install = [&](FakeBackend& os) {
      for (const std::string& path : {dir + R"(\corvid_helper_service.exe)", dll, config, other})
        os.add_existing(path);
      os.set_security(c.path, c.security);
    };
    FakeBackend doctor;
    install(doctor);
    const Check check = admin_only_check(dir, doctor);
    EXPECT_EQ(check.passed, c.passed);
    EXPECT_EQ(check.detail, c.detail);
    // The helper judges the same paths, in the same order, before a standard user's start.
    if (c.path == config)
      continue;
    auto started = std::make_shared<FakeBackend>();
    install(*started);
    CoreState state{started};
    EXPECT_EQ(start_core(state, {}, Caller{false}).has_value(), c.passed);
    EXPECT_EQ(doctor.security_reads(), started->security_reads());
  }
}

TEST(DoctorVersions, TheHelpersFileVersionAgainstCorvidctls) {
  EXPECT_EQ(file_version_text(0, 1, 0, 0), "0.1.0");
  EXPECT_EQ(file_version_text(2, 10, 3, 7), "2.10.3.7");
  struct Case {
    const char* a;
    const char* b;
    bool same;
  };
  const Case cases[] = {
      {"0.1.0", "0.1.0", true},      {"0.1.0", "0.1.0.0", true},       {"1", "1.0.0", true},
      {"0.1.0", "0.1.1", false},     {"0.1.0", "0.10.0", false},       {"0.1.0", "0.1.0.1", false},
      {"0.1.0-rc1", "0.1.0", false}, {"0.1.0-rc1", "0.1.0-rc1", true}, {"", "0", false},
      {"0..1", "0.0.1", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(same_version(c.a, c.b), c.same) << c.a << " " << c.b;
    EXPECT_EQ(same_version(c.b, c.a), c.same) << c.b << " " << c.a;
  }
  About about = kAbout;
  EXPECT_TRUE(version_check(about).passed);
  about.helper_version = "0.2.0";
  const Check differ = version_check(about);
  EXPECT_FALSE(differ.passed);
  EXPECT_EQ(differ.detail, "corvidctl 0.1.0 talks to helper 0.2.0: install them together");
  about.helper_version.reset();
  about.helper_version_problem = "no registered helper: gone";
  const Check unknown = version_check(about);
  EXPECT_FALSE(unknown.passed);
  EXPECT_EQ(unknown.detail, "corvidctl 0.1.0, the helper's unknown: no registered helper: gone");
}

// What the watchdog logs while a core will not stay up, as it logs it.
TEST(DoctorCore, RelaunchesInTheLastMinuteAndTheLastExit) {
  constexpr std::uint64_t kSecond = 10'000'000;
  constexpr std::uint64_t kNow = 134410860000000000u;
  const auto at = [](std::uint64_t when, const char* message) {
    return format_log_line(when, message);
  };
  struct Case {
    const char* label;
    std::string log;
    std::uint64_t now;
    std::size_t relaunches;
    std::optional<std::string> last_exit;
  };
  const std::string crash_loop = at(kNow - 5 * kSecond, "core started") +
                                 at(kNow - 4 * kSecond, "core exited: exit code: 1") +
                                 at(kNow - 3 * kSecond, "core restarted") +
                                 at(kNow - 2 * kSecond, "core exited: exit code: 0xc0000135") +
                                 at(kNow - 1 * kSecond, "restart failed: spawn core");
  const Case cases[] = {
      {"a crash loop", crash_loop, kNow, 2, "exit code: 0xc0000135"},
      {"seen from later, timed by the newest entry", crash_loop, kNow + 3600 * kSecond, 2,
       "exit code: 0xc0000135"},
      {"older than a minute before the newest entry and now",
       at(kNow - 200 * kSecond, "core restarted") + at(kNow - 61 * kSecond, "core restarted") +
           at(kNow - 59 * kSecond, "core restarted") + at(kNow, "pipe accept error: 231"),
       kNow, 1, std::nullopt},
      {"a clock that went back: within a minute of now",
       at(kNow + 3600 * kSecond, "core started") + at(kNow - 30 * kSecond, "core restarted"), kNow,
       1, std::nullopt},
      {"a stop ends what was wanted", crash_loop + at(kNow, "core stopped"), kNow, 0,
       "exit code: 0xc0000135"},
      {"relaunched after the stop",
       crash_loop + at(kNow, "core stopped") + at(kNow, "core started") +
           at(kNow, "core restarted"),
       kNow, 1, "exit code: 0xc0000135"},
      {"only the watchdog's own words count",
       at(kNow, "start failed: core restarted") + at(kNow, "core restarted, pid 5") +
           at(kNow, "pipe handle error: core exited: x"),
       kNow, 0, std::nullopt},
      {"no log", "", kNow, 0, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const CoreHistory history = core_history(c.log, c.now);
    EXPECT_EQ(history.relaunches, c.relaunches);
    EXPECT_EQ(history.last_exit, c.last_exit);
  }
}

TEST(DoctorCore, ACoreThatDoesNotStayUpFails) {
  struct Case {
    const char* label;
    std::string words;
    bool running;
    std::size_t relaunches;
    const char* last_exit;  // none when null
    bool passed;
    std::string detail;
  };
  const Case cases[] = {
      {"not running, not wanted", "core not running", false, 0, nullptr, true, "core not running"},
      {"not running, the last exit long ago", "core not running", false, 0, "exit code: 1", true,
       "core not running"},
      {"wanted but not running", "core not running", false, 4, "exit code: 1", false,
       "core not running but wanted: relaunched 4 times in the last minute, last exit code: 1"},
      {"wanted, never exited", "core not running", false, 1, nullptr, false,
       "core not running but wanted: relaunched 1 time in the last minute"},
      {"running", "core running, pid 7", true, kManyRelaunches - 1, "exit code: 1", true,
       "core running, pid 7"},
      {"running but relaunched again and again", "core running, pid 7", true, kManyRelaunches,
       "exit code: 3", false,
       "core running, pid 7, but it does not stay up: relaunched 3 times in the last minute, last "
       "exit code: 3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const Check check = core_check(
        c.words, c.running,
        {c.relaunches, c.last_exit ? std::optional<std::string>(c.last_exit) : std::nullopt});
    EXPECT_EQ(check.name, "core status");
    EXPECT_EQ(check.passed, c.passed);
    EXPECT_EQ(check.detail, c.detail);
  }
}

// The end of the core's own log: the core writes what it likes, so it is shown as a client's text.
TEST(DoctorCore, TheLastLinesOfTheCoresLogEscapedAndBounded) {
  struct Case {
    const char* label;
    std::string text;
    bool whole;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"the last of a whole file", "one\ntwo\r\nthree\nfour\n", true, {"two", "three", "four"}},
      {"fewer than asked", "one\n", true, {"one"}},
      {"a last line without its line feed", "one\ntwo", true, {"one", "two"}},
      {"an empty line stays", "one\n\ntwo\n", true, {"one", "", "two"}},
      {"the cut first line of a piece is left out", "ne\ntwo\n", false, {"two"}},
      {"a piece of one cut line", "no line feed", false, {}},
      {"an empty file", "", true, {}},
      {"escapes", "\x1b[2Jcleared\tx\n", true, {"\\u001b[2Jcleared\\u0009x"}},
      {"long lines are cut",
       std::string(300, 'a') + "\n",
       true,
       {std::string(256, 'a') + "\xE2\x80\xA6 (300 bytes)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(last_lines(c.text, c.whole, 3), c.lines);
  }
}

}  // namespace
}  // namespace corvid::corvidctl
