// corvidctl log as a child process, on log files written here: the last entries with local times,
// the command line's errors, and --follow on a file that grows in pieces.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "common/os_error.h"
#include "common/product_names.h"
#include "common/utf.h"
#include "common/handle_win.h"
#include "host_support.h"
#include "test_support_win.h"

namespace corvid {
namespace {

using namespace std::chrono_literals;
using test::corvidctl;
using test::local_time;
using test::ProgramResult;

using namespace test::exit_status;

// 2026-12-07 03:00:00 UTC, and half a year earlier (the other side of daylight saving time,
// where the zone has one).
constexpr std::uint64_t kWinter = 134410860000000000u;
constexpr std::uint64_t kSummer = 134253612000000000u;

// Three entries, the second of four lines, and a last line the helper is still writing.
std::string sample_log() {
  return "[SystemTime { intervals: " + std::to_string(kSummer) +
         " }] running in console mode\n"
         "[SystemTime { intervals: " +
         std::to_string(kWinter) +
         " }] pipe handle error: invalid request: {\"id\":\"1\"\n"
         "\n"
         "Caused by:\n"
         "    EOF while parsing an object at line 1 column 8\n"
         "[SystemTime { intervals: " +
         std::to_string(kWinter + 12345678) +
         " }] core not found: C:\\Caf\xC3\xA9\\clash-rs.exe\n" +
         "[SystemTime { intervals: " + std::to_string(kWinter + 20000000) + " }] core sta";
}

std::vector<std::string> sample_shown() {
  return {
      local_time(kSummer) + " running in console mode",
      local_time(kWinter) + " pipe handle error: invalid request: {\"id\":\"1\"",
      "",
      "Caused by:",
      "    EOF while parsing an object at line 1 column 8",
      local_time(kWinter + 12345678) + " core not found: C:\\Caf\xC3\xA9\\clash-rs.exe",
      local_time(kWinter + 20000000) + " core sta",
  };
}

std::string joined(const std::vector<std::string>& lines, std::size_t from) {
  std::string text;
  for (std::size_t i = from; i < lines.size(); ++i)
    text += lines[i] + "\n";
  return text;
}

TEST(CorvidctlLogTest, PrintsTheLastEntriesWithLocalTimesAndMessagesUnchanged) {
  test::TempDir dir("corvidctl log");
  const std::string log = dir / kLogFileName;
  ASSERT_TRUE(test::write_file(log, sample_log()));
  const std::vector<std::string> shown = sample_shown();
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const Case cases[] = {
      // The partial last line is shown as it stands, as the last entry.
      {{"log", "--file", log}, joined(shown, 0)},
      {{"log", "--file", log, "-n", "4"}, joined(shown, 0)},
      {{"log", "--file", log, "-n", "1000000"}, joined(shown, 0)},
      {{"log", "-n", "3", "--file", log}, joined(shown, 1)},
      {{"log", "--file=" + log, "-n2"}, joined(shown, 5)},
      {{"log", "--file", log, "-n=1"}, joined(shown, 6)},
      {{"log", "--file", log, "-n", "0"}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1] + " " + c.args[2] + " " + (c.args.size() > 3 ? c.args[3] : ""));
    const ProgramResult result = corvidctl(c.args);
    EXPECT_EQ(result.exit_code, kOk) << result.err;
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, "");
  }
}

TEST(CorvidctlLogTest, AnEmptyLogPrintsNothing) {
  test::TempDir dir("corvidctl empty log");
  const std::string log = dir / kLogFileName;
  ASSERT_TRUE(test::write_file(log, ""));
  const ProgramResult result = corvidctl({"log", "--file", log});
  EXPECT_EQ(result.exit_code, kOk) << result.err;
  EXPECT_EQ(result.out, "");
}

// A long log is read from its end: entries far back are found however far back they begin.
TEST(CorvidctlLogTest, FindsTheLastEntriesOfALongLogWithALongEntry) {
  test::TempDir dir("corvidctl long log");
  const std::string log = dir / kLogFileName;
  std::string text;
  for (int i = 0; i < 5000; ++i)
    text += "[SystemTime { intervals: " + std::to_string(kWinter + i) + " }] line " +
            std::to_string(i) + "\n";
  // An entry longer than the first piece read back, with many lines.
  const std::string long_line(100000, 'x');
  text += "[SystemTime { intervals: " + std::to_string(kWinter) + " }] long\n";
  for (int i = 0; i < 3; ++i)
    text += long_line + "\n";
  text += "[SystemTime { intervals: " + std::to_string(kSummer) + " }] last\n";
  ASSERT_TRUE(test::write_file(log, text));

  const ProgramResult result = corvidctl({"log", "--file", log, "-n", "3"});
  EXPECT_EQ(result.exit_code, kOk) << result.err;
  const std::string expected = local_time(kWinter + 4999) + " line 4999\n" + local_time(kWinter) +
                               " long\n" + long_line + "\n" + long_line + "\n" + long_line + "\n" +
                               local_time(kSummer) + " last\n";
  EXPECT_EQ(result.out.size(), expected.size());
  EXPECT_TRUE(result.out == expected) << result.out.substr(0, 200);
}

TEST(CorvidctlLogTest, AnUnreadableFileIsExitThree) {
  test::TempDir dir("corvidctl log usage");
  const std::string missing = dir / "missing.log";
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  // The command line's own errors are command_line_test's.
  const Case cases[] = {
      {{"log", "--file", missing},
       "corvidctl: cannot read " + missing + ": " + os_error_text(ERROR_FILE_NOT_FOUND) + "\n"},
      {{"log", "--file", dir.path()},
       "corvidctl: cannot read " + dir.path() + ": " + os_error_text(ERROR_ACCESS_DENIED) + "\n"},
  };
  for (const Case& c : cases) {
    std::string label;
    for (const std::string& arg : c.args)
      label += "[" + arg + "] ";
    SCOPED_TRACE(label);
    const ProgramResult result = corvidctl(c.args);
    EXPECT_EQ(result.exit_code, kUsage);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, c.err);
  }
}

// corvidctl log --follow in the background, its standard output going to a file.
class Follower {
 public:
  Follower(const std::string& out_path, const std::vector<std::string>& args,
           DWORD creation_flags = 0)
      : path_(out_path) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const WinHandle out(CreateFileW(to_wide(out_path).c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out.valid())
      return;
    std::expected<PROCESS_INFORMATION, std::string> info = test::start_program(
        test::built_program("corvidctl.exe"), args, out.get(), out.get(), creation_flags);
    if (!info)
      return;
    pid_ = info->dwProcessId;
    process_.reset(info->hProcess);
    WinHandle thread(info->hThread);
  }
  ~Follower() { end(); }
  Follower(const Follower&) = delete;
  Follower& operator=(const Follower&) = delete;

  bool started() const { return process_.valid(); }
  DWORD pid() const { return pid_; }
  bool running() const { return WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }
  // Its exit status once it has ended within `wait`.
  std::optional<DWORD> exit_code(std::chrono::milliseconds wait) const {
    if (WaitForSingleObject(process_.get(), static_cast<DWORD>(wait.count())) != WAIT_OBJECT_0)
      return std::nullopt;
    DWORD code = 0;
    if (!GetExitCodeProcess(process_.get(), &code))
      return std::nullopt;
    return code;
  }
  std::string out() const { return test::read_file(path_).value_or(""); }

  // Waits until the output is `expected`; returns what it is then.
  std::string wait_for(const std::string& expected, std::chrono::milliseconds wait = 15s) const {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::string now = out();
    while (now != expected && std::chrono::steady_clock::now() < deadline) {
      Sleep(50);
      now = out();
    }
    return now;
  }

  // It runs until interrupted: ended from outside, as Ctrl+C or a closed console would.
  void end() {
    if (!process_.valid())
      return;
    TerminateProcess(process_.get(), 1);
    WaitForSingleObject(process_.get(), 10000);
    process_.reset();
  }

 private:
  std::string path_;
  DWORD pid_ = 0;
  WinHandle process_;
};

// Appends as the helper does: each write lands at the end, and readers may read meanwhile.
bool append(const std::string& path, std::string_view bytes) {
  const WinHandle file(CreateFileW(to_wide(path).c_str(), FILE_APPEND_DATA,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file.valid() &&
         WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

std::string entry(std::uint64_t intervals, std::string_view message) {
  return "[SystemTime { intervals: " + std::to_string(intervals) + " }] " + std::string(message);
}

TEST(CorvidctlLogTest, FollowPrintsNewEntriesAsTheyAreCompleted) {
  test::TempDir dir("corvidctl follow");
  const std::string log = dir / kLogFileName;
  // The last line is still being written when corvidctl starts.
  ASSERT_TRUE(test::write_file(
      log, entry(kWinter, "running in console mode\n") + entry(kWinter + 1, "core sta")));
  Follower follower(dir / "out.txt", {"log", "--file", log, "-n", "2", "--follow"});
  ASSERT_TRUE(follower.started());

  std::string expected = local_time(kWinter) + " running in console mode\n";
  EXPECT_EQ(follower.wait_for(expected), expected);

  // The rest of the line arrives: the whole line is printed, once.
  ASSERT_TRUE(append(log, "rted\n"));
  expected += local_time(kWinter + 1) + " core started\n";
  EXPECT_EQ(follower.wait_for(expected), expected);

  // An entry of four lines written in two pieces, cut inside its third line, behind a complete
  // entry: once that one is shown, the piece has been read too, and only its complete lines show.
  ASSERT_TRUE(append(log, entry(kWinter + 2, "core stopped\n") +
                              entry(kWinter + 3, "pipe handle error: invalid request: {\n\nCaus")));
  expected += local_time(kWinter + 2) + " core stopped\n" + local_time(kWinter + 3) +
              " pipe handle error: invalid request: {\n\n";
  EXPECT_EQ(follower.wait_for(expected), expected);
  ASSERT_TRUE(append(log, "ed by:\n    EOF while parsing an object at line 1 column 1\n"));
  expected += "Caused by:\n    EOF while parsing an object at line 1 column 1\n";
  EXPECT_EQ(follower.wait_for(expected), expected);
  EXPECT_TRUE(follower.running());

  // A log that was emptied and written anew is read from its beginning.
  ASSERT_TRUE(test::write_file(log, entry(kSummer, "new log\n")));
  expected += local_time(kSummer) + " new log\n";
  EXPECT_EQ(follower.wait_for(expected), expected);
  EXPECT_TRUE(follower.running());
  follower.end();
}

TEST(CorvidctlLogTest, FollowWithNoEntriesPrintsOnlyNewOnes) {
  test::TempDir dir("corvidctl follow none");
  const std::string log = dir / kLogFileName;
  ASSERT_TRUE(test::write_file(log, entry(kWinter, "old\n")));
  Follower follower(dir / "out.txt", {"log", "-f", "-n", "0", "--file", log});
  ASSERT_TRUE(follower.started());
  // Entries written before it has looked at the file are old too: add one at a time until one
  // shows. From then on each one shows, in order, and nothing older ever does.
  const auto probe = [](int i) {
    return local_time(kWinter + 1 + i) + " probe " + std::to_string(i) + "\n";
  };
  int first_shown = -1;
  std::string expected;
  for (int i = 0; i < 40 && first_shown < 0; ++i) {
    ASSERT_TRUE(append(log, entry(kWinter + 1 + i, "probe " + std::to_string(i) + "\n")));
    const auto deadline = std::chrono::steady_clock::now() + 500ms;
    while (follower.out().empty() && std::chrono::steady_clock::now() < deadline)
      Sleep(50);
    const std::string out = follower.out();
    for (int k = 0; k <= i && first_shown < 0; ++k) {
      if (out.starts_with(probe(k)))
        first_shown = k;
    }
    ASSERT_TRUE(out.empty() || first_shown >= 0) << out;
    for (int k = first_shown; first_shown >= 0 && k <= i; ++k)
      expected += probe(k);
  }
  ASSERT_GE(first_shown, 0) << follower.out();
  ASSERT_TRUE(append(log, entry(kSummer, "new\n")));
  expected += local_time(kSummer) + " new\n";
  EXPECT_EQ(follower.wait_for(expected), expected);
}

TEST(CorvidctlLogTest, UtcPrintsTheTimesInUtcAndSaysSo) {
  test::TempDir dir("corvidctl utc");
  const std::string log = dir / kLogFileName;
  ASSERT_TRUE(test::write_file(log, sample_log()));
  const ProgramResult result = corvidctl({"log", "--utc", "--file", log, "-n", "3"});
  EXPECT_EQ(result.exit_code, kOk) << result.err;
  EXPECT_EQ(result.out,
            "2026-12-07 03:00:00.000 UTC pipe handle error: invalid request: {\"id\":\"1\"\n"
            "\n"
            "Caused by:\n"
            "    EOF while parsing an object at line 1 column 8\n"
            "2026-12-07 03:00:01.234 UTC core not found: C:\\Caf\xC3\xA9\\clash-rs.exe\n"
            "2026-12-07 03:00:02.000 UTC core sta\n");
  // Summer and winter alike: UTC has no daylight saving time.
  EXPECT_TRUE(corvidctl({"log", "--file", log, "--utc", "-n", "4"})
                  .out.starts_with("2026-06-08 03:00:00.000 UTC running in console mode\n"));
}

std::vector<std::string> numbered_entries(const std::string& name, int from, int to) {
  std::vector<std::string> out;
  for (int i = from; i < to; ++i)
    out.push_back(entry(kWinter + i, name + " " + std::to_string(i)));
  return out;
}

std::string lines_of(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines)
    text += line + "\n";
  return text;
}

std::string shown_entries(int from, int to) {
  std::string text;
  for (int i = from; i < to; ++i)
    text += local_time(kWinter + i) + " entry " + std::to_string(i) + "\n";
  return text;
}

// The helper renames a full log to corvid-helper.log.1: the entries before the current file's
// are at its end.
TEST(CorvidctlLogTest, TheLastEntriesReachBackIntoTheRotatedFile) {
  test::TempDir dir("corvidctl rotated");
  const std::string log = dir / kLogFileName;
  struct Case {
    const char* label;
    int rotated;  // entries 0..rotated-1 in .1 (none: no .1 at all)
    int current;  // the next ones in the log
    std::size_t count;
    std::string out;
  };
  const Case cases[] = {
      {"enough in the current file", 10, 4, 3, shown_entries(11, 14)},
      {"exactly as many", 10, 4, 4, shown_entries(10, 14)},
      {"the rest from the end of .1", 10, 4, 6, shown_entries(8, 14)},
      {"all of both", 10, 4, 100, shown_entries(0, 14)},
      {"an empty current file: from .1 alone", 10, 0, 3, shown_entries(7, 10)},
      {"no .1", -1, 4, 6, shown_entries(0, 4)},
      {"none asked for", 10, 4, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    DeleteFileW(to_wide(log + ".1").c_str());
    if (c.rotated >= 0) {
      ASSERT_TRUE(test::write_file(log + ".1", lines_of(numbered_entries("entry", 0, c.rotated))));
    }
    const int first = std::max(c.rotated, 0);
    ASSERT_TRUE(
        test::write_file(log, lines_of(numbered_entries("entry", first, first + c.current))));
    const ProgramResult result = corvidctl({"log", "--file", log, "-n", std::to_string(c.count)});
    EXPECT_EQ(result.exit_code, kOk) << result.err;
    EXPECT_EQ(result.out, c.out);
  }
}

// The helper's own rotation (through the log writer, with a small limit) read back by corvidctl.
TEST(CorvidctlLogTest, ReadsWhatTheHelpersRotationLeft) {
  test::TempDir dir("corvidctl helper rotation");
  // 25 entries of about 60 bytes, rotated at 600: the last few in the log, more in .1.
  std::vector<std::string> steps = {"init-limit", dir.path(), "600"};
  for (int i = 0; i < 25; ++i) {
    steps.push_back("line");
    steps.push_back("entry " + std::to_string(100 + i));
  }
  const ProgramResult written =
      test::run_program(test::built_program("corvid_log_writer.exe"), steps);
  ASSERT_EQ(written.exit_code, 0u) << written.err;
  const std::string log = dir / kLogFileName;
  ASSERT_TRUE(test::is_file(log + ".1"));
  const std::vector<test::LogEntry> current = test::parse_log(test::read_file(log).value_or(""));
  ASSERT_LT(current.size(), 8u);

  const ProgramResult result = corvidctl({"log", "--file", log, "-n", "8", "--utc"});
  EXPECT_EQ(result.exit_code, kOk) << result.err;
  const std::vector<std::string> lines = test::split_lines(result.out);
  ASSERT_EQ(lines.size(), 8u) << result.out;
  for (int i = 0; i < 8; ++i) {
    EXPECT_TRUE(lines[i].ends_with(" UTC entry " + std::to_string(117 + i))) << lines[i];
  }
}

// Renames the log as the helper rotates it, replacing an older .1.
bool rotate(const std::string& log) {
  return MoveFileExW(to_wide(log).c_str(), to_wide(log + ".1").c_str(),
                     MOVEFILE_REPLACE_EXISTING) != 0;
}

TEST(CorvidctlLogTest, FollowGoesOnAcrossARotation) {
  test::TempDir dir("corvidctl follow rotation");
  const std::string log = dir / kLogFileName;
  ASSERT_TRUE(test::write_file(log, entry(kWinter, "first\n")));
  Follower follower(dir / "out.txt", {"log", "--file", log, "-n", "1", "-f"});
  ASSERT_TRUE(follower.started());
  std::string expected = local_time(kWinter) + " first\n";
  EXPECT_EQ(follower.wait_for(expected), expected);

  for (int round = 1; round <= 3; ++round) {
    SCOPED_TRACE("rotation " + std::to_string(round));
    const std::uint64_t at = kWinter + 10 * round;
    // An entry just before the switch, one that lands in the renamed file just after it (a writer
    // that had not noticed yet), then the new file's.
    ASSERT_TRUE(append(log, entry(at, "before\n")));
    ASSERT_TRUE(rotate(log));
    ASSERT_TRUE(append(log + ".1", entry(at + 1, "late, in the old file\n")));
    ASSERT_TRUE(append(log, entry(at + 2, "in the new file\n")));
    expected += local_time(at) + " before\n" + local_time(at + 1) + " late, in the old file\n" +
                local_time(at + 2) + " in the new file\n";
    EXPECT_EQ(follower.wait_for(expected), expected);
  }
  // Entries go on into the new file; each shows once.
  ASSERT_TRUE(append(log, entry(kSummer, "and on\n")));
  expected += local_time(kSummer) + " and on\n";
  EXPECT_EQ(follower.wait_for(expected), expected);
  EXPECT_TRUE(follower.running());
}

TEST(CorvidctlLogTest, CtrlBreakEndsAFollowWithSuccess) {
  test::TempDir dir("corvidctl follow break");
  const std::string log = dir / kLogFileName;
  ASSERT_TRUE(test::write_file(log, entry(kWinter, "first\n")));
  // The event travels through a console that both processes share: this one's, made if it has
  // none, is inherited. A process group of its own, so that the event reaches corvidctl alone
  // (such a group ignores Ctrl+C until it enables it; Ctrl+Break, handled alike, always comes).
  AllocConsole();
  Follower follower(dir / "out.txt", {"log", "--file", log, "-n", "1", "--follow"},
                    CREATE_NEW_PROCESS_GROUP);
  ASSERT_TRUE(follower.started());
  const std::string expected = local_time(kWinter) + " first\n";
  ASSERT_EQ(follower.wait_for(expected), expected);
  if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, follower.pid())) {
    const DWORD code = GetLastError();
    // Wine 8 answers ERROR_INVALID_ACCESS without a terminal; see the manual check in the log.
    if (test::running_under_wine())
      GTEST_SKIP() << "Wine delivers no console event here: " << code;
    FAIL() << "GenerateConsoleCtrlEvent failed: " << code;
  }
  EXPECT_EQ(follower.exit_code(10s), std::optional<DWORD>(kOk));
}

}  // namespace
}  // namespace corvid
