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

TEST(PipeConfig, TheAccessListGrantsFullAccessAndKeepsInstancesToLocalSystem) {
  const std::string sddl = narrow(cfg::kSecurityDescriptor);
  EXPECT_EQ(sddl, "D:(A;;GA;;;SY)(D;;0x4;;;WD)(A;;GA;;;BA)(A;;GA;;;BU)");

  // Only a DACL: no owner, group or SACL part, no inheritance or protection flags.
  ASSERT_EQ(sddl.rfind("D:(", 0), 0u);
  const std::regex ace(R"(\(([^;()]*);([^;()]*);([^;()]*);([^;()]*);([^;()]*);([^;()]*)\))");
  struct Entry {
    std::string type, rights, trustee;
    bool operator==(const Entry&) const = default;
  };
  std::vector<Entry> entries;
  std::string rest = sddl.substr(2);
  std::smatch match;
  while (std::regex_search(rest, match, ace)) {
    EXPECT_EQ(match.position(0), 0) << "unexpected text before " << match.str(0);
    EXPECT_EQ(match.str(2), "") << "no inheritance flags";
    EXPECT_EQ(match.str(4), "");
    EXPECT_EQ(match.str(5), "");
    entries.push_back({match.str(1), match.str(3), match.str(6)});
    rest = match.suffix();
  }
  EXPECT_EQ(rest, "");
  // Access entries are read in order: LocalSystem's grant comes before the deny of
  // FILE_CREATE_PIPE_INSTANCE to Everyone, which comes before the other grants.
  EXPECT_EQ(entries,
            (std::vector<Entry>{
                {"A", "GA", "SY"}, {"D", "0x4", "WD"}, {"A", "GA", "BA"}, {"A", "GA", "BU"}}));
  EXPECT_EQ(cfg::kSddlRevision, 1u);
}

TEST(PipeConfig, ModesAreDuplexSynchronousMessagesForLocalClients) {
  EXPECT_EQ(cfg::kPipeAccessDuplex, 0x3u);
  // Synchronous handle (the I/O deadline cancels blocked calls); always the first instance, so
  // the service never joins a pipe that someone else created under its name.
  EXPECT_EQ(cfg::kOpenMode, 0x3u | 0x00080000u);
  EXPECT_EQ(cfg::kOpenMode & cfg::kFileFlagOverlapped, 0u);
  EXPECT_NE(cfg::kOpenMode & cfg::kFileFlagFirstPipeInstance, 0u);

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
