// The helper log under Windows, driven in child processes (the sink is set once per process).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/exe_dir.h"
#include "common/handle_win.h"
#include "common/utf.h"
#include "log/log.h"
#include "test_support_win.h"

namespace corvid {
namespace {

using test::TempDir;

struct ParsedLine {
  std::uint64_t intervals = 0;
  std::string message;
};

// "[SystemTime { intervals: N }] message", N in decimal without leading zeros.
std::optional<ParsedLine> parse_line(const std::string& line) {
  const std::string head = "[SystemTime { intervals: ";
  const std::string tail = " }] ";
  if (line.rfind(head, 0) != 0)
    return std::nullopt;
  std::size_t pos = head.size();
  const std::size_t digits_end = line.find_first_not_of("0123456789", pos);
  if (digits_end == std::string::npos || digits_end == pos)
    return std::nullopt;
  const std::string digits = line.substr(pos, digits_end - pos);
  if (digits.size() > 1 && digits[0] == '0')
    return std::nullopt;
  if (line.compare(digits_end, tail.size(), tail) != 0)
    return std::nullopt;
  return ParsedLine{std::stoull(digits), line.substr(digits_end + tail.size())};
}

std::string log_file(const std::string& dir) {
  return dir + "\\corvid-helper.log";
}

class HelperLogTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(root.path().empty()); }

  // Runs the log writer with the given steps; it must succeed.
  test::ProgramResult write(const std::vector<std::string>& steps) {
    test::ProgramResult result = test::run_program(writer, steps);
    EXPECT_TRUE(result.started) << result.start_error;
    EXPECT_EQ(result.exit_code, 0u) << result.err;
    return result;
  }

  // Expects `text` to hold exactly these messages, each timestamped within [after, before].
  static void expect_lines(const std::string& text, const std::vector<std::string>& messages,
                           std::uint64_t after, std::uint64_t before) {
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\r'), std::string::npos);
    const std::vector<std::string> lines = test::split_lines(text);
    ASSERT_EQ(lines.size(), messages.size()) << text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const std::optional<ParsedLine> parsed = parse_line(lines[i]);
      ASSERT_TRUE(parsed.has_value()) << lines[i];
      EXPECT_EQ(parsed->message, messages[i]);
      EXPECT_GE(parsed->intervals, after);
      EXPECT_LE(parsed->intervals, before);
    }
  }

  TempDir root{"corvid log"};
  std::string writer = test::built_program("corvid_log_writer.exe");
};

TEST_F(HelperLogTest, CreatesTheFileAndAppendsAcrossRuns) {
  const std::string dir = root / "install dir";
  ASSERT_TRUE(test::make_directory(dir));

  const std::uint64_t t0 = test::filetime_now();
  write({"init", dir, "line", "first run"});
  const std::uint64_t t1 = test::filetime_now();
  const std::optional<std::string> after_first = test::read_file(log_file(dir));
  ASSERT_TRUE(after_first.has_value()) << "the first init_log creates the file";
  expect_lines(*after_first, {"first run"}, t0, t1);

  write({"init", dir, "line", "second run", "line", "second run, again"});
  const std::uint64_t t2 = test::filetime_now();
  const std::optional<std::string> after_second = test::read_file(log_file(dir));
  ASSERT_TRUE(after_second.has_value());
  ASSERT_TRUE(after_second->starts_with(*after_first)) << "earlier lines must be kept";
  expect_lines(after_second->substr(after_first->size()), {"second run", "second run, again"}, t1,
               t2);
}

TEST_F(HelperLogTest, AppendsToAFileLeftByAnEarlierRun) {
  const std::string dir = root.path();
  const std::string earlier = "a line from before\nand a longer second line that must stay whole\n";
  ASSERT_TRUE(test::write_file(log_file(dir), earlier));
  const std::uint64_t before = test::filetime_now();
  write({"init", dir, "line", "x"});
  const std::uint64_t after = test::filetime_now();
  const std::optional<std::string> text = test::read_file(log_file(dir));
  ASSERT_TRUE(text.has_value());
  ASSERT_TRUE(text->starts_with(earlier)) << *text;
  expect_lines(text->substr(earlier.size()), {"x"}, before, after);
}

TEST_F(HelperLogTest, MessagesAreStoredAsUtf8WithLineBreakersEscaped) {
  struct Case {
    std::string message;
    std::string written;
  };
  const Case cases[] = {
      {"caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x99\x82 \xE2\x9C\x93",
       "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x99\x82 \xE2\x9C\x93"},
      {"\"quotes\" and a\\backslash", "\"quotes\" and a\\backslash"},
      {"", ""},
      // What would rewrite a console line or forge an entry: escaped in the file and the echo.
      {"tabs\tand a cr\rhere", "tabs\\u0009and a cr\\u000dhere"},
      {"\x1b[2J\x1b[1;31mred", "\\u001b[2J\\u001b[1;31mred"},
      {"ls\xE2\x80\xA8ps\xE2\x80\xA9nel\xC2\x85"
       "del\x7F",
       "ls\\u2028ps\\u2029nel\\u0085del\\u007f"},
  };
  std::vector<std::string> steps = {"init", root.path()};
  std::vector<std::string> written;
  for (const Case& c : cases) {
    steps.push_back("line");
    steps.push_back(c.message);
    written.push_back(c.written);
  }
  const std::uint64_t before = test::filetime_now();
  const test::ProgramResult result = write(steps);
  const std::uint64_t after = test::filetime_now();
  const std::optional<std::string> text = test::read_file(log_file(root.path()));
  ASSERT_TRUE(text.has_value());
  expect_lines(*text, written, before, after);
  EXPECT_EQ(result.err, *text) << "standard error echoes every line";
}

TEST_F(HelperLogTest, ATwoLineMessageHasOneTimestamp) {
  write({"init", root.path(), "line", "failed\n\nCaused by:\n    why", "line", "next"});
  const std::optional<std::string> text = test::read_file(log_file(root.path()));
  ASSERT_TRUE(text.has_value());
  const std::vector<std::string> lines = test::split_lines(*text);
  ASSERT_EQ(lines.size(), 5u) << *text;
  const std::optional<ParsedLine> first = parse_line(lines[0]);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->message, "failed");
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[2], "Caused by:");
  EXPECT_EQ(lines[3], "    why");
  ASSERT_TRUE(parse_line(lines[4]).has_value());
  EXPECT_EQ(parse_line(lines[4])->message, "next");
}

TEST_F(HelperLogTest, SecondInitKeepsTheFirstSink) {
  const std::string first = root / "first";
  const std::string second = root / "second";
  ASSERT_TRUE(test::make_directory(first));
  ASSERT_TRUE(test::make_directory(second));
  const test::ProgramResult result = write({"init", first, "init", second, "line", "to the first",
                                            "probe", log_file(first), "probe", log_file(second)});
  const std::optional<std::string> first_text = test::read_file(log_file(first));
  ASSERT_TRUE(first_text.has_value());
  ASSERT_EQ(test::split_lines(*first_text).size(), 1u);
  EXPECT_EQ(parse_line(test::split_lines(*first_text)[0])->message, "to the first");
  // The second open creates its file, gets no line and closes its handle at once.
  EXPECT_EQ(test::read_file(log_file(second)), "");
  EXPECT_EQ(result.out, "held\nfree\n");
}

TEST_F(HelperLogTest, WithoutAFileLinesGoToStandardErrorOnly) {
  struct Case {
    const char* name;
    std::string dir;
  };
  ASSERT_TRUE(test::write_file(root / "plain file", "x"));
  const std::vector<Case> cases = {
      {"missing directory", root / "missing\\below"},
      {"below a file", root / "plain file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::uint64_t before = test::filetime_now();
    const test::ProgramResult result = write({"init", c.dir, "line", "one", "line", "two"});
    const std::uint64_t after = test::filetime_now();
    expect_lines(result.err, {"one", "two"}, before, after);
    EXPECT_FALSE(test::is_file(log_file(c.dir)));
  }
  EXPECT_FALSE(test::is_directory(root / "missing"));
}

TEST_F(HelperLogTest, LinesBeforeInitGoToStandardErrorOnly) {
  const test::ProgramResult result =
      write({"line", "too early", "init", root.path(), "line", "in time"});
  const std::optional<std::string> text = test::read_file(log_file(root.path()));
  ASSERT_TRUE(text.has_value());
  ASSERT_EQ(test::split_lines(*text).size(), 1u);
  EXPECT_EQ(parse_line(test::split_lines(*text)[0])->message, "in time");
  const std::vector<std::string> echoed = test::split_lines(result.err);
  ASSERT_EQ(echoed.size(), 2u);
  EXPECT_EQ(parse_line(echoed[0])->message, "too early");
  EXPECT_EQ(echoed[1], test::split_lines(*text)[0]);
}

TEST_F(HelperLogTest, TwoProcessesAppendWholeLinesToOneFile) {
  // Windows appends through an append-only handle atomically. Wine emulates it by reading the
  // file size and writing there, so two processes racing can overwrite each other's lines.
  if (test::running_under_wine())
    GTEST_SKIP() << "appends are not atomic across processes in Wine";
  constexpr int kLines = 200;
  const std::string dir = root.path();
  std::vector<std::thread> runs;
  for (const char* name : {"alpha", "beta"}) {
    runs.emplace_back([&, name] { write({"init", dir, "lines", std::to_string(kLines), name}); });
  }
  for (std::thread& run : runs)
    run.join();

  const std::optional<std::string> text = test::read_file(log_file(dir));
  ASSERT_TRUE(text.has_value());
  std::vector<std::string> messages;
  for (const std::string& line : test::split_lines(*text)) {
    const std::optional<ParsedLine> parsed = parse_line(line);
    ASSERT_TRUE(parsed.has_value()) << line;
    messages.push_back(parsed->message);
  }
  std::vector<std::string> expected;
  for (const char* name : {"alpha", "beta"}) {
    for (int i = 0; i < kLines; ++i)
      expected.push_back(std::string(name) + " " + std::to_string(i));
  }
  std::sort(messages.begin(), messages.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(messages, expected);
}

// The messages of a log file's entries, each checked to be one whole line of the format.
std::vector<std::string> messages_in(const std::string& path) {
  std::vector<std::string> out;
  for (const std::string& line : test::split_lines(test::read_file(path).value_or(""))) {
    const std::optional<ParsedLine> parsed = parse_line(line);
    EXPECT_TRUE(parsed.has_value()) << "a split or mixed entry: " << line;
    if (parsed)
      out.push_back(parsed->message);
  }
  return out;
}

std::uint64_t file_size(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(to_wide(path).c_str(), GetFileExInfoStandard, &data))
    return 0;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// A message that makes an entry of exactly 100 bytes (the timestamp has 18 digits until 2286).
std::string hundred_byte_message(const std::string& name) {
  constexpr std::size_t kFrame = 47 + 1;  // "[SystemTime { intervals: N }] " and the line feed
  return name + std::string(100 - kFrame - name.size(), '.');
}

TEST_F(HelperLogTest, TheLogRotatesAtItsLimitKeepingOneRotatedFile) {
  const std::string dir = root.path();
  // A rotated file from an earlier run is replaced.
  ASSERT_TRUE(test::write_file(log_file(dir) + ".1", "older\n"));
  std::vector<std::string> steps = {"init-limit", dir, "1000"};
  std::vector<std::string> all;
  for (int i = 0; i < 35; ++i) {
    all.push_back(hundred_byte_message("entry " + std::to_string(100 + i)));
    steps.push_back("line");
    steps.push_back(all.back());
  }
  write(steps);
  // 35 entries of 100 bytes, 10 to a file: the last 5 in the log, the 10 before them in .1.
  EXPECT_EQ(messages_in(log_file(dir)), std::vector<std::string>(all.begin() + 30, all.end()));
  EXPECT_EQ(messages_in(log_file(dir) + ".1"),
            std::vector<std::string>(all.begin() + 20, all.begin() + 30));
  EXPECT_EQ(file_size(log_file(dir) + ".1"), 1000u);
  EXPECT_FALSE(test::is_file(log_file(dir) + ".2"));
}

// A reader that holds the log without sharing delete (as a plain `Get-Content -Wait` does) blocks
// every rotation: the file must still not grow past twice the limit, and the entries it could not
// take are counted once the reader lets go.
TEST_F(HelperLogTest, AReaderThatBlocksRotationCannotMakeTheLogGrowForEver) {
  const std::string dir = root.path();
  const std::string turns = root / "turns";
  ASSERT_TRUE(test::make_directory(turns));
  WinHandle reader(CreateFileW(to_wide(log_file(dir)).c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0,
                               nullptr));
  ASSERT_TRUE(reader.valid());
  // Three limits' worth of 100-byte entries: 20 fit below twice the limit, 10 do not.
  std::vector<std::string> steps = {"init-limit", dir, "1000"};
  std::vector<std::string> all;
  for (int i = 0; i < 30; ++i) {
    all.push_back(hundred_byte_message("held " + std::to_string(100 + i)));
    steps.insert(steps.end(), {"line", all.back()});
  }
  steps.insert(steps.end(),
               {"signal", turns + "\\written", "await", turns + "\\released", "line", "after"});
  test::ProgramResult result;
  std::thread writer([&] { result = write(steps); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!test::is_file(turns + "\\written") && std::chrono::steady_clock::now() < deadline)
    Sleep(20);
  EXPECT_LT(file_size(log_file(dir)), 2000u + 100u);
  EXPECT_EQ(messages_in(log_file(dir)), std::vector<std::string>(all.begin(), all.begin() + 20));
  EXPECT_FALSE(test::is_file(log_file(dir) + ".1"));

  reader.reset();
  ASSERT_TRUE(test::write_file(turns + "\\released", ""));
  writer.join();
  EXPECT_EQ(messages_in(log_file(dir) + ".1"),
            std::vector<std::string>(all.begin(), all.begin() + 20));
  EXPECT_EQ(messages_in(log_file(dir)),
            (std::vector<std::string>{"log: 10 entries dropped while the log could not be rotated",
                                      "after"}));
  // Standard error lost nothing.
  all.push_back("after");
  std::vector<std::string> echoed;
  for (const test::LogEntry& entry : test::parse_log(result.err))
    echoed.push_back(entry.message);
  EXPECT_EQ(echoed, all);
}

// The service and a console-mode helper on one log, taking turns so that Wine's non-atomic
// appends cannot mix them: each holds its file across the other's rotation and must follow it.
TEST_F(HelperLogTest, TwoProcessesFollowEachOthersRotation) {
  const std::string dir = root.path();
  const std::string turns = root / "turns";
  ASSERT_TRUE(test::make_directory(turns));
  // 100-byte entries, 15 to a file; turns of 6: the first writer's third turn crosses the limit.
  const auto turn = [&](const std::string& name, int number, std::vector<std::string>& steps,
                        std::vector<std::string>& expected) {
    for (int i = 0; i < 6; ++i) {
      expected.push_back(
          hundred_byte_message(name + std::to_string(number) + " " + std::to_string(i)));
      steps.push_back("line");
      steps.push_back(expected.back());
    }
  };
  std::vector<std::string> expected;
  std::vector<std::string> service = {"init-limit", dir, "1500"};
  std::vector<std::string> console = {"init-limit", dir, "1500", "await", turns + "\\a0"};
  // Written in this order, strictly one after the other.
  std::vector<std::string> order[5];
  turn("service", 0, service, order[0]);
  service.insert(service.end(), {"signal", turns + "\\a0", "await", turns + "\\b0"});
  turn("console", 0, console, order[1]);
  console.insert(console.end(), {"signal", turns + "\\b0", "await", turns + "\\a1"});
  turn("service", 1, service, order[2]);
  service.insert(service.end(), {"signal", turns + "\\a1", "await", turns + "\\b1"});
  turn("console", 1, console, order[3]);
  console.insert(console.end(), {"signal", turns + "\\b1"});
  turn("service", 2, service, order[4]);
  for (const std::vector<std::string>& part : order)
    expected.insert(expected.end(), part.begin(), part.end());

  std::thread other([&] { write(console); });
  write(service);
  other.join();

  std::vector<std::string> kept = messages_in(log_file(dir) + ".1");
  const std::vector<std::string> current = messages_in(log_file(dir));
  EXPECT_EQ(kept.size(), 15u) << "one rotation, when the 16th entry came";
  kept.insert(kept.end(), current.begin(), current.end());
  // Nothing lost, nothing split, and the console's second turn in the new file after the
  // service's rotation, not at the end of the rotated one.
  EXPECT_EQ(kept, expected);
  EXPECT_LE(file_size(log_file(dir)), 1500u);
}

TEST_F(HelperLogTest, TwoProcessesAppendingAtOnceAcrossTheSwitchLoseNothing) {
  // As for TwoProcessesAppendWholeLinesToOneFile: Wine's appends are not atomic across processes.
  if (test::running_under_wine())
    GTEST_SKIP() << "appends are not atomic across processes in Wine";
  constexpr int kLines = 400;
  // About 57 bytes an entry, 45 KB in all: one rotation.
  constexpr std::uint64_t kLimit = 30000;
  const std::string dir = root.path();
  std::vector<std::thread> runs;
  for (const char* name : {"alpha", "beta"}) {
    runs.emplace_back([&, name] {
      write({"init-limit", dir, std::to_string(kLimit), "lines", std::to_string(kLines), name});
    });
  }
  for (std::thread& run : runs)
    run.join();

  std::vector<std::string> all = messages_in(log_file(dir) + ".1");
  ASSERT_FALSE(all.empty()) << "no rotation";
  const std::vector<std::string> current = messages_in(log_file(dir));
  all.insert(all.end(), current.begin(), current.end());
  // Each writer's entries once and in its order (one written at the moment of the switch may end
  // the rotated file, still before that writer's next).
  std::map<std::string, int> next;
  for (const std::string& message : all) {
    const std::size_t blank = message.find(' ');
    const std::string name = message.substr(0, blank);
    EXPECT_EQ(std::stoi(message.substr(blank + 1)), next[name]) << message;
    next[name] = std::stoi(message.substr(blank + 1)) + 1;
  }
  EXPECT_EQ(next["alpha"], kLines);
  EXPECT_EQ(next["beta"], kLines);
  EXPECT_LE(file_size(log_file(dir) + ".1"), kLimit + 200);
}

TEST_F(HelperLogTest, ExeDirIsTheDirectoryOfTheProgram) {
  // A copy in a directory of our choosing, with blanks and non-ASCII in its name.
  const std::string dir = root / "exe dir \xC3\xA9\xE2\x9C\x93";
  ASSERT_TRUE(test::make_directory(dir));
  const std::string copy = dir + "\\log writer.exe";
  ASSERT_TRUE(CopyFileW(to_wide(writer).c_str(), to_wide(copy).c_str(), FALSE));

  const test::ProgramResult result =
      test::run_program(copy, {"print-exe-dir", "init-exe-dir", "line", "beside the program"});
  ASSERT_TRUE(result.started) << result.start_error;
  EXPECT_EQ(result.exit_code, 0u) << result.err;
  EXPECT_EQ(result.out, dir + "\n");
  const std::optional<std::string> text = test::read_file(log_file(dir));
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(parse_line(test::split_lines(*text).at(0))->message, "beside the program");

  EXPECT_EQ(exe_dir(), test::test_exe_dir());
}

}  // namespace
}  // namespace corvid
