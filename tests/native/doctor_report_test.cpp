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

const std::vector<Check> kMixed = {
    {"service installed", true, "corvid-helper"},
    {"admin-only install", false, R"(C:\Corvid: owned by S-1-5-21-1-2-3-1001)"},
    {"ping", true, "answered in 3 ms"},
    {"helper log", false, "failures reported in C:\\Corvid\\corvid-helper.log:\n    x"},
};

TEST(DoctorReport, EachCheckIsOneLineWithItsVerdictThenTheCount) {
  EXPECT_EQ(doctor_text(kMixed),
            "passed  service installed: corvid-helper\n"
            "FAILED  admin-only install: C:\\Corvid: owned by S-1-5-21-1-2-3-1001\n"
            "passed  ping: answered in 3 ms\n"
            "FAILED  helper log: failures reported in C:\\Corvid\\corvid-helper.log:\n    x\n"
            "2 of 4 checks failed\n");
  const std::vector<Check> good = {kMixed[0], kMixed[2]};
  EXPECT_TRUE(all_passed(good));
  EXPECT_FALSE(all_passed(kMixed));
  EXPECT_TRUE(doctor_text(good).ends_with("\nall 2 checks passed\n"));
}

TEST(DoctorReport, JsonCarriesEveryCheckInOrderAndTheOverallVerdict) {
  const std::string line = doctor_json(kMixed);
  ASSERT_TRUE(line.ends_with("}\n"));
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line";
  const nlohmann::json report = nlohmann::json::parse(line);
  EXPECT_EQ(report.at("passed"), false);
  ASSERT_EQ(report.at("checks").size(), kMixed.size());
  for (std::size_t i = 0; i < kMixed.size(); ++i) {
    SCOPED_TRACE(kMixed[i].name);
    EXPECT_EQ(report["checks"][i].at("check"), kMixed[i].name);
    EXPECT_EQ(report["checks"][i].at("passed"), kMixed[i].passed);
    EXPECT_EQ(report["checks"][i].at("detail"), kMixed[i].detail);
  }
  EXPECT_EQ(nlohmann::json::parse(doctor_json({kMixed[0]})).at("passed"), true);
  // A path that is not UTF-8 does not break the report.
  const nlohmann::json odd =
      nlohmann::json::parse(doctor_json({{"core present", true, "C:\\\xff"}}));
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
  Error denied("CreateFileW failed", "Access is denied. (os error 5)");
  denied.os_code = 5;
  struct Case {
    const char* label;
    std::string path;
    Result<SecuritySnapshot> security;
    std::optional<std::string> refusal;
  };
  const Case cases[] = {
      {"admin-only", dir, FakeBackend::admin_only_snapshot(), std::nullopt},
      {"a DLL users may write", dll,
       SecuritySnapshot{"S-1-5-32-544", std::vector<AccessEntry>{{AccessEntry::Kind::kAllow, 0, 0x2,
                                                                  "S-1-5-32-545"}}},
       dll + ": allows S-1-5-32-545 0x00000002: a standard user could not start the core"},
      // config.json is for LocalSystem and Administrators alone: a standard user's doctor cannot
      // read its descriptor, and says who can.
      {"a descriptor this account may not read", config, std::unexpected(denied),
       config + ": CreateFileW failed: Access is denied. (os error 5): only an administrator can "
                "read it, run corvidctl doctor elevated"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const auto install = [&](FakeBackend& os) {
      for (const std::string& path : {dir + R"(\corvid_helper_service.exe)", dll, config})
        os.add_existing(path);
      os.set_security(c.path, c.security);
    };
    auto started = std::make_shared<FakeBackend>();
    install(*started);
    CoreState state{started};
    EXPECT_EQ(start_core(state, {}, Caller{false}).has_value(), !c.refusal.has_value());
    FakeBackend doctor;
    install(doctor);
    EXPECT_EQ(admin_only_refusal(dir, doctor), c.refusal);
    EXPECT_EQ(doctor.security_reads(), started->security_reads());
  }
}

}  // namespace
}  // namespace corvid::corvidctl
