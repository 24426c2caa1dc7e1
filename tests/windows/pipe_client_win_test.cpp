// corvidctl as a child process: against the real pipe server on a thread of this process, and
// against a stand-in server that records the request and answers as told.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "channel/pipe_config.h"
#include "common/os_error.h"
#include "common/utf.h"
#include "common/handle_win.h"
#include "common/sids_win.h"
#include "host_support.h"
#include "pipe_test_support.h"
#include "test_support_win.h"

namespace corvid {
namespace {

using namespace std::chrono_literals;
using test::corvidctl;
using test::describe;
using test::ProgramResult;
using test::ScriptedServer;
using test::ServerThread;

using namespace test::exit_status;

std::string process_token_owner() {
  WinHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
    return "(no token)";
  return token_owner_sid(token.get()).value_or("(no owner)");
}

// Every server and corvidctl here use a pipe of this test's own.
class OwnPipe : public ::testing::Environment {
 public:
  void SetUp() override { test::pipe_name(); }
};
const ::testing::Environment* const kOwnPipe = ::testing::AddGlobalTestEnvironment(new OwnPipe);

class CorvidctlServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(test::wait_for_instance()); }
  ServerThread server;
};

TEST_F(CorvidctlServiceTest, StartRunsTheCoreWithTheConfigurationFromAFile) {
  test::TempDir dir("corvidctl core");
  ASSERT_FALSE(test::install_fake_core(dir.path()).empty());
  const std::string config = "# caf\xC3\xA9 \"quoted\" \\ back\r\nrun\n";
  const std::string config_file = dir / "given config.yaml";
  ASSERT_TRUE(test::write_file(config_file, config));

  ProgramResult started =
      corvidctl({"start", "--id", "a", "--work-dir", dir.path(), "--config-file", config_file});
  EXPECT_EQ(started.exit_code, kOk) << started.err;
  EXPECT_EQ(started.out, R"({"id":"a","ok":true,"error":null,"data":null})"
                         "\n");
  const std::vector<test::CoreRun> runs = test::wait_for_core_runs(dir.path(), 1);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(test::read_file(dir / "config.json"), config) << "the file's bytes, unchanged";

  ProgramResult status = corvidctl({"status", "--id", "b"});
  EXPECT_EQ(status.exit_code, kOk) << status.err;
  EXPECT_EQ(status.out, R"({"id":"b","ok":true,"error":null,"data":{"pid":)" +
                            std::to_string(runs[0].pid) + R"(,"running":true}})" + "\n");

  WinHandle process = test::open_process(runs[0].pid);
  ASSERT_TRUE(process.valid());
  ProgramResult stopped = corvidctl({"stop"});
  EXPECT_EQ(stopped.exit_code, kOk) << stopped.err;
  EXPECT_EQ(test::wait_exit_code(process.get(), 10s), std::optional<DWORD>(1));
}

// The helper's pipe has the owner of the process that made it: on Windows LocalSystem for the
// service and Administrators for an elevated console; under Wine 8 every process's default
// owner, S-1-5-21-0-0-0-513 (its primary group, not its user S-1-5-21-0-0-0-1000), which is
// corvidctl's own too.
TEST_F(CorvidctlServiceTest, TheHelpersOwnPipePassesTheOwnerCheck) {
  std::optional<test::RawPipeClient> client = test::RawPipeClient::connect();
  ASSERT_TRUE(client);
  PSID owner = nullptr;
  LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  ASSERT_EQ(GetSecurityInfo(client->handle(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                            nullptr, nullptr, nullptr, descriptor.put()),
            static_cast<DWORD>(ERROR_SUCCESS));
  const std::string pipe_owner = sid_string(owner).value_or("(unreadable SID)");
  const std::string own_owner = process_token_owner();
  if (test::running_under_wine()) {
    EXPECT_EQ(pipe_owner, "S-1-5-21-0-0-0-513");
  }
  EXPECT_EQ(pipe_owner, own_owner);
  EXPECT_TRUE(pipe_config::pipe_owner_trusted(pipe_owner, own_owner));
  client->close();

  const ProgramResult result = corvidctl({"ping", "--id", "owner"});
  EXPECT_EQ(result.exit_code, kOk) << result.err;
  EXPECT_EQ(result.out, R"({"id":"owner","ok":true,"error":null,"data":{"pong":true}})"
                        "\n");
}

TEST_F(CorvidctlServiceTest, WaitsWhileAnotherClientHoldsThePipe) {
  // The server drops the silent client after its request time-out; corvidctl waits longer.
  std::optional<test::RawPipeClient> silent = test::RawPipeClient::connect();
  ASSERT_TRUE(silent);
  const ProgramResult result = corvidctl({"ping", "--id", "w"});
  EXPECT_EQ(result.exit_code, kOk) << result.err;
  EXPECT_EQ(result.out, R"({"id":"w","ok":true,"error":null,"data":{"pong":true}})"
                        "\n");
}

TEST(CorvidctlTest, WithoutTheServiceItExitsWithTwoAndSaysWhy) {
  test::pipe_name();
  const ProgramResult result = corvidctl({"ping"});
  EXPECT_EQ(result.exit_code, kNoAnswer);
  EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err.find(os_error_text(ERROR_FILE_NOT_FOUND)), std::string::npos) << result.err;
  EXPECT_NE(result.err.find(test::pipe_name_utf8()), std::string::npos) << result.err;
}

// Whoever holds the name when the helper does not (before it starts, after it ends) could read
// what clients send. Wine does not check the owner a pipe is created with, so a stand-in can
// claim any; on Windows only a privileged creator can give away ownership like this.
TEST(CorvidctlTest, APipeOwnedByAnyoneElseGetsNoRequestAndTheUntrustedStatus) {
  const std::string impostors[] = {
      "S-1-5-21-1004336348-1177238915-682003330-1001",  // another user
      "S-1-5-21-0-0-0-1000",                            // Wine's user, not its default owner
      "S-1-5-19",                                       // LocalService
      "S-1-5-32-545",                                   // Users
      "S-1-1-0",                                        // Everyone
  };
  for (const std::string& sid : impostors) {
    SCOPED_TRACE(sid);
    ScriptedServer server(R"({"ok":true})"
                          "\n",
                          to_wide("O:" + sid + "D:(A;;GA;;;WD)"));
    ASSERT_TRUE(server.created());
    const ProgramResult result = corvidctl({"start", "--config", "secret: 42"});
    ASSERT_TRUE(server.wait());
    EXPECT_EQ(server.request(), "") << "a request went out to the impostor";
    EXPECT_EQ(result.exit_code, kUntrusted);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "corvidctl: the pipe is not the helper's: it belongs to " + sid + "\n");
  }
}

TEST(CorvidctlTest, APipeOwnedByLocalSystemOrAdministratorsIsTalkedTo) {
  for (const wchar_t* sddl : {L"O:SYD:(A;;GA;;;WD)", L"O:BAD:(A;;GA;;;WD)"}) {
    SCOPED_TRACE(from_wide(sddl));
    ScriptedServer server(R"({"ok":true})"
                          "\n",
                          sddl);
    ASSERT_TRUE(server.created());
    const ProgramResult result = corvidctl({"ping"});
    ASSERT_TRUE(server.wait());
    EXPECT_EQ(server.request(), R"({"action":"ping"})"
                                "\n");
    EXPECT_EQ(result.exit_code, kOk) << result.err;
    // It may learn who is asking, not act as them. Wine 8 gives every impersonation the
    // server's own token at SecurityImpersonation whatever the client asked for: only real
    // Windows shows the level.
    if (!test::running_under_wine()) {
      EXPECT_EQ(server.impersonation_level(), std::optional(SecurityIdentification));
    }
  }
}

// The process a running service of this machine runs as, and the service's name; empty when
// none of those asked for runs.
std::pair<std::wstring, DWORD> running_service() {
  const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  for (const wchar_t* name : {L"RpcSs", L"PlugPlay", L"EventLog"}) {
    const ScHandle service(OpenServiceW(manager.get(), name, SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS status{};
    DWORD size = 0;
    if (service &&
        QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                             reinterpret_cast<BYTE*>(&status), sizeof status, &size) &&
        status.dwProcessId != 0)
      return {name, status.dwProcessId};
  }
  return {};
}

// While the service runs, only its process may serve the pipe: a server with a trusted owner
// (here this process's own) is refused all the same. A service of the system stands in for the
// helper's, named through the test endpoint; the pipe is served by this process, not by it.
TEST(CorvidctlTest, WhileTheServiceRunsAPipeServedByAnotherProcessGetsNoRequest) {
  test::pipe_name();
  const auto [service, service_pid] = running_service();
  ASSERT_NE(service_pid, 0u) << "no system service runs";
  ASSERT_TRUE(SetEnvironmentVariableW(L"CORVIDCTL_TEST_SERVICE_NAME", service.c_str()));
  ScriptedServer server(R"({"ok":true})"
                        "\n");
  ASSERT_TRUE(server.created());
  const ProgramResult result = corvidctl({"start", "--config", "secret: 42"});
  ASSERT_TRUE(server.wait());
  EXPECT_EQ(server.request(), "") << "a request went out to a server that is not the service";
  EXPECT_EQ(result.exit_code, kUntrusted);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "corvidctl: the pipe is not the helper's: it is served by process " +
                            std::to_string(GetCurrentProcessId()) + ", the service " +
                            from_wide(service) + " runs as process " + std::to_string(service_pid) +
                            "\n");
}

TEST(CorvidctlTest, ALongRequestGoesOutInMessagesOfTheServersReadSize) {
  test::TempDir dir("corvidctl long");
  const std::string config_file = dir / "big.yaml";
  std::string config;
  while (config.size() < 20000)
    config += "rule: DOMAIN-SUFFIX,example" + std::to_string(config.size()) + ".com\n";
  ASSERT_TRUE(test::write_file(config_file, config));

  ScriptedServer server(R"({"ok":true})"
                        "\n");
  ASSERT_TRUE(server.created());
  const ProgramResult result = corvidctl({"start", "--config-file", config_file});
  ASSERT_TRUE(server.wait());
  EXPECT_EQ(result.exit_code, kOk) << result.err;
  const nlohmann::json expected = {{"action", "start"}, {"config", config}};
  EXPECT_EQ(server.request(), expected.dump() + "\n");
  ASSERT_GT(server.messages().size(), 1u);
  for (const std::string& message : server.messages())
    EXPECT_LE(message.size(), pipe_config::kReadChunk);
}

// {"ok":true,"pad":"xx..."} and a line feed, `size` bytes in all.
std::string padded_ok(std::size_t size) {
  const std::string head = R"({"ok":true,"pad":")", tail = "\"}\n";
  return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

TEST(CorvidctlTest, AnythingButAnAnswerWithOkIsExitTwo) {
  constexpr std::size_t kMaxResponse = 1024 * 1024;
  struct Case {
    const char* label;
    std::string reply;
    DWORD exit_code;
    std::string out;
  };
  const Case cases[] = {
      {"ok true",
       R"({"ok":true,"extra":[1]})"
       "\n",
       kOk,
       R"({"ok":true,"extra":[1]})"
       "\n"},
      {"ok false",
       R"({"ok":false})"
       "\n",
       kNotOk,
       R"({"ok":false})"
       "\n"},
      {"not JSON", "garbage\n", kNoAnswer, "garbage\n"},
      {"ok not a boolean",
       R"({"ok":"yes"})"
       "\n",
       kNoAnswer,
       R"({"ok":"yes"})"
       "\n"},
      {"no line feed before the end", R"({"ok":true})", kNoAnswer, ""},
      {"a line of the longest size taken", padded_ok(kMaxResponse), kOk, padded_ok(kMaxResponse)},
      {"a line longer than that", padded_ok(kMaxResponse + 1), kNoAnswer, ""},
      {"no reply at all", "", kNoAnswer, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScriptedServer server(c.reply);
    ASSERT_TRUE(server.created());
    const ProgramResult result = corvidctl({"ping"});
    ASSERT_TRUE(server.wait());
    EXPECT_EQ(result.exit_code, c.exit_code) << result.err;
    EXPECT_EQ(result.out, c.out);
    if (c.exit_code == kNoAnswer) {
      EXPECT_NE(result.err, "");
    }
  }
}

}  // namespace
}  // namespace corvid
