// corvidctl's output where scripts read it: --json, and any standard output that is not a
// console, get the response line exactly as received, with the exit codes as before. (The words
// a console gets are tested as pure functions: Wine 8 gives a child process no console whose
// mode can be read, not even a pseudo console, so only real Windows shows that path end to end.)
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host_support.h"
#include "pipe_test_support.h"
#include "test_support_win.h"

namespace corvid {
namespace {

using namespace std::chrono_literals;
using test::corvidctl;
using test::describe;
using test::ProgramResult;

using namespace test::exit_status;

class CorvidctlOutputTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(test::wait_for_instance()); }
  test::ServerThread server;
};

TEST_F(CorvidctlOutputTest, JsonPrintsTheLineAsReceivedWhereverItIsGiven) {
  test::TempDir empty("corvidctl json");
  struct Case {
    std::vector<std::string> args;
    DWORD exit_code;
    std::string out;
  };
  const Case cases[] = {
      {{"--json", "ping", "--id", "7"},
       kOk,
       R"({"id":"7","ok":true,"error":null,"data":{"pong":true}})"
       "\n"},
      {{"ping", "--json", "--id=8"},
       kOk,
       R"({"id":"8","ok":true,"error":null,"data":{"pong":true}})"
       "\n"},
      {{"status", "--json"},
       kOk,
       R"({"id":null,"ok":true,"error":null,"data":{"pid":null,"running":false}})"
       "\n"},
      {{"--json", "stop", "--json"},
       kOk,
       R"({"id":null,"ok":true,"error":null,"data":null})"
       "\n"},
      {{"--json", "send", R"({"id":"x","action":"PING"})"},
       kNotOk,
       R"({"id":"x","ok":false,"error":"unknown action","data":null})"
       "\n"},
      {{"start", "--json", "--core-path", empty / "none.exe"},
       kNotOk,
       R"({"id":null,"ok":false,"error":)" +
           nlohmann::json("core not found: " + empty / "none.exe").dump() + R"(,"data":null})" +
           "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(describe(c.args));
    const ProgramResult result = corvidctl(c.args);
    EXPECT_EQ(result.exit_code, c.exit_code) << result.err;
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, "");
  }
}

TEST(CorvidctlUsageTest, JsonInThePlaceOfALineOrAloneIsABadCommandLine) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--json"}, "corvidctl: no command given (try corvidctl --help)\n"},
      {{"--json", "--json", "ping"}, "corvidctl: unknown command: --json (try corvidctl --help)\n"},
      {{"send", "{}", "--json"}, "corvidctl: send takes exactly one argument, the line to send\n"},
  };
  for (const auto& [args, err] : cases) {
    SCOPED_TRACE(describe(args));
    const ProgramResult result = corvidctl(args);
    EXPECT_EQ(result.exit_code, kUsage);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, err);
  }
}

TEST(CorvidctlUsageTest, HelpDescribesTheOutputAndTheLog) {
  const ProgramResult result = corvidctl({"--help"});
  EXPECT_EQ(result.exit_code, kOk);
  for (const char* text : {"--json", "corvidctl log [-n N] [--follow] [--utc] [--file PATH]",
                           "\"core running, pid N\"", "\"core not running\"", "default 20",
                           "corvid-helper.log", "corvid-helper.log.1", "--utc"}) {
    EXPECT_NE(result.out.find(text), std::string::npos) << text;
  }
}

// Each status means one thing, and the help and docs/protocol.md say which, under its number.
TEST(CorvidctlUsageTest, HelpAndTheProtocolPageListEachExitStatus) {
  struct Status {
    DWORD code;
    const char* help;
    const char* doc;
  };
  const Status statuses[] = {
      {kOk, "  0  the response says \"ok\": true", "| 0 | the response says `\"ok\": true`"},
      {kNotOk, "  1  the helper refused", "| 1 | the helper refused"},
      {kNoAnswer, "  2  no helper answers", "| 2 | no helper answers"},
      {kUsage, "  3  a bad command line", "| 3 | a bad command line"},
      {kUntrusted, "  4  the pipe is not the helper's", "| 4 | the pipe is not the helper's"},
      {kDoctorFailed, "  5  doctor: at least one check failed", "| 5 | `doctor`: at least one"},
  };
  const ProgramResult help = corvidctl({"--help"});
  std::ifstream file("protocol.md", std::ios::binary);
  const std::string doc((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(doc.empty()) << "protocol.md is not beside the test program";
  std::set<DWORD> codes;
  for (const Status& status : statuses) {
    SCOPED_TRACE(status.help);
    EXPECT_TRUE(codes.insert(status.code).second) << "two meanings share " << status.code;
    EXPECT_NE(help.out.find(status.help), std::string::npos);
    EXPECT_NE(doc.find(status.doc), std::string::npos);
    EXPECT_EQ(std::string(status.help).substr(2, 1), std::to_string(status.code));
  }
  EXPECT_NE(help.out.find("corvidctl [--json] doctor"), std::string::npos);
  EXPECT_NE(help.out.find("corvidctl --version"), std::string::npos);
}

}  // namespace
}  // namespace corvid
