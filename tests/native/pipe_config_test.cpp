// What the README tells a client's author about the pipe, checked against the values the service
// ships, and which owners of the pipe a client trusts. What the access list grants, the modes and
// the sizes are read back from a real pipe in the Windows tests.
#include <gtest/gtest.h>

#include <cstdint>
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

// No judge of its own: the service takes its clients for what their tokens say.
TEST(PipeConfig, TheServiceJudgesClientsByTheirTokens) {
  EXPECT_FALSE(cfg::Settings{}.judge_client);
}

// Users read and write the ordinary way (FILE_GENERIC_READ | FILE_GENERIC_WRITE) and get nothing
// beyond it; the Windows tests read the converted descriptor back.
TEST(PipeConfig, TheAccessListGrantsUsersReadingAndWritingOnly) {
  constexpr std::uint32_t kFileGenericRead = 0x120089;
  constexpr std::uint32_t kFileGenericWrite = 0x120116;
  EXPECT_EQ(cfg::kUsersAccess, kFileGenericRead | kFileGenericWrite);
  std::ostringstream users;
  users << "(A;;0x" << std::hex << cfg::kUsersAccess << ";;;BU)";
  EXPECT_EQ(narrow(cfg::kSecurityDescriptor), "D:(A;;GA;;;SY)(A;;GA;;;BA)" + users.str());
  // Until the server holds every instance, the same without FILE_CREATE_PIPE_INSTANCE (0x4).
  std::ostringstream filling;
  filling << "(A;;0x" << std::hex << (cfg::kUsersAccess & ~0x4u) << ";;;BU)";
  EXPECT_EQ(narrow(cfg::kFillingSecurityDescriptor), "D:(A;;GA;;;SY)(A;;GA;;;BA)" + filling.str());
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

// The README, folded into one line as it folds its sentences.
std::string readme_text() {
  const std::string readme = read_text(std::string(CORVID_SOURCE_DIR) + "/README.md");
  EXPECT_FALSE(readme.empty()) << "README.md not found beside the sources";
  std::string text;
  for (const char c : readme)
    text += c == '\n' ? ' ' : c;
  return text;
}

std::string seconds(std::chrono::milliseconds time) {
  EXPECT_EQ(time.count() % 1000, 0) << "the README gives whole seconds";
  return std::to_string(time.count() / 1000) + " s";
}

// A client's author learns the pipe and its deadlines from the README; it must say what the
// service does.
TEST(PipeConfig, TheReadmeStatesTheDeadlines) {
  const std::string text = readme_text();
  EXPECT_NE(
      text.find("has not sent its whole request line within " + seconds(cfg::kRequestTimeout)),
      std::string::npos);
  EXPECT_NE(text.find("has not read its answer within " + seconds(cfg::kResponseTimeout)),
            std::string::npos);
  // The service runs with the same ones.
  const cfg::Settings shipped;
  EXPECT_EQ(shipped.request_timeout, cfg::kRequestTimeout);
  EXPECT_EQ(shipped.response_timeout, cfg::kResponseTimeout);
}

TEST(PipeConfig, TheReadmeNamesThePipe) {
  EXPECT_EQ(narrow(cfg::kPipeName), cfg::kPipeNameUtf8);
  EXPECT_NE(readme_text().find("`" + std::string(cfg::kPipeNameUtf8) + "`"), std::string::npos);
  EXPECT_EQ(narrow(cfg::Settings{}.name), cfg::kPipeNameUtf8);
}

TEST(PipeServer, WhileTheServiceRunsOnlyItsProcessIsTrusted) {
  struct Case {
    std::uint32_t server_pid;
    cfg::ServiceProcess service;
    bool trusted;
  };
  const Case cases[] = {
      {4321, {.process_id = 4321}, true},   // the service's own pipe
      {1234, {.process_id = 4321}, false},  // another process beside or in place of it
      {0, {.process_id = 4321}, false},     // a server that cannot be told
      {1234, {.process_id = 0}, true},      // no service process: the owner rule decides
      {0, {.process_id = 0}, true},
      {4321, {.known = false, .process_id = 4321}, false},  // the SCM could not tell
      {1234, {.known = false}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(cfg::pipe_server_trusted(c.server_pid, c.service), c.trusted)
        << "server " << c.server_pid << ", service " << c.service.process_id
        << (c.service.known ? "" : " (unknown)");
  }
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
