// corvidctl as a process, once for each exit status it decides from a response or its command
// line, against the pipe server on a thread of this test, on a pipe of the test's own. Standard
// output is a pipe here, so the response line is printed exactly as received. (The words a
// console gets, and the owner a status adds to them, are tested as pure functions: Wine 8 gives a
// child process no console whose mode can be read, not even a pseudo console, so only real
// Windows shows that path end to end. The untrusted pipe, status 4, is
// pipe_client_win_test's; doctor's failure, status 5, doctor_win_test's.)
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/os_error.h"
#include "host_support.h"
#include "pipe_test_support.h"
#include "test_support_win.h"

namespace corvid {
namespace {

using test::corvidctl;
using test::describe;
using test::ProgramResult;

using namespace test::exit_status;

class CorvidctlOutputTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test::pipe_name(); }
  void SetUp() override { ASSERT_TRUE(test::wait_for_instance()); }
  test::ServerThread server;
};

TEST_F(CorvidctlOutputTest, EachExitStatusWithTheLineAsReceived) {
  test::TempDir empty("corvidctl output");
  struct Case {
    std::vector<std::string> args;
    DWORD exit_code;
    std::string out;
    std::optional<std::string> err;  // empty: some explanation
  };
  const Case cases[] = {
      {{"--json", "ping", "--id", "7"},
       kOk,
       R"({"id":"7","ok":true,"error":null,"data":{"pong":true}})"
       "\n",
       ""},
      // Not a console: no second request for the owner, the status line alone.
      {{"status"},
       kOk,
       R"({"id":null,"ok":true,"error":null,"data":{"pid":null,"running":false}})"
       "\n",
       ""},
      {{"send", R"({"id":"x","action":"PING"})"},
       kNotOk,
       R"({"id":"x","ok":false,"error":"unknown action","data":null})"
       "\n",
       ""},
      {{"start", "--json", "--core-path", empty / "none.exe"},
       kNotOk,
       R"({"id":null,"ok":false,"error":)" +
           nlohmann::json("core not found: " + empty / "none.exe").dump() + R"(,"data":null})" +
           "\n",
       ""},
      // The server drops a line it cannot read: no response at all.
      {{"send", "not json"}, kNoAnswer, "", std::nullopt},
      {{"start", "--config-file", empty / "missing.yaml"},
       kUsage,
       "",
       "corvidctl: cannot read " + empty / "missing.yaml" + ": " +
           os_error_text(ERROR_FILE_NOT_FOUND) + "\n"},
      {{"restart"}, kUsage, "", "corvidctl: unknown command: restart (try corvidctl --help)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(describe(c.args));
    const ProgramResult result = corvidctl(c.args);
    EXPECT_EQ(result.exit_code, c.exit_code) << result.err;
    EXPECT_EQ(result.out, c.out);
    if (c.err) {
      EXPECT_EQ(result.err, *c.err);
    } else {
      EXPECT_NE(result.err, "");
    }
  }
}

}  // namespace
}  // namespace corvid
