// What a client can put into the helper log through the pipe: the server on a thread of this
// process writing its real log file, driven by raw Win32 clients.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "channel/pipe_config.h"
#include "pipe_test_support.h"
#include "test_support_win.h"

namespace corvid {
namespace {

using namespace std::chrono_literals;
using test::HelperLog;
using test::RawPipeClient;
using test::ServerThread;

class PipeServerLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::wait_for_instance()) << "the server created no instance";
  }

  // Sends `line` and a line feed in messages of the server's read size; the server must drop
  // the connection without an answer and log one entry, which is returned with the number of
  // bytes the log grew by.
  static std::pair<std::string, std::size_t> rejected(const std::string& line) {
    const std::size_t mark = HelperLog::mark();
    std::optional<RawPipeClient> client = RawPipeClient::connect();
    EXPECT_TRUE(client.has_value()) << "cannot connect";
    if (!client)
      return {};
    const std::string sent = line + "\n";
    DWORD error = 0;
    for (std::size_t at = 0; at < sent.size() && error == 0; at += pipe_config::kReadChunk)
      error = client->write(std::string_view(sent).substr(at, pipe_config::kReadChunk), 30s);
    EXPECT_EQ(error, 0u);
    const test::PipeRead rest = client->read(30s);
    EXPECT_EQ(rest.bytes, "") << "a rejected request is not answered";
    EXPECT_TRUE(test::wait_for_instance(30s));
    const std::vector<std::string> entries = HelperLog::wait_for_entries(mark, 1, 30s);
    EXPECT_EQ(entries.size(), 1u);
    const std::size_t grown = HelperLog::mark() - mark;
    return {entries.empty() ? std::string() : entries[0], grown};
  }

  ServerThread server;
};

TEST_F(PipeServerLogTest, SixteenMebibytesOfMalformedRequestGrowTheLogByLessThanAKibibyte) {
  // The most a request line may hold, a configuration that never ends, with a secret past the
  // part the log shows.
  const std::string secret = "proxy-password-far-inside";
  std::string line = R"({"id":"big","action":"start","config":"proxies:)";
  line += std::string(pipe_config::kMaxRequestLine - line.size() - secret.size(), 'x') + secret;
  ASSERT_EQ(line.size(), pipe_config::kMaxRequestLine);

  const auto [entry, grown] = rejected(line);
  EXPECT_LT(grown, 1024u) << entry;
  const std::vector<std::string> lines = test::split_lines(entry);
  ASSERT_EQ(lines.size(), 4u) << entry;
  // Its first 256 bytes and its size.
  EXPECT_EQ(lines[0], "pipe handle error: invalid request: " + line.substr(0, 256) +
                          "\xE2\x80\xA6 (16777216 bytes)");
  EXPECT_EQ(lines[3], "    EOF while parsing a string at line 1 column 16777216");
  EXPECT_EQ(entry.find(secret), std::string::npos);
}

TEST_F(PipeServerLogTest, ALineWithLineBreakersLeavesOnePhysicalLine) {
  // The carriage return, an escape sequence that would move a console's cursor up, and a LINE
  // SEPARATOR, then what would pass for an entry of its own.
  const std::string line =
      "{\"id\":\"1\"\r\x1b[1A\xE2\x80\xA8[SystemTime { intervals: 1 }] core started";
  const auto [entry, grown] = rejected(line);
  const std::vector<std::string> lines = test::split_lines(entry);
  ASSERT_EQ(lines.size(), 4u) << entry;
  EXPECT_EQ(lines[0],
            "pipe handle error: invalid request: {\"id\":\"1\"\\u000d\\u001b[1A\\u2028"
            "[SystemTime { intervals: 1 }] core started");
  EXPECT_EQ(lines[3], "    expected `,` or `}` at line 1 column 11");
  // The raw bytes of the file: no carriage return, escape or separator anywhere.
  const std::string text = test::read_file(HelperLog::path()).value_or("");
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  EXPECT_EQ(text.find("\xE2\x80\xA8"), std::string::npos);
}

}  // namespace
}  // namespace corvid
