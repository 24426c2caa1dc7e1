// corvidctl doctor against a stand-in installation: a copy of the helper installed as the service
// corvid-helper, with the stand-in core as clash-rs.exe and corvidctl beside them. The folder is
// under the user's temp directory, so the admin-only line fails, and truthfully: a standard
// user's start would be refused there. (Under Wine every folder reads back as owned by the
// running user, the installation's too.)
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/os_error.h"
#include "common/product_names.h"
#include "common/utf.h"
#include "doctor_report.h"
#include "host_support.h"
#include "pipe_test_support.h"
#include "test_support_win.h"

namespace corvid {
namespace {

using namespace std::chrono_literals;
using test::ProgramResult;
using namespace test::exit_status;

struct Line {
  bool passed = false;
  std::string detail;
};

const std::vector<std::string> kChecks = {
    "versions",      "service installed", "service start type",
    "service state", "service binary",    "admin-only install",
    "core present",  "pipe present",      "pipe owner",
    "ping",          "core status",       "helper log"};

// The header's lines in words, before the checks.
constexpr std::size_t kHeaderLines = 4;

// The report as name -> line; every check in its place. `about` gets the header.
std::map<std::string, Line> parse_report(const ProgramResult& result,
                                         nlohmann::json* about = nullptr) {
  std::map<std::string, Line> lines;
  const nlohmann::json report = nlohmann::json::parse(result.out, nullptr, false);
  EXPECT_TRUE(report.is_object()) << result.out;
  if (!report.is_object())
    return lines;
  if (about != nullptr)
    *about = report.at("about");
  std::vector<std::string> names;
  bool all = true;
  for (const nlohmann::json& check : report.at("checks")) {
    names.push_back(check.at("check"));
    lines[names.back()] = Line{check.at("passed"), check.at("detail")};
    all = all && lines[names.back()].passed;
  }
  EXPECT_EQ(names, kChecks);
  EXPECT_EQ(report.at("passed"), all);
  EXPECT_EQ(result.exit_code, all ? kOk : kDoctorFailed) << result.err;
  return lines;
}

std::set<std::string> failed_checks(const std::map<std::string, Line>& lines) {
  std::set<std::string> failed;
  for (const auto& [name, line] : lines) {
    if (!line.passed)
      failed.insert(name);
  }
  return failed;
}

class DoctorTest : public test::ServiceTest {
 protected:
  void SetUp() override {
    test::ServiceTest::SetUp();
    ASSERT_TRUE(CopyFileW(to_wide(test::built_program("corvidctl.exe")).c_str(),
                          to_wide(corvidctl_copy()).c_str(), FALSE));
  }
  std::string corvidctl_copy() const { return helper.dir() + "\\corvidctl.exe"; }
  std::string core() const { return helper.dir() + "\\" + std::string(kCoreFileName); }
  ProgramResult doctor(const std::string& program, bool json = true) {
    ProgramResult result = test::run_program(
        program,
        json ? std::vector<std::string>{"doctor", "--json"} : std::vector<std::string>{"doctor"},
        90s);
    EXPECT_TRUE(result.started) << result.start_error;
    return result;
  }
};

TEST_F(DoctorTest, TheInstallationPassesEveryLineButTheAdminOnlyOneUnderWine) {
  ASSERT_TRUE(install_running());
  nlohmann::json about;
  const std::map<std::string, Line> lines = parse_report(doctor(corvidctl_copy()), &about);
  std::string report;
  for (const auto& [name, line] : lines)
    report += name + ": " + line.detail + "\n";
  SCOPED_TRACE(report);
  // A folder under the user's temp directory is the user's own, on Windows too.
  EXPECT_EQ(failed_checks(lines), std::set<std::string>{"admin-only install"});
  if (test::running_under_wine()) {
    EXPECT_NE(lines.at("admin-only install").detail.find("owned by S-1-5-21-"), std::string::npos)
        << lines.at("admin-only install").detail;
  }
  // The copy of the helper carries the build's version resource, as corvidctl does.
  const std::string version = test::corvidctl({"--version"}).out;
  EXPECT_EQ("corvidctl " + about.at("corvidctl").get<std::string>() + "\n", version);
  EXPECT_EQ(about.at("helper"), about.at("corvidctl"));
  EXPECT_EQ(lines.at("versions").detail,
            "corvidctl and the helper are both " + about.at("corvidctl").get<std::string>());
  EXPECT_TRUE(about.at("user").get<std::string>().find("(S-1-5-") != std::string::npos) << about;
  EXPECT_NE(about.at("windows"), "unknown");
  EXPECT_TRUE(about.at("elevated").is_boolean());
  EXPECT_EQ(lines.at("service start type").detail, "automatic");
  EXPECT_TRUE(lines.at("service state").detail.starts_with("running, pid "));
  EXPECT_NE(lines.at("service binary").detail.find(helper.exe()), std::string::npos);
  EXPECT_EQ(lines.at("core present").detail, core());
  EXPECT_NE(lines.at("pipe owner").detail.find("owned by S-1-"), std::string::npos);
  EXPECT_TRUE(lines.at("ping").detail.starts_with("answered in "));
  EXPECT_EQ(lines.at("core status").detail, "core not running");

  // The same in words: a line per check, then the count.
  const ProgramResult words = doctor(corvidctl_copy(), false);
  EXPECT_EQ(words.exit_code, kDoctorFailed);
  std::vector<std::string> shown;
  for (std::size_t at = 0; at < words.out.size();) {
    const std::size_t end = words.out.find('\n', at);
    shown.push_back(words.out.substr(at, end - at));
    at = end == std::string::npos ? words.out.size() : end + 1;
  }
  ASSERT_EQ(shown.size(), kHeaderLines + kChecks.size() + 1) << words.out;
  EXPECT_EQ(shown[0], "corvidctl  " + about.at("corvidctl").get<std::string>());
  EXPECT_EQ(shown[1], "helper     " + about.at("helper").get<std::string>());
  shown.erase(shown.begin(), shown.begin() + kHeaderLines);
  for (std::size_t i = 0; i < kChecks.size(); ++i) {
    const std::string verdict = lines.at(kChecks[i]).passed ? "passed  " : "FAILED  ";
    // The ping's time is its own in each run.
    const std::string detail =
        kChecks[i] == "ping" ? std::string("answered in ") : lines.at(kChecks[i]).detail;
    EXPECT_TRUE(shown[i].starts_with(verdict + kChecks[i] + ": " + detail)) << shown[i];
  }
}

TEST_F(DoctorTest, AMissingCoreFailsAndTheHelpersFailedStartIsShownFromItsLog) {
  ASSERT_TRUE(install_running());
  ASSERT_TRUE(DeleteFileW(to_wide(core()).c_str()));
  // The helper logs why it could not start a core.
  const ProgramResult start = test::run_program(corvidctl_copy(), {"start"}, 90s);
  EXPECT_EQ(start.exit_code, kNotOk) << start.out << start.err;

  const std::map<std::string, Line> lines = parse_report(doctor(corvidctl_copy()));
  // The helper goes on trying to launch the wanted core once a second ("restart failed: "), so
  // whether the core's status fails yet depends on the moment.
  std::set<std::string> failed = failed_checks(lines);
  failed.erase("core status");
  EXPECT_EQ(failed, (std::set<std::string>{"admin-only install", "core present", "helper log"}));
  EXPECT_EQ(lines.at("core present").detail, "no " + std::string(kCoreFileName) + " at " + core());
  const std::string& log = lines.at("helper log").detail;
  EXPECT_NE(log.find(helper.log_path()), std::string::npos) << log;
  EXPECT_NE(log.find("start failed: "), std::string::npos) << log;
  EXPECT_NE(log.find(" UTC "), std::string::npos) << log;
}

TEST_F(DoctorTest, WithoutTheServiceItSaysSoAndFindsNoPipe) {
  const std::map<std::string, Line> lines = parse_report(doctor(corvidctl_copy()));
  EXPECT_EQ(failed_checks(lines),
            (std::set<std::string>{"versions", "service installed", "service start type",
                                   "service state", "service binary", "admin-only install",
                                   "pipe present", "pipe owner", "ping", "core status"}));
  EXPECT_NE(lines.at("service installed").detail.find(os_error_text(ERROR_SERVICE_DOES_NOT_EXIST)),
            std::string::npos)
      << lines.at("service installed").detail;
  EXPECT_NE(lines.at("pipe present").detail.find(os_error_text(ERROR_FILE_NOT_FOUND)),
            std::string::npos)
      << lines.at("pipe present").detail;
  // Without a service the folder corvidctl came with is the one checked.
  EXPECT_EQ(lines.at("core present").detail, core());
}

// A pipe under the helper's name that belongs to someone else is found and not trusted; nothing
// is sent to it.
TEST_F(DoctorTest, APipeOfAnotherOwnerFailsTheOwnerLine) {
  const std::string sid = "S-1-5-21-1004336348-1177238915-682003330-1001";
  test::ScriptedServer server("{\"ok\":true}\n", to_wide("O:" + sid + "D:(A;;GA;;;WD)"));
  ASSERT_TRUE(server.created());
  const std::map<std::string, Line> lines = parse_report(doctor(corvidctl_copy()));
  ASSERT_TRUE(server.wait());
  EXPECT_EQ(server.request(), "");
  EXPECT_TRUE(lines.at("pipe present").passed);
  EXPECT_FALSE(lines.at("pipe owner").passed);
  EXPECT_NE(lines.at("pipe owner").detail.find("belongs to " + sid), std::string::npos)
      << lines.at("pipe owner").detail;
  EXPECT_FALSE(lines.at("ping").passed);
}

// Run from another folder, corvidctl names the helper the service was registered with.
TEST_F(DoctorTest, AServiceRegisteredWithAnotherHelperIsNamed) {
  ASSERT_TRUE(install_running());
  const std::map<std::string, Line> lines =
      parse_report(doctor(test::built_program("corvidctl.exe")));
  EXPECT_FALSE(lines.at("service binary").passed);
  EXPECT_NE(lines.at("service binary").detail.find(helper.exe()), std::string::npos)
      << lines.at("service binary").detail;
  EXPECT_NE(lines.at("service binary").detail.find("not the helper beside corvidctl"),
            std::string::npos);
  EXPECT_TRUE(lines.at("ping").passed);
  EXPECT_EQ(lines.at("core present").detail, core());
}

// A core that exits at once: the helper relaunches it every second, and doctor says so, with
// the end of the core's own log.
TEST_F(DoctorTest, ACoreThatWillNotStayUpFailsWithItsRelaunchesAndItsLog) {
  ASSERT_TRUE(install_running());
  ASSERT_TRUE(test::make_directory(helper.dir() + "\\log"));
  const std::string core_log = helper.dir() + "\\" + std::string(kCoreLogFileName);
  ASSERT_TRUE(test::write_file(core_log, "starting\nfatal: port 7890 in use\x1b[2J\n"));
  const ProgramResult start =
      test::run_program(corvidctl_copy(), {"start", "--config", "exit 3"}, 90s);
  ASSERT_EQ(start.exit_code, kOk) << start.out << start.err;
  // Enough relaunches that the verdict does not hang on whether the core runs at the moment.
  const auto relaunches = [&] {
    std::size_t count = 0;
    for (const test::LogEntry& entry :
         test::parse_log(test::read_file(helper.log_path()).value_or("")))
      count += entry.message == "core restarted" ? 1 : 0;
    return count;
  };
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (relaunches() < corvidctl::kManyRelaunches && std::chrono::steady_clock::now() < deadline)
    Sleep(200);
  ASSERT_GE(relaunches(), corvidctl::kManyRelaunches);

  const std::map<std::string, Line> lines = parse_report(doctor(corvidctl_copy()));
  const Line& core = lines.at("core status");
  EXPECT_FALSE(core.passed);
  for (const std::string& part :
       {std::string("relaunched "), std::string(" times in the last minute, last exit code: 3"),
        "the core's log " + core_log +
            " ends:\n      starting\n      fatal: port 7890 in use\\u001b[2J"}) {
    EXPECT_NE(core.detail.find(part), std::string::npos) << part << "\n" << core.detail;
  }
}

}  // namespace
}  // namespace corvid
