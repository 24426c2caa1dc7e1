#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>

#include "fake_backend.h"
#include "log_capture.h"
#include "supervisor/core.h"
#include "supervisor/watchdog.h"

namespace corvid {
namespace {

using testing::FakeBackend;
using testing::HeldCreate;
using testing::LogCapture;
using Lines = std::vector<std::string>;

class WatchdogTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeBackend> os = std::make_shared<FakeBackend>();
  std::shared_ptr<CoreState> state = std::make_shared<CoreState>(os);
  LogCapture log;

  std::uint32_t start() {
    EXPECT_TRUE(start_core(*state, {}, Caller::service()).has_value());
    return *os->newest_pid();
  }
  bool held() {
    std::lock_guard guard(state->lock);
    return state->child.has_value();
  }
  // Holds the next launch at its process creation until `arrive` (run on another thread) waits
  // for that launch; then lets the launch go on and waits for both.
  template <class Launch, class Arrive>
  void arrive_during_next_launch(Launch launch, Arrive arrive) {
    HeldCreate create;
    os->hold_next_create(create);
    std::thread launcher(launch);
    create.wait_held();
    std::thread arriving(arrive);
    // Gives up (failing the test) rather than hang when the arrival never waits.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (bool waiting = false; !waiting;) {
      {
        std::lock_guard guard(state->lock);
        waiting = state->launches.waiting() == 1;
      }
      if (!waiting && std::chrono::steady_clock::now() >= give_up) {
        ADD_FAILURE() << "the arrival never waited for the launch in flight";
        break;
      }
      std::this_thread::yield();
    }
    create.let_go();
    launcher.join();
    arriving.join();
  }
};

TEST_F(WatchdogTest, IdleOrRunningCorePassDoesNothing) {
  watchdog_pass(*state);
  EXPECT_EQ(os->polls(), 0);
  const std::uint32_t pid = start();
  watchdog_pass(*state);
  watchdog_pass(*state);
  EXPECT_EQ(os->processes().size(), 1u);
  EXPECT_EQ(os->process(pid).exited, false);
  EXPECT_EQ(log.messages(), Lines{"core started"});
}

TEST_F(WatchdogTest, EndedCoreIsLoggedAndRelaunchedInTheSamePass) {
  struct Case {
    std::uint32_t code;
    const char* line;
  };
  const Case cases[] = {{0, "core exited: exit code: 0"},
                        {3, "core exited: exit code: 3"},
                        {0xC0000005, "core exited: exit code: 0xc0000005"}};
  for (const Case& c : cases) {
    const std::uint32_t pid = start();
    LogCapture pass_log;
    os->exit_process(pid, c.code);
    watchdog_pass(*state);
    EXPECT_EQ(pass_log.messages(), (Lines{c.line, "core restarted"}));
    EXPECT_NE(*os->newest_pid(), pid);
    EXPECT_TRUE(held());
    EXPECT_FALSE(os->process(pid).handles_open);
    EXPECT_EQ(os->processes().back().command_line, os->processes().front().command_line);
  }
}

TEST_F(WatchdogTest, PollFailureIsLoggedAndTheCoreRelaunched) {
  const std::uint32_t pid = start();
  os->fail_polls(pid, "The handle is invalid. (os error 6)", 6);
  LogCapture pass_log;
  watchdog_pass(*state);
  EXPECT_EQ(pass_log.messages(),
            (Lines{"core poll error: The handle is invalid. (os error 6)", "core restarted"}));
  EXPECT_TRUE(os->process(pid).terminated) << "ended before the relaunch, not merely dropped";
  EXPECT_EQ(os->max_alive(), 1);
  EXPECT_TRUE(held());
}

TEST_F(WatchdogTest, CoreReleasedByStatusIsRelaunchedWithoutAnExitLine) {
  const std::uint32_t pid = start();
  os->exit_process(pid, 0);
  EXPECT_FALSE(query_core_status(*state).running);
  LogCapture pass_log;
  watchdog_pass(*state);
  EXPECT_EQ(pass_log.messages(), Lines{"core restarted"});
}

TEST_F(WatchdogTest, FailedRelaunchIsLoggedEveryPassUntilStop) {
  ASSERT_FALSE(
      start_core(*state, {.core_path = R"(C:\gone\core.exe)"}, Caller::service()).has_value());
  LogCapture pass_log;
  watchdog_pass(*state);
  watchdog_pass(*state);
  os->add_existing(R"(C:\gone\core.exe)");
  os->fail_creates("Access is denied. (os error 5)", 5);
  watchdog_pass(*state);
  stop_core(*state);
  watchdog_pass(*state);
  EXPECT_EQ(
      pass_log.messages(),
      (Lines{R"(restart failed: core not found: C:\gone\core.exe)",
             R"(restart failed: core not found: C:\gone\core.exe)", "restart failed: spawn core",
             "", "Caused by:", "    Access is denied. (os error 5)", "core stopped"}));
  EXPECT_TRUE(os->processes().empty());
}

// A core that ending does not end is waited for a bounded time, then kept (its job with it) and
// holds back every launch, a start's or the watchdog's, until it is seen dead: never two cores.
TEST_F(WatchdogTest, ACoreThatDoesNotEndHoldsBackEveryLaunchUntilItIsGone) {
  const std::uint32_t stuck = start();
  os->never_end(stuck);
  LogCapture pass_log;
  for (int attempt = 0; attempt < 2; ++attempt) {
    const Result<void> replaced = start_core(*state, {.config = "next"}, Caller::service());
    ASSERT_FALSE(replaced.has_value());
    EXPECT_EQ(short_text(replaced.error()), "previous core has not ended");
    watchdog_pass(*state);
  }
  EXPECT_EQ(os->end_waits(), std::vector<std::chrono::milliseconds>{kCoreEndWait});
  EXPECT_EQ(os->processes().size(), 1u);
  os->exit_process(stuck, 1);
  watchdog_pass(*state);
  EXPECT_EQ(os->max_alive(), 1);
  EXPECT_TRUE(held());
  const std::string not_ended =
      "core did not end within 30 s: no core is launched until it has ended";
  EXPECT_EQ(pass_log.messages(), (Lines{not_ended, "start failed: previous core has not ended",
                                        "start failed: previous core has not ended",
                                        "ended core is gone: exit code: 1", "core restarted"}));

  // A stop waits as long, and the kept core is released once dead, with nothing launched.
  const std::uint32_t second = *os->newest_pid();
  os->never_end(second);
  LogCapture stop_log;
  stop_core(*state);
  watchdog_pass(*state);
  os->exit_process(second, 1);
  watchdog_pass(*state);
  EXPECT_EQ(stop_log.messages(),
            (Lines{not_ended, "core stopped", "ended core is gone: exit code: 1"}));
  EXPECT_EQ(os->processes().size(), 2u);
  EXPECT_EQ(os->open_handles(), 0);
}

TEST_F(WatchdogTest, NothingAfterStop) {
  const std::uint32_t pid = start();
  stop_core(*state);
  LogCapture pass_log;
  watchdog_pass(*state);
  EXPECT_TRUE(pass_log.messages().empty());
  EXPECT_EQ(os->processes().size(), 1u);
  EXPECT_TRUE(os->process(pid).terminated);
}

TEST_F(WatchdogTest, StopDuringARelaunchEndsTheNewCore) {
  const std::uint32_t pid = start();
  os->exit_process(pid, 0);
  LogCapture pass_log;
  arrive_during_next_launch([&] { watchdog_pass(*state); }, [&] { stop_core(*state); });
  EXPECT_EQ(os->alive(), 0);
  EXPECT_FALSE(held());
  EXPECT_EQ(pass_log.messages(), (Lines{"core exited: exit code: 0", "core stopped"}));
}

TEST_F(WatchdogTest, StartDuringARelaunchReplacesItAndNeverRunsTwo) {
  const std::uint32_t pid = start();
  os->exit_process(pid, 0);
  LogCapture pass_log;
  arrive_during_next_launch(
      [&] { watchdog_pass(*state); },
      [&] { EXPECT_TRUE(start_core(*state, {}, Caller::service()).has_value()); });
  EXPECT_EQ(os->alive(), 1);
  EXPECT_EQ(os->max_alive(), 1);
  EXPECT_TRUE(held());
  EXPECT_EQ(pass_log.messages(),
            (Lines{"core exited: exit code: 0", "core restarted", "core started"}));
  EXPECT_TRUE(os->process(*os->newest_pid() - 1).terminated) << "the relaunched core is replaced";
}

TEST_F(WatchdogTest, StopDuringAStartLaunchLeavesNoCore) {
  Result<void> result;
  arrive_during_next_launch([&] { result = start_core(*state, {}, Caller::service()); },
                            [&] { stop_core(*state); });
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(short_text(result.error()), "core start cancelled");
  EXPECT_EQ(os->alive(), 0);
  EXPECT_FALSE(held());
  watchdog_pass(*state);
  EXPECT_EQ(os->processes().size(), 1u);
}

TEST_F(WatchdogTest, AnExceptionEscapingAPassIsLoggedAndTheNextPassRuns) {
  struct Case {
    const char* label;
    std::function<void()> raise;
    const char* logged;
  };
  const Case cases[] = {
      {"a standard exception", [] { throw std::runtime_error("poll exploded"); },
       "service error: poll exploded"},
      {"anything else", [] { throw 42; }, "service error: unknown exception"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::uint32_t pid = start();
    const std::size_t launched = os->processes().size();
    // Only the first poll throws; the core has ended meanwhile, so the pass after it relaunches.
    auto raised = std::make_shared<std::atomic<bool>>(false);
    os->on_poll([raised, raise = c.raise] {
      if (!raised->exchange(true))
        raise();
    });
    os->exit_process(pid, 0);
    LogCapture pass_log;
    auto flag = std::make_shared<std::atomic<bool>>(false);
    std::thread watchdog(run_core_watchdog, flag, state);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (os->processes().size() == launched && std::chrono::steady_clock::now() < give_up)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    flag->store(true);
    watchdog.join();
    os->on_poll(nullptr);

    EXPECT_TRUE(raised->load());
    EXPECT_EQ(pass_log.messages(),
              (Lines{c.logged, "core exited: exit code: 0", "core restarted"}));
    EXPECT_TRUE(held());
    EXPECT_EQ(os->alive(), 1);
  }
}

// The pace is a fixed second after every pass, whatever the pass found: idle, a running core, a
// core that died, a core that cannot be launched. No back-off, no shortcut, no initial sleep.
TEST_F(WatchdogTest, EveryPassIsFollowedByExactlyOneSecondOfSleep) {
  constexpr std::size_t kPasses = 5;
  struct Case {
    const char* label;
    std::function<void()> arrange;
    // Before each sleep the core died: the next pass must relaunch it.
    bool core_dies;
    // Processes created before the first sleep, and more before each later one.
    std::size_t first_creates;
    std::size_t creates_per_pass;
  };
  const Case cases[] = {
      {"idle", [] {}, false, 0, 0},
      {"a running core", [this] { start(); }, false, 1, 0},
      {"a core that dies after every launch", [this] { os->exit_process(start(), 0); }, true, 2, 1},
      {"a core that cannot be launched",
       [this] {
         EXPECT_FALSE(start_core(*state, {.core_path = R"(C:\gone\core.exe)"}, Caller::service())
                          .has_value());
       },
       false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    os = std::make_shared<FakeBackend>();
    state = std::make_shared<CoreState>(os);
    c.arrange();
    auto flag = std::make_shared<std::atomic<bool>>(false);
    os->on_sleep([this, flag, dies = c.core_dies] {
      if (dies)
        os->exit_process(*os->newest_pid(), 0);
      if (os->sleeps().size() == kPasses)
        flag->store(true);
    });
    std::thread watchdog(run_core_watchdog, flag, state);
    watchdog.join();
    os->on_sleep(nullptr);

    EXPECT_EQ(os->sleeps(),
              std::vector<std::chrono::milliseconds>(kPasses, std::chrono::milliseconds(1000)));
    std::vector<std::size_t> creates;
    for (std::size_t pass = 0; pass < kPasses; ++pass)
      creates.push_back(c.first_creates + pass * c.creates_per_pass);
    EXPECT_EQ(os->creates_before_sleeps(), creates) << "one pass before each sleep";
    stop_core(*state);
  }
}

TEST_F(WatchdogTest, ThreadEndsSoonAfterTheStopFlag) {
  auto flag = std::make_shared<std::atomic<bool>>(false);
  std::thread watchdog(run_core_watchdog, flag, state);
  const std::uint32_t pid = start();
  os->exit_process(pid, 0);
  // A product second is a millisecond with the test double.
  while (os->processes().size() < 2)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  flag->store(true);
  watchdog.join();
  EXPECT_EQ(os->alive(), 1);
}

}  // namespace
}  // namespace corvid
