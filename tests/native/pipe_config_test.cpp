// The control pipe's fixed values, checked where no Windows header is at hand.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

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

TEST(PipeConfig, TheAccessListGrantsFullAccessToSystemAdministratorsAndUsersOnly) {
  const std::string sddl = narrow(cfg::kSecurityDescriptor);
  EXPECT_EQ(sddl, "D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;BU)");

  // Only a DACL: no owner, group or SACL part, no inheritance or protection flags.
  ASSERT_EQ(sddl.rfind("D:(", 0), 0u);
  const std::regex ace(R"(\(([^;()]*);([^;()]*);([^;()]*);([^;()]*);([^;()]*);([^;()]*)\))");
  std::vector<std::string> trustees;
  std::string rest = sddl.substr(2);
  std::smatch match;
  while (std::regex_search(rest, match, ace)) {
    EXPECT_EQ(match.position(0), 0) << "unexpected text before " << match.str(0);
    EXPECT_EQ(match.str(1), "A") << "allow entries only";
    EXPECT_EQ(match.str(2), "") << "no inheritance flags";
    EXPECT_EQ(match.str(3), "GA");
    EXPECT_EQ(match.str(4), "");
    EXPECT_EQ(match.str(5), "");
    trustees.push_back(match.str(6));
    rest = match.suffix();
  }
  EXPECT_EQ(rest, "");
  EXPECT_EQ(trustees, (std::vector<std::string>{"SY", "BA", "BU"}));
  EXPECT_EQ(cfg::kSddlRevision, 1u);
}

TEST(PipeConfig, ModesAreDuplexSynchronousMessagesForLocalClients) {
  EXPECT_EQ(cfg::kPipeAccessDuplex, 0x3u);
  // Synchronous handle (the I/O deadline cancels blocked calls); not bound to a first instance,
  // so a restarted service can create the pipe again at once.
  EXPECT_EQ(cfg::kOpenMode, 0x3u);
  EXPECT_EQ(cfg::kOpenMode & cfg::kFileFlagOverlapped, 0u);
  EXPECT_EQ(cfg::kOpenMode & cfg::kFileFlagFirstPipeInstance, 0u);

  EXPECT_EQ(cfg::kPipeMode, 0x4u | 0x2u | 0x8u);
  EXPECT_NE(cfg::kPipeMode & cfg::kPipeTypeMessage, 0u);
  EXPECT_NE(cfg::kPipeMode & cfg::kPipeReadmodeMessage, 0u);
  EXPECT_NE(cfg::kPipeMode & cfg::kPipeRejectRemoteClients, 0u);
  EXPECT_EQ(cfg::kPipeMode & cfg::kPipeNowait, 0u) << "reads and connects block";
}

TEST(PipeConfig, SizesAndTimes) {
  EXPECT_EQ(cfg::kMaxInstances, 4u);
  EXPECT_EQ(cfg::kOutBufferSize, 65536u);
  EXPECT_EQ(cfg::kInBufferSize, 65536u);
  EXPECT_EQ(cfg::kDefaultTimeout, 0u);
  EXPECT_EQ(cfg::kReadChunk, 4096u);
  EXPECT_LE(cfg::kReadChunk, cfg::kInBufferSize);
  EXPECT_EQ(cfg::kRequestTerminator, '\n');
  EXPECT_EQ(cfg::kAcceptRetryDelay.count(), 300);
  // Bounded, but far beyond what a local client needs to write a line or read an answer.
  EXPECT_GE(cfg::kRequestTimeout.count(), 1000);
  EXPECT_LE(cfg::kRequestTimeout.count(), 30000);
  EXPECT_GE(cfg::kResponseTimeout.count(), 1000);
  EXPECT_LE(cfg::kResponseTimeout.count(), 30000);
  EXPECT_EQ(cfg::kFatalMarker, "security descriptor init failed");
}

}  // namespace
}  // namespace corvid
