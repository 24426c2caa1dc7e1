#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "log/log.h"
#include "log/log_platform.h"
#include "log_capture.h"

namespace corvid {
namespace {

using testing::LogCapture;
using testing::utf8_path;
using testing::utf8_text;

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

TEST(LogFormat, RawFiletimeCounter) {
  EXPECT_EQ(format_log_line(134410860000000000ull, "running in console mode"),
            "[SystemTime { intervals: 134410860000000000 }] running in console mode\n");
  EXPECT_EQ(format_log_line(0, ""), "[SystemTime { intervals: 0 }] \n");
}

TEST(LogFormat, FiletimeFollowsTheSystemClock) {
  const auto unix_seconds = std::chrono::duration_cast<std::chrono::seconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
  const std::uint64_t expected =
      (static_cast<std::uint64_t>(unix_seconds) + 11644473600ull) * 10000000ull;
  const std::uint64_t now = current_filetime();
  EXPECT_GE(now + 20000000ull, expected);
  EXPECT_LE(now, expected + 20000000ull);
}

TEST(LogLine, AppendsOneTimestampedLine) {
  LogCapture log;
  const std::uint64_t before = current_filetime();
  log_line("core started");
  const std::uint64_t after = current_filetime();
  const std::string text = log.text();
  ASSERT_TRUE(text.starts_with("[SystemTime { intervals: "));
  ASSERT_TRUE(text.ends_with("}] core started\n"));
  EXPECT_EQ(text.find('\r'), std::string::npos);
  const std::uint64_t stamp = std::stoull(text.substr(25));
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, after);
}

TEST(LogLine, MessagesAreWrittenUnchanged) {
  LogCapture log;
  log_line("restart failed: spawn core\n\nCaused by:\n    Access is denied. (os error 5)");
  log_line("caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(log.messages(),
            (std::vector<std::string>{"restart failed: spawn core", "",
                                      "Caused by:", "    Access is denied. (os error 5)",
                                      "caf\xC3\xA9 \xE2\x82\xAC"}));
  // Only the first line of a multi-line message carries a timestamp.
  const std::string text = log.text();
  std::size_t stamps = 0;
  for (std::size_t at = text.find("[SystemTime"); at != std::string::npos;
       at = text.find("[SystemTime", at + 1)) {
    ++stamps;
  }
  EXPECT_EQ(stamps, 2u);
}

TEST(LogLine, SecondInitKeepsTheFirstSink) {
  LogCapture log;
  const auto other = utf8_path(LogCapture::log_path()).parent_path() / "second";
  std::filesystem::create_directories(other);
  init_log(utf8_text(other));
  log_line("still the first file");
  EXPECT_EQ(log.messages(), std::vector<std::string>{"still the first file"});
  EXPECT_EQ(read_file(other / "corvid-helper.log"), "");
}

TEST(LogPlatform, OpeningKeepsWhatIsThere) {
  const auto dir = utf8_path(LogCapture::log_path()).parent_path() / "append";
  std::filesystem::create_directories(dir);
  const std::string path = log_platform::join_log_path(utf8_text(dir));
  { std::ofstream(utf8_path(path), std::ios::binary) << "earlier run\n"; }
  auto file = log_platform::open_append(path);
  ASSERT_TRUE(file.has_value());
  log_platform::write_all(*file, "next run\n");
  log_platform::close_file(*file);
  EXPECT_EQ(read_file(utf8_path(path)), "earlier run\nnext run\n");
  EXPECT_FALSE(log_platform::open_append(utf8_text(dir / "missing" / "x.log")).has_value());
}

TEST(ExeDir, IsTheDirectoryOfThisProgram) {
  const auto dir = exe_dir();
  ASSERT_TRUE(dir.has_value());
  const auto here = utf8_path(*dir);
  EXPECT_TRUE(std::filesystem::exists(here / "log_test") ||
              std::filesystem::exists(here / "log_test.exe"));
}

}  // namespace
}  // namespace corvid
