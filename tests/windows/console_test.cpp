// Console mode: a copy of the helper run with "console" in a folder of its own, driven through
// its pipe with corvidctl and ended from outside, as a developer would.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "corvid_version.h"
#include "host_support.h"
#include "test_support_win.h"

namespace corvid {
namespace {

using namespace std::chrono_literals;
using test::BackgroundProcess;
using test::HelperCopy;
using test::LogEntry;

constexpr char kConsoleLine[] = "running in console mode";

// The raw line of the first log entry with exactly `message`, line feed included.
std::string raw_line_of(const std::string& text, const std::string& message) {
  for (const std::string& line : test::split_lines(text)) {
    const std::vector<LogEntry> entries = test::parse_log(line);
    if (entries.size() == 1 && entries[0].message == message)
      return line + "\n";
  }
  return {};
}

TEST(ConsoleTest, LogsItsStartWithATimestampToTheLogBesideItAndToStandardError) {
  HelperCopy helper("console log");
  ASSERT_TRUE(helper.ready());
  // A log left by an earlier run is appended to.
  const std::string earlier = "[SystemTime { intervals: 1 }] from an earlier run\n";
  ASSERT_TRUE(test::write_file(helper.log_path(), earlier));

  const std::uint64_t before = test::filetime_now();
  BackgroundProcess console(helper.exe(), {"console"});
  ASSERT_TRUE(console.started()) << console.start_error();
  ASSERT_TRUE(test::wait_for_log_message(helper.log_path(), kConsoleLine));
  const std::uint64_t after = test::filetime_now();

  // Then which helper this is.
  const std::string started =
      std::string("corvid-helper ") + kVersion + ", process " + std::to_string(console.pid());
  ASSERT_TRUE(test::wait_for_log_message(helper.log_path(), started));
  const std::string text = test::read_file(helper.log_path()).value_or("");
  EXPECT_TRUE(text.starts_with(earlier)) << text;
  const std::vector<LogEntry> entries = test::parse_log(text);
  ASSERT_GE(entries.size(), 3u) << text;
  EXPECT_EQ(entries[1].message, kConsoleLine);
  EXPECT_EQ(entries[2].message, started);
  EXPECT_GE(entries[1].intervals, before);
  EXPECT_LE(entries[1].intervals, after);

  // Exactly "[SystemTime { intervals: N }] running in console mode\n", and the same bytes on
  // standard error, where it is the first thing written.
  const std::string line = raw_line_of(text, kConsoleLine);
  ASSERT_EQ(line, "[SystemTime { intervals: " + std::to_string(entries[1].intervals) + " }] " +
                      kConsoleLine + "\n");
  ASSERT_TRUE(console.wait_for_err(line)) << console.err();
  EXPECT_TRUE(console.err().starts_with(line)) << console.err();
  EXPECT_TRUE(console.running());
}

TEST(ConsoleTest, StaysUpAndServesThePipeUntilItIsEnded) {
  HelperCopy helper("console serve");
  ASSERT_TRUE(helper.ready());
  BackgroundProcess console(helper.exe(), {"console"});
  ASSERT_TRUE(console.started()) << console.start_error();
  ASSERT_TRUE(test::wait_for_ping()) << console.err();

  // Requests come and go; the process has no reason to end on its own.
  const std::vector<std::vector<std::string>> requests = {
      {"ping", "--id", "1"}, {"status"}, {"stop"}, {"status"}, {"ping", "--id", "2"}};
  for (const std::vector<std::string>& request : requests) {
    const test::ProgramResult result = test::corvidctl(request);
    EXPECT_EQ(result.exit_code, 0u) << request[0] << ": " << result.out << result.err;
  }
  // The requests took several turns of the main thread's half-second loop.
  EXPECT_TRUE(console.running()) << "console mode ended on its own: " << console.err();
  EXPECT_EQ(test::corvidctl({"ping", "--id", "3"}).out,
            R"({"id":"3","ok":true,"error":null,"data":{"pong":true}})"
            "\n");

  ASSERT_TRUE(console.kill());
  // Gone with the process: the pipe has no server any more.
  EXPECT_EQ(test::corvidctl({"ping"}).exit_code, 2u);
}

TEST(ConsoleTest, ExtraWordsAfterConsoleAreIgnored) {
  HelperCopy helper("console extra");
  ASSERT_TRUE(helper.ready());
  BackgroundProcess console(helper.exe(), {"console", "install", "--verbose", "x y"});
  ASSERT_TRUE(console.started()) << console.start_error();
  ASSERT_TRUE(test::wait_for_log_message(helper.log_path(), kConsoleLine)) << console.err();
  EXPECT_TRUE(test::wait_for_ping()) << console.err();
  EXPECT_TRUE(console.running());
  // "install" after "console" installed nothing.
  DWORD error = 0;
  EXPECT_FALSE(test::open_service(SERVICE_QUERY_STATUS, &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST(ConsoleTest, RunsOnWithoutALogFileAndEchoesOnStandardErrorOnly) {
  HelperCopy helper("console nolog");
  ASSERT_TRUE(helper.ready());
  // A directory where the log file should be: it can't be opened as a file.
  ASSERT_TRUE(test::make_directory(helper.log_path()));

  BackgroundProcess console(helper.exe(), {"console"});
  ASSERT_TRUE(console.started()) << console.start_error();
  ASSERT_TRUE(console.wait_for_err(std::string("}] ") + kConsoleLine + "\n")) << console.err();
  const std::vector<LogEntry> echoed = test::parse_log(console.err());
  ASSERT_FALSE(echoed.empty());
  EXPECT_EQ(echoed[0].message, kConsoleLine);
  EXPECT_TRUE(test::wait_for_ping()) << console.err();
  EXPECT_TRUE(console.running());
  EXPECT_TRUE(test::is_directory(helper.log_path()));
}

TEST(ConsoleTest, ACoreItStartedEndsWithItWhateverEndsTheHelper) {
  HelperCopy helper("console core");
  ASSERT_TRUE(helper.ready());
  BackgroundProcess console(helper.exe(), {"console"});
  ASSERT_TRUE(console.started()) << console.start_error();
  ASSERT_TRUE(test::wait_for_ping()) << console.err();

  // The core starts a process of its own too.
  const test::ProgramResult started = test::corvidctl({"start", "--config", "spawn\nrun\n"});
  ASSERT_EQ(started.exit_code, 0u) << started.out << started.err;
  const std::optional<std::uint32_t> pid = test::status_pid();
  ASSERT_TRUE(pid.has_value());
  ASSERT_EQ(test::wait_for_core_runs(helper.dir(), 2).size(), 2u);
  EXPECT_EQ(test::processes_in(helper.dir(), test::kCoreExe).size(), 2u);
  WinHandle core = test::open_process(*pid);
  ASSERT_TRUE(core.valid());

  // Ctrl+C, closing the window or a kill: no clean-up runs in the helper, and yet nothing it
  // started is left.
  ASSERT_TRUE(console.kill());
  EXPECT_TRUE(test::wait_exit_code(core.get(), 2s).has_value())
      << "the core outlived the console-mode helper";
  EXPECT_EQ(test::wait_for_no_process(helper.dir(), test::kCoreExe, 2s), std::vector<DWORD>{});
}

// Captured here through a pipe; a real console (where the core's lines appear in the helper's
// window, not in a hidden console of the core's own) shows only on Windows.
TEST(ConsoleTest, TheCoresOutputAppearsWhereTheHelpersDoes) {
  HelperCopy helper("console output");
  ASSERT_TRUE(helper.ready());
  BackgroundProcess console(helper.exe(), {"console"});
  ASSERT_TRUE(console.started()) << console.start_error();
  ASSERT_TRUE(test::wait_for_ping()) << console.err();

  const std::string line = "from the core, on the helper's console";
  const test::ProgramResult started =
      test::corvidctl({"start", "--config", "print " + line + "\nrun\n"});
  ASSERT_EQ(started.exit_code, 0u) << started.out << started.err;
  // Once on standard output and once on standard error, which share the pipe here.
  const std::string twice = line + "\n" + line + "\n";
  EXPECT_TRUE(console.wait_for_err(twice)) << console.err();
  EXPECT_EQ(test::corvidctl({"stop"}).exit_code, 0u);
}

}  // namespace
}  // namespace corvid
