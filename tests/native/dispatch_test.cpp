#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "channel/dispatch.h"
#include "channel/message.h"
#include "fake_backend.h"
#include "log_capture.h"

namespace corvid {
namespace {

using testing::FakeBackend;
using testing::LogCapture;

const std::string kDir = FakeBackend::kInstallDir;

std::string ok_line(const std::string& id_json, const std::string& data_json = "null") {
  return "{\"id\":" + id_json + ",\"ok\":true,\"error\":null,\"data\":" + data_json + "}\n";
}

std::string failed_line(const std::string& id_json, const std::string& error) {
  return "{\"id\":" + id_json + ",\"ok\":false,\"error\":\"" + error + "\",\"data\":null}\n";
}

class DispatchTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeBackend> os = std::make_shared<FakeBackend>();
  CoreState state{os};
  LogCapture log;

  // The whole way of one request line: parse, dispatch, encode.
  std::string answer(const std::string& line, const Caller& caller = Caller::service()) {
    const Result<Request> request = parse_request(line);
    if (!request) {
      ADD_FAILURE() << detailed_text(request.error());
      return {};
    }
    const Result<std::string> text = encode_response(dispatch_request(*request, state, caller));
    if (!text) {
      ADD_FAILURE() << detailed_text(text.error());
      return {};
    }
    return *text;
  }

  std::string status_line(const std::string& id_json) {
    return answer(R"({"action":"status","id":)" + id_json + "}");
  }
};

TEST_F(DispatchTest, ActionsWithoutACore) {
  struct Case {
    std::string line;
    std::string response;
  };
  const Case cases[] = {
      {R"({"id":"7","action":"ping"})", ok_line(R"("7")", R"({"pong":true})")},
      {R"({"action":"ping"})", ok_line("null", R"({"pong":true})")},
      {R"({"id":"","action":"ping"})", ok_line(R"("")", R"({"pong":true})")},
      {R"({"id":"7","action":"status"})", ok_line(R"("7")", R"({"pid":null,"running":false})")},
      {R"({"id":"7","action":"stop"})", ok_line(R"("7")")},
      // No action, or one that is not exactly one of the four words.
      {R"({})", failed_line("null", "unknown action")},
      {R"({"id":"a"})", failed_line(R"("a")", "unknown action")},
      {R"({"id":"a","action":null})", failed_line(R"("a")", "unknown action")},
      {R"({"id":"a","action":"PING"})", failed_line(R"("a")", "unknown action")},
      {R"({"id":"a","action":"Stop"})", failed_line(R"("a")", "unknown action")},
      {R"({"id":"a","action":""})", failed_line(R"("a")", "unknown action")},
      {R"({"id":"a","action":" ping"})", failed_line(R"("a")", "unknown action")},
      {R"({"id":"a","action":"ping "})", failed_line(R"("a")", "unknown action")},
      {R"({"id":"a","action":"pin"})", failed_line(R"("a")", "unknown action")},
      {R"({"id":"a","action":"pingpong"})", failed_line(R"("a")", "unknown action")},
      {R"({"id":"a","action":"status\u0000"})", failed_line(R"("a")", "unknown action")},
      {R"({"id":"a","action":"restart"})", failed_line(R"("a")", "unknown action")},
      // The positional form reaches the same actions.
      {R"(["p","ping",null,null,null,null,null])", ok_line(R"("p")", R"({"pong":true})")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(answer(c.line), c.response);
  }
  // None of these touched the core.
  EXPECT_TRUE(os->processes().empty());
  EXPECT_TRUE(os->directories().empty());
}

TEST_F(DispatchTest, StartWithoutFieldsLaunchesTheDefaultCoreAndStatusShowsIt) {
  EXPECT_EQ(answer(R"({"id":"7","action":"start"})"), ok_line(R"("7")"));

  const std::vector<FakeBackend::Process> processes = os->processes();
  ASSERT_EQ(processes.size(), 1u);
  const CoreLaunch defaults{kDir, kDir + "\\clash-rs.exe", kDir + "\\config.json",
                            kDir + "\\log\\clash.log"};
  EXPECT_EQ(processes[0].core_path, defaults.core_path);
  EXPECT_EQ(
      processes[0].command_line,
      R"("C:\Program Files\Corvid\clash-rs.exe" -d "C:\Program Files\Corvid" -c "C:\Program Files\Corvid\config.json" -l "C:\Program Files\Corvid\log\clash.log")");
  EXPECT_EQ(processes[0].work_dir, kDir);
  // Without `config` nothing is written.
  EXPECT_FALSE(os->file(defaults.config_path).has_value());
  EXPECT_EQ(log.messages(), std::vector<std::string>{"core started"});

  const std::uint32_t pid = processes[0].pid;
  EXPECT_EQ(status_line(R"("s1")"),
            ok_line(R"("s1")", R"({"pid":)" + std::to_string(pid) + R"(,"running":true})"));
}

TEST_F(DispatchTest, StartHandsOverEveryRequestField) {
  os->add_existing(R"(D:\w\core.exe)");
  const std::string line =
      R"({"id":"9","action":"start","config":"port: 7890\n","work_dir":"D:\\w",)"
      R"("core_path":"D:\\w\\core.exe","config_path":"cfg\\a.yaml","log_path":"E:\\l\\c.log"})";
  EXPECT_EQ(answer(line), ok_line(R"("9")"));

  const std::vector<FakeBackend::Process> processes = os->processes();
  ASSERT_EQ(processes.size(), 1u);
  const CoreLaunch launch{R"(D:\w)", R"(D:\w\core.exe)", R"(D:\w\cfg\a.yaml)", R"(E:\l\c.log)"};
  EXPECT_EQ(processes[0].command_line,
            R"("D:\w\core.exe" -d D:\w -c D:\w\cfg\a.yaml -l E:\l\c.log)");
  EXPECT_EQ(processes[0].work_dir, launch.work_dir);
  EXPECT_EQ(os->file(launch.config_path), "port: 7890\n");
}

// The client gets the short text; the log gets the cause, from the start itself.
TEST_F(DispatchTest, FailedStartAnswersTheShortTextAndLogsTheCause) {
  struct Case {
    std::string name;
    std::function<void(FakeBackend&)> setup;
    std::string line;
    std::string error;
    std::string entry;
    Caller caller = Caller::service();
  };
  const Case cases[] = {
      {"exe dir lookup failed",
       [](FakeBackend& fake) {
         fake.set_install_dir(
             std::unexpected(Error("current_exe", "Access is denied. (os error 5)")));
       },
       R"({"id":"7","action":"start"})", "current_exe",
       "start failed: current_exe\n\nCaused by:\n    Access is denied. (os error 5)"},
      {"exe dir unusable",
       [](FakeBackend& fake) { fake.set_install_dir(std::unexpected(Error("invalid exe path"))); },
       R"({"id":"7","action":"start"})", "invalid exe path", "start failed: invalid exe path"},
      {"config not writable",
       [](FakeBackend& fake) { fake.fail_writes("Access is denied. (os error 5)", 5); },
       R"({"id":"7","action":"start","config":"x"})", "write config",
       "start failed: write config\n\nCaused by:\n    Access is denied. (os error 5)"},
      {"given core missing", [](FakeBackend&) {},
       R"({"id":"7","action":"start","core_path":"C:\\missing\\core.exe"})",
       R"(core not found: C:\\missing\\core.exe)",
       R"(start failed: core not found: C:\missing\core.exe)"},
      {"default core missing",
       [](FakeBackend& fake) { fake.remove_existing(kDir + "\\clash-rs.exe"); },
       R"({"id":"7","action":"start"})",
       R"(core not found: C:\\Program Files\\Corvid\\clash-rs.exe)",
       R"(start failed: core not found: C:\Program Files\Corvid\clash-rs.exe)"},
      {"process not created",
       [](FakeBackend& fake) {
         fake.fail_creates("%1 is not a valid Win32 application. (os error 193)", 193);
       },
       R"({"id":"7","action":"start"})", "spawn core",
       "start failed: spawn core\n\nCaused by:\n    %1 is not a valid Win32 application. (os error "
       "193)"},
      {"core outside the install dir for an unprivileged client",
       [](FakeBackend& fake) { fake.add_existing(R"(D:\evil.exe)"); },
       R"({"id":"7","action":"start","core_path":"D:\\evil.exe"})",
       R"(core path not allowed: D:\\evil.exe)",
       R"(start failed: core path not allowed: D:\evil.exe)", Caller{false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto fake = std::make_shared<FakeBackend>();
    c.setup(*fake);
    CoreState fresh{fake};
    const LogCapture lines;
    const Result<Request> request = parse_request(c.line);
    ASSERT_TRUE(request.has_value());
    const Response response = dispatch_request(*request, fresh, c.caller);
    const Result<std::string> text = encode_response(response);
    ASSERT_TRUE(text.has_value());
    // The outermost message only: no cause reaches the client.
    EXPECT_EQ(*text, failed_line(R"("7")", c.error));
    EXPECT_EQ(lines.entries(), std::vector<std::string>{c.entry});
    EXPECT_TRUE(fake->processes().empty());
  }
}

TEST_F(DispatchTest, StopEndsTheCoreAndStatusThenShowsNone) {
  ASSERT_EQ(answer(R"({"id":"1","action":"start"})"), ok_line(R"("1")"));
  const std::uint32_t pid = *os->newest_pid();

  EXPECT_EQ(answer(R"({"id":"2","action":"stop"})"), ok_line(R"("2")"));
  EXPECT_TRUE(os->process(pid).terminated);
  EXPECT_EQ(status_line(R"("3")"), ok_line(R"("3")", R"({"pid":null,"running":false})"));
  // Stopping again, with nothing running, still succeeds.
  EXPECT_EQ(answer(R"({"id":"4","action":"stop"})"), ok_line(R"("4")"));
  EXPECT_EQ(log.messages(),
            (std::vector<std::string>{"core started", "core stopped", "core stopped"}));
}

// The core is its user's: another standard user's start and stop change nothing (the same core,
// its configuration and its log untouched) until the owner has left their session.
TEST(DispatchOwner, AnotherUsersStartAndStopAreRefusedUntilTheOwnerHasLeft) {
  const std::string a = "S-1-5-21-1-2-3-1001";
  const std::string b = "S-1-5-21-1-2-3-1002";
  using Answer = Result<std::optional<std::string>>;
  struct Case {
    const char* name;
    Caller first;
    std::optional<Answer> first_session;  // what its session answers, when asked
    Caller second;
    bool served;
    std::string owner_then;  // the owner action's data after the second's start
  };
  const std::string owner_a = R"({"owner":{"privileged":false,"session":2,"sid":")" + a + R"("}})";
  const std::string owner_b = R"({"owner":{"privileged":false,"session":3,"sid":")" + b + R"("}})";
  const Case cases[] = {
      {"the owner's session cannot be asked",
       {false, a, 2},
       std::nullopt,
       {false, b, 3},
       false,
       owner_a},
      {"the owner is still logged on", {false, a, 2}, Answer(a), {false, b, 3}, false, owner_a},
      {"the owner has logged off",
       {false, a, 2},
       Answer(std::nullopt),
       {false, b, 3},
       true,
       owner_b},
      {"another user is in the owner's session",
       {false, a, 2},
       Answer(b),
       {false, b, 3},
       true,
       owner_b},
      {"the same user from another session",
       {false, a, 2},
       std::nullopt,
       {false, a, 3},
       true,
       R"({"owner":{"privileged":false,"session":3,"sid":")" + a + R"("}})"},
      {"a privileged start",
       Caller::service(),
       Answer(std::nullopt),
       {false, b, 3},
       false,
       R"({"owner":{"privileged":true,"session":null,"sid":null}})"},
      {"an administrator's start, the administrator since logged off",
       {true, a, 2},
       Answer(std::nullopt),
       {false, b, 3},
       false,
       R"({"owner":{"privileged":true,"session":2,"sid":")" + a + R"("}})"},
      {"a caller whose SID could not be read",
       {false, a, 2},
       Answer(std::nullopt),
       {false, "", 3},
       false,
       owner_a},
      {"a privileged caller",
       {false, a, 2},
       Answer(a),
       {true, b, 3},
       true,
       R"({"owner":{"privileged":true,"session":3,"sid":")" + b + R"("}})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto os = std::make_shared<FakeBackend>();
    CoreState state{os};
    const auto ask = [&](const std::string& line, const Caller& caller) {
      return encode_response(dispatch_request(parse_request(line).value(), state, caller)).value();
    };
    ASSERT_EQ(ask(R"({"id":"1","action":"start","config":"a"})", c.first), ok_line(R"("1")"));
    const std::uint32_t pid = *os->newest_pid();
    if (c.first_session)
      os->set_session_user(2, *c.first_session);
    const LogCapture log;
    const std::string start = ask(R"({"id":"2","action":"start","config":"b"})", c.second);
    EXPECT_EQ(ask(R"({"id":"3","action":"owner"})", Caller{false}),
              ok_line(R"("3")", c.owner_then));
    const std::string stop = ask(R"({"id":"4","action":"stop"})", c.second);
    const std::string config = *os->file(kDir + "\\config.json");
    if (c.served) {
      EXPECT_EQ(start, ok_line(R"("2")"));
      EXPECT_EQ(stop, ok_line(R"("4")"));
      EXPECT_EQ(config, "b");
      EXPECT_EQ(os->processes().size(), 2u);
      EXPECT_EQ(ask(R"({"id":"5","action":"owner"})", Caller{false}),
                ok_line(R"("5")", R"({"owner":null})"));
      const std::vector<std::string> entries = log.entries();
      if (!c.second.privileged) {
        EXPECT_NE(std::find(entries.begin(), entries.end(),
                            "start by " + c.second.user_sid + " (session 3)"),
                  entries.end());
      }
      continue;
    }
    EXPECT_EQ(start, failed_line(R"("2")", "core is in use by another user"));
    EXPECT_EQ(stop, failed_line(R"("4")", "core is in use by another user"));
    EXPECT_EQ(config, "a");
    EXPECT_EQ(os->processes().size(), 1u);
    EXPECT_FALSE(os->process(pid).exited);
    const std::string refused = " refused for " +
                                (c.second.user_sid.empty() ? "an unidentified user" : b) +
                                " (session 3): core is in use by another user";
    EXPECT_EQ(log.entries(), (std::vector<std::string>{"start" + refused, "stop" + refused}));
  }
}

TEST_F(DispatchTest, StatusAfterTheCoreEndedByItself) {
  ASSERT_EQ(answer(R"({"id":"1","action":"start"})"), ok_line(R"("1")"));
  os->exit_process(*os->newest_pid(), 3);
  EXPECT_EQ(status_line(R"("2")"), ok_line(R"("2")", R"({"pid":null,"running":false})"));
}

TEST_F(DispatchTest, StartReplacesTheRunningCore) {
  ASSERT_EQ(answer(R"({"id":"1","action":"start"})"), ok_line(R"("1")"));
  const std::uint32_t first = *os->newest_pid();
  ASSERT_EQ(answer(R"({"id":"2","action":"start"})"), ok_line(R"("2")"));
  const std::uint32_t second = *os->newest_pid();
  EXPECT_NE(first, second);
  EXPECT_TRUE(os->process(first).terminated);
  EXPECT_EQ(os->alive(), 1);
  EXPECT_EQ(status_line(R"("3")"),
            ok_line(R"("3")", R"({"pid":)" + std::to_string(second) + R"(,"running":true})"));
}

TEST_F(DispatchTest, StatusDataIsAnUnsignedPidThenRunning) {
  ASSERT_EQ(answer(R"({"action":"start"})"), ok_line("null"));
  const Response response = dispatch_request(Request{.action = "status"}, state, Caller::service());
  ASSERT_TRUE(response.data.has_value());
  EXPECT_TRUE(response.data->at("pid").is_number_unsigned());
  EXPECT_TRUE(response.data->at("running").is_boolean());
  EXPECT_EQ(response.data->size(), 2u);
}

TEST_F(DispatchTest, AFailureThrownBelowIsStillAnsweredAndEndsTheLaunch) {
  os->on_create([] { throw std::runtime_error("out of handles"); });
  EXPECT_EQ(answer(R"({"id":"5","action":"start"})"), failed_line(R"("5")", "spawn core"));
  // The launch in flight is over: later requests do not wait for it.
  os->on_create(nullptr);
  EXPECT_EQ(answer(R"({"id":"6","action":"stop"})"), ok_line(R"("6")", "null"));
  EXPECT_EQ(answer(R"({"id":"7","action":"start"})"), ok_line(R"("7")", "null"));
}

}  // namespace
}  // namespace corvid
