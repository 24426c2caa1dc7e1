// Whom the pipe server takes its client for, through the real pipe. Under Wine every client is an
// administrator, so the server is given a judge of the test's own; that a real standard user is
// judged unprivileged shows only on Windows (scripts/windows/check-standard-user.ps1), and the
// token check itself is tested in pipe_identity_win_test.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "channel/pipe_config.h"
#include "pipe_test_support.h"
#include "test_support_win.h"

namespace corvid {
namespace {

using test::ask;
using test::HelperLog;
using Lines = std::vector<std::string>;

// What the test's judge answers, and what it was asked.
struct Judge {
  std::atomic<bool> privileged{false};
  std::atomic<int> asked{0};
  // Whether every handle it was given was the instance this process is connected to.
  std::atomic<bool> given_the_client{true};
  // How many clients it judged at once, now and at most.
  std::atomic<int> judging{0};
  std::atomic<int> most_at_once{0};
};

pipe_config::Settings judged_by(std::shared_ptr<Judge> judge) {
  pipe_config::Settings settings;
  settings.judge_client = [judge](void* pipe) {
    ULONG client = 0;
    if (!GetNamedPipeClientProcessId(pipe, &client) || client != GetCurrentProcessId())
      judge->given_the_client = false;
    ++judge->asked;
    const int now = ++judge->judging;
    if (now > judge->most_at_once)
      judge->most_at_once = now;
    Sleep(50);
    --judge->judging;
    return Caller{.privileged = judge->privileged.load()};
  };
  return settings;
}

// A response line, members in the order the server writes them.
std::string answer(const std::string& id, bool ok, const nlohmann::ordered_json& error,
                   const nlohmann::ordered_json& data = nullptr) {
  return nlohmann::ordered_json{{"id", id}, {"ok", ok}, {"error", error}, {"data", data}}.dump() +
         "\n";
}

class PipeJudgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::wait_for_instance()) << "the server created no instance";
    ASSERT_FALSE(core.empty());
  }

  // A core of its own outside the install directory (this program's), with its configuration
  // beside it: paths only a privileged client may name.
  std::string start_line(const std::string& id) const {
    return nlohmann::json{{"id", id},
                          {"action", "start"},
                          {"core_path", core},
                          {"config_path", dir / "config.json"},
                          {"config", "run\n"}}
               .dump() +
           "\n";
  }

  bool core_wanted() {
    std::lock_guard guard(server.state().lock);
    return server.state().keep_running || server.state().child.has_value();
  }

  std::shared_ptr<Judge> judge = std::make_shared<Judge>();
  test::TempDir dir{"corvid judged start"};
  std::string core = test::install_fake_core(dir.path());
  // Last, so that it stops its core before the directory goes.
  test::ServerThread server{judged_by(judge)};
};

TEST_F(PipeJudgeTest, AStartIsJudgedOnceAndTheVerdictDecides) {
  // Not privileged: the refusal a standard user gets, and nothing written or started.
  const std::size_t mark = HelperLog::mark();
  judge->privileged = false;
  EXPECT_EQ(ask(start_line("u")), answer("u", false, "core path not allowed: " + core));
  EXPECT_EQ(judge->asked.load(), 1);
  EXPECT_FALSE(core_wanted());
  EXPECT_FALSE(test::is_file(dir / "config.json"));
  EXPECT_EQ(ask(R"({"id":"q","action":"status"})"
                "\n"),
            answer("q", true, nullptr, {{"pid", nullptr}, {"running", false}}));
  Sleep(500);
  EXPECT_TRUE(test::read_core_runs(dir.path()).empty()) << "a core was started";
  EXPECT_EQ(HelperLog::entries_since(mark), Lines{"start failed: core path not allowed: " + core});

  // The same start from a privileged client goes through.
  judge->privileged = true;
  EXPECT_EQ(ask(start_line("p")), answer("p", true, nullptr));
  EXPECT_EQ(judge->asked.load(), 2);
  const std::vector<test::CoreRun> runs = test::wait_for_core_runs(dir.path(), 1);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(test::read_file(dir / "config.json"), "run\n");
  EXPECT_TRUE(core_wanted());
  EXPECT_TRUE(judge->given_the_client.load()) << "the judge was handed another handle";
}

TEST_F(PipeJudgeTest, OnlyAStartOrAStopAsksWhoTheClientIs) {
  judge->privileged = true;
  const std::string requests[] = {
      R"({"id":"1","action":"ping"})",
      R"({"id":"2","action":"status"})",
      R"({"id":"4","action":"restart"})",
      R"({"id":"5"})",
  };
  for (const std::string& request : requests) {
    const nlohmann::json reply = nlohmann::json::parse(ask(request + "\n"), nullptr, false);
    ASSERT_TRUE(reply.is_object()) << request << " got no answer";
    EXPECT_EQ(reply["id"], nlohmann::json::parse(request)["id"]);
    EXPECT_EQ(judge->asked.load(), 0) << request;
  }
  // The judge is wired in: a start and a stop do ask.
  EXPECT_EQ(ask(start_line("s")), answer("s", true, nullptr));
  EXPECT_EQ(judge->asked.load(), 1);
  EXPECT_EQ(ask(R"({"id":"t","action":"stop"})"
                "\n"),
            answer("t", true, nullptr));
  EXPECT_EQ(judge->asked.load(), 2);
  EXPECT_FALSE(core_wanted());
}

// Clients on every instance at once: their requests still reach the supervisor one at a time.
TEST_F(PipeJudgeTest, RequestsOnEveryInstanceAreHandledOneAtATime) {
  judge->privileged = true;
  std::vector<std::future<std::string>> stops;
  for (std::uint32_t i = 0; i < pipe_config::kMaxInstances; ++i) {
    stops.push_back(std::async(std::launch::async, [i] {
      return ask(R"({"id":")" + std::to_string(i) + R"(","action":"stop"})" + "\n");
    }));
  }
  for (std::uint32_t i = 0; i < stops.size(); ++i)
    EXPECT_EQ(stops[i].get(), answer(std::to_string(i), true, nullptr));
  EXPECT_EQ(judge->asked.load(), static_cast<int>(pipe_config::kMaxInstances));
  EXPECT_EQ(judge->most_at_once.load(), 1);
}

}  // namespace
}  // namespace corvid
