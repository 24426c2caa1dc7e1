// corvidctl's output where scripts read it: --json, and any standard output that is not a
// console, get the response line exactly as received, with the exit codes as before. (The words
// a console gets are tested as pure functions: Wine 8 gives a child process no console whose
// mode can be read, not even a pseudo console, so only real Windows shows that path end to end.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host_support.h"
#include "pipe_test_support.h"
#include "win_test_support.h"

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

}  // namespace
}  // namespace corvid
