// The control pipe's fixed values, checked where no Windows header is at hand. What the access
// list grants is read back from the converted descriptor in the Windows tests.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "channel/pipe_config.h"

namespace corvid {
namespace {

namespace cfg = pipe_config;

std::string narrow(std::wstring_view wide) {
  std::string out;
  for (wchar_t c : wide) {
    EXPECT_LT(static_cast<unsigned>(c), 0x80u) << "ASCII only";
    out += static_cast<char>(c);
  }
  return out;
}

TEST(PipeConfig, TheNameIsTheLocalCorvidHelperPipe) {
  EXPECT_EQ(narrow(cfg::kPipeName), R"(\\.\pipe\corvid-helper)");
  EXPECT_EQ(cfg::kPipeNameUtf8, R"(\\.\pipe\corvid-helper)");
}

TEST(PipeConfig, ModesAreDuplexSynchronousMessagesForLocalClients) {
  // Synchronous handles (the I/O deadline cancels blocked calls). Only a creation while the
  // server holds no instance insists on being the first.
  EXPECT_EQ(cfg::kOpenMode, 0x3u);
  EXPECT_EQ(cfg::kFirstOpenMode, 0x3u | 0x00080000u);

  EXPECT_EQ(cfg::kPipeMode, 0x4u | 0x2u | 0x8u);
  EXPECT_NE(cfg::kPipeMode & cfg::kPipeTypeMessage, 0u);
  EXPECT_NE(cfg::kPipeMode & cfg::kPipeReadmodeMessage, 0u);
  EXPECT_NE(cfg::kPipeMode & cfg::kPipeRejectRemoteClients, 0u);
  EXPECT_EQ(cfg::kPipeMode & 0x1u, 0u) << "PIPE_NOWAIT: reads and connects must block";
}

TEST(PipeConfig, SizesAndTimes) {
  EXPECT_EQ(cfg::kMaxInstances, 4u);
  EXPECT_EQ(cfg::kOutBufferSize, 65536u);
  EXPECT_EQ(cfg::kInBufferSize, 65536u);
  EXPECT_EQ(cfg::kDefaultTimeout, 0u);
  EXPECT_EQ(cfg::kReadChunk, 4096u);
  EXPECT_LE(cfg::kReadChunk, cfg::kInBufferSize);
  EXPECT_EQ(cfg::kRequestTerminator, '\n');
  EXPECT_EQ(cfg::kMaxRequestLine, 16'777'216u);
  EXPECT_EQ(cfg::kAcceptRetryDelay.count(), 300);
  // Bounded, but far beyond what a local client needs to write a line or read an answer.
  EXPECT_EQ(cfg::kRequestTimeout.count(), 5000);
  EXPECT_EQ(cfg::kResponseTimeout.count(), 2000);
}

// The service runs with the defaults; the tests run shorter ones.
TEST(PipeConfig, TheServicesSettingsAreTheShippedValues) {
  const cfg::Settings shipped;
  EXPECT_EQ(narrow(shipped.name), R"(\\.\pipe\corvid-helper)");
  EXPECT_EQ(narrow(shipped.security_descriptor), "D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12019b;;;BU)");
  EXPECT_EQ(shipped.request_timeout.count(), 5000);
  EXPECT_EQ(shipped.response_timeout.count(), 2000);
  EXPECT_EQ(shipped.accept_retry_delay.count(), 300);
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  // A checkout with CRLF line ends (Git on Windows without .gitattributes) says the same thing.
  std::string text = out.str();
  std::erase_if(text, [](char c) { return c == '\r'; });
  return text;
}

// A client's author learns the deadlines from the README; it must say what the service does.
TEST(PipeConfig, TheReadmeStatesTheDeadlines) {
  const std::string readme = read_text(std::string(CORVID_SOURCE_DIR) + "/README.md");
  ASSERT_FALSE(readme.empty()) << "README.md not found beside the sources";
  // One sentence, folded as the README folds it.
  std::string text;
  for (const char c : readme)
    text += c == '\n' ? ' ' : c;
  EXPECT_NE(text.find("has not sent its whole request line within 5 s"), std::string::npos);
  EXPECT_NE(text.find("has not read its answer within 2 s"), std::string::npos);
}

TEST(PipeOwner, OnlyTheServiceAdministratorsOrTheCallersOwnOwnerAreTrusted) {
  constexpr std::string_view kUser = "S-1-5-21-1004336348-1177238915-682003330-1001";
  constexpr std::string_view kOtherUser = "S-1-5-21-1004336348-1177238915-682003330-1002";
  // Wine 8: every process's default owner is its primary group.
  constexpr std::string_view kWineOwner = "S-1-5-21-0-0-0-513";
  struct Case {
    std::string_view owner;
    std::string_view own_token_owner;
    bool trusted;
  };
  const Case cases[] = {
      {"S-1-5-18", kUser, true},      // LocalSystem: the service
      {"S-1-5-32-544", kUser, true},  // Administrators: an elevated console-mode helper
      {"S-1-5-32-544", "S-1-5-32-544", true},
      {kUser, kUser, true},  // a pipe the caller could have made itself
      {kWineOwner, kWineOwner, true},
      {kOtherUser, kUser, false},      // another user's pipe
      {"S-1-5-32-545", kUser, false},  // Users
      {"S-1-1-0", kUser, false},       // Everyone
      {"S-1-5-19", kUser, false},      // LocalService
      {"S-1-5-20", kUser, false},      // NetworkService
      {"S-1-5-21-0-0-0-1000", kWineOwner, false},
      {"S-1-5-18-1", kUser, false},  // no prefix match
      {"S-1-5-1", kUser, false},
      {"s-1-5-18", kUser, false},  // the system writes SIDs with a capital S
      {"", kUser, false},          // unknown owner
      {"", "", false},
      {kUser, "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(cfg::pipe_owner_trusted(c.owner, c.own_token_owner), c.trusted)
        << "owner " << c.owner << ", caller's owner " << c.own_token_owner;
  }
}

}  // namespace
}  // namespace corvid
