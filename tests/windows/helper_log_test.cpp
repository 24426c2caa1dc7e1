// The helper log under Windows, driven in child processes (the sink is set once per process).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "common/exe_dir.h"
#include "common/utf.h"
#include "log/log.h"
#include "win_test_support.h"

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

TEST_F(HelperLogTest, MessagesAreStoredUnchangedAsUtf8) {
  const std::vector<std::string> messages = {
      "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x99\x82 \xE2\x9C\x93",
      "tabs\tand \"quotes\" and a\\backslash",
      "",
  };
  std::vector<std::string> steps = {"init", root.path()};
  for (const std::string& message : messages) {
    steps.push_back("line");
    steps.push_back(message);
  }
  const std::uint64_t before = test::filetime_now();
  const test::ProgramResult result = write(steps);
  const std::uint64_t after = test::filetime_now();
  const std::optional<std::string> text = test::read_file(log_file(root.path()));
  ASSERT_TRUE(text.has_value());
  expect_lines(*text, messages, before, after);
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
