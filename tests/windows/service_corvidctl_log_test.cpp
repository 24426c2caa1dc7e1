// corvidctl log without --file: the log of the installed service, found through the binary path
// registered with Wine's Service Control Manager (quoted: the copy's folder name holds a blank).
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/os_error.h"
#include "common/product_names.h"
#include "host_support.h"
#include "test_support_win.h"

namespace corvid {
namespace {

using test::local_time;
using test::ProgramResult;

using CorvidctlServiceLogTest = test::ServiceTest;

using namespace test::exit_status;

TEST_F(CorvidctlServiceLogTest, ReadsTheLogBesideTheInstalledService) {
  ASSERT_NE(helper.dir().find(' '), std::string::npos);
  ASSERT_TRUE(install_running().has_value());
  // A failed start adds an entry of several lines.
  const ProgramResult failed =
      test::corvidctl({"start", "--config", "x", "--config-path", "bad|name.json"});
  ASSERT_EQ(failed.exit_code, 1u) << failed.out << failed.err;
  ASSERT_TRUE(test::wait_for_log_message(
      helper.log_path(),
      "start failed: write config\n\nCaused by:\n    " + os_error_text(ERROR_INVALID_NAME)));
  ASSERT_EQ(test::corvidctl({"stop"}).exit_code, 0u);
  ASSERT_TRUE(test::wait_for_log_message(helper.log_path(), "core stopped"));

  const std::vector<test::LogEntry> before = test::read_log(helper.log_path());
  const ProgramResult result = test::corvidctl({"log", "-n", "2"});
  ASSERT_EQ(test::read_log(helper.log_path()).size(), before.size()) << "the log moved on";
  ASSERT_GE(before.size(), 2u);
  std::string expected;
  for (std::size_t i = before.size() - 2; i < before.size(); ++i)
    expected += local_time(before[i].intervals) + " " + before[i].message + "\n";
  EXPECT_EQ(result.exit_code, kOk) << result.err;
  EXPECT_EQ(result.out, expected);
  EXPECT_EQ(result.err, "");
}

TEST_F(CorvidctlServiceLogTest, WithoutTheServiceItSaysSoAndExitsWithTwo) {
  const ProgramResult result = test::corvidctl({"log"});
  EXPECT_EQ(result.exit_code, kNoAnswer);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "corvidctl: the helper service " + std::string(kServiceNameUtf8) +
                            " is not installed (read a copy of its log with --file PATH)\n");
}

TEST_F(CorvidctlServiceLogTest, AnUnreadableLogOfTheServiceIsExitTwo) {
  // A directory where the log should be: the service runs without one.
  ASSERT_TRUE(test::make_directory(helper.log_path()));
  ASSERT_TRUE(install_running().has_value());
  const ProgramResult result = test::corvidctl({"log", "--follow"});
  EXPECT_EQ(result.exit_code, kNoAnswer);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "corvidctl: cannot read " + helper.log_path() + ": " +
                            os_error_text(ERROR_ACCESS_DENIED) + "\n");
}

}  // namespace
}  // namespace corvid
