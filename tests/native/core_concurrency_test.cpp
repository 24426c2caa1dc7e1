#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <random>
#include <thread>

#include "soak.h"
#include "fake_backend.h"
#include "log_capture.h"
#include "supervisor/core.h"
#include "supervisor/watchdog.h"

namespace corvid {
namespace {

using testing::FakeBackend;
using testing::HeldCreate;
using testing::LogCapture;
using ::testing::UnorderedElementsAreArray;
using Lines = std::vector<std::string>;

// Until `count` starts or stops wait for the launch in flight. Gives up (failing the test)
// rather than hang when they never come to wait.
void wait_for_waiting(CoreState& state, int count) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < give_up) {
    {
      std::lock_guard guard(state.lock);
      if (state.launches.waiting() == count)
        return;
    }
    std::this_thread::yield();
  }
  ADD_FAILURE() << "no " << count << " waiting for the launch in flight";
}

bool held(CoreState& state) {
  std::lock_guard guard(state.lock);
  return state.child.has_value();
}

// Each case holds one launch in flight (a start's, or a watchdog relaunch's) at its process
// creation, lets one more call arrive meanwhile, and only then lets the launch go on.
TEST(LaunchInFlight, WhatArrivesMeanwhileNeverLeavesTwoCoresNorOneAfterAStop) {
  enum class InFlight { kStart, kRelaunch };
  enum class Arrives { kWatchdogPass, kStop, kStart };
  struct Case {
    const char* name;
    InFlight in_flight;
    Arrives arrives;
    std::optional<std::string> launch_error;  // what the start in flight returns
    Lines log;                                // in any order: the two threads log side by side
    int created;                              // processes ever created, the first core included
    int alive;
  };
  const Case cases[] = {
      // The watchdog leaves a start's launch alone rather than adding its own.
      {"start, then a watchdog pass",
       InFlight::kStart,
       Arrives::kWatchdogPass,
       std::nullopt,
       {"core started"},
       2,
       1},
      // The stop waits for the launch, whose core is then ended instead of stored.
      {"start, then a stop",
       InFlight::kStart,
       Arrives::kStop,
       "core start cancelled",
       {"start failed: core start cancelled", "core stopped"},
       2,
       0},
      // The second start waits its turn and replaces the first one's core.
      {"start, then a start",
       InFlight::kStart,
       Arrives::kStart,
       std::nullopt,
       {"core started", "core started"},
       3,
       1},
      {"relaunch, then a stop",
       InFlight::kRelaunch,
       Arrives::kStop,
       std::nullopt,
       {"core exited: exit code: 0", "core stopped"},
       2,
       0},
      {"relaunch, then a start",
       InFlight::kRelaunch,
       Arrives::kStart,
       std::nullopt,
       {"core exited: exit code: 0", "core restarted", "core started"},
       3,
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto os = std::make_shared<FakeBackend>();
    auto state = std::make_shared<CoreState>(os);
    ASSERT_TRUE(start_core(*state, {}, Caller::service()).has_value());
    const std::uint32_t first = *os->newest_pid();
    const LogCapture log;

    HeldCreate create;
    os->hold_next_create(create);
    std::future<Result<void>> launching;
    if (c.in_flight == InFlight::kStart) {
      launching =
          std::async(std::launch::async, [&] { return start_core(*state, {}, Caller::service()); });
    } else {
      os->exit_process(first, 0);
      launching = std::async(std::launch::async, [&]() -> Result<void> {
        watchdog_pass(*state);
        return {};
      });
    }
    create.wait_held();

    std::future<Result<void>> arriving;
    switch (c.arrives) {
      case Arrives::kWatchdogPass: {
        const int polls = os->polls();
        watchdog_pass(*state);
        EXPECT_EQ(os->polls(), polls) << "no core is held while the start launches";
        // The held creation has not made its process yet: only the first core exists.
        EXPECT_EQ(os->processes().size(), 1u) << "the pass launched a core of its own";
        break;
      }
      case Arrives::kStop:
        arriving = std::async(std::launch::async, [&]() -> Result<void> {
          stop_core(*state);
          return {};
        });
        wait_for_waiting(*state, 1);
        break;
      case Arrives::kStart:
        arriving = std::async(std::launch::async,
                              [&] { return start_core(*state, {}, Caller::service()); });
        wait_for_waiting(*state, 1);
        break;
    }
    create.let_go();

    const Result<void> launched = launching.get();
    if (c.launch_error) {
      ASSERT_FALSE(launched.has_value());
      EXPECT_EQ(detailed_text(launched.error()), *c.launch_error);
    } else {
      EXPECT_TRUE(launched.has_value());
    }
    if (arriving.valid()) {
      EXPECT_TRUE(arriving.get().has_value());
    }
    EXPECT_THAT(log.entries(), UnorderedElementsAreArray(c.log));
    EXPECT_EQ(os->processes().size(), static_cast<std::size_t>(c.created));
    EXPECT_EQ(os->alive(), c.alive);
    EXPECT_EQ(os->max_alive(), 1);
    EXPECT_EQ(held(*state), c.alive == 1);
    if (c.alive == 1) {
      EXPECT_FALSE(os->process(*os->newest_pid()).exited) << "the survivor is the newest core";
    }
    EXPECT_EQ(os->open_handles(), c.alive);

    // Nothing is left in flight, and the next pass finds nothing to do.
    const LogCapture after;
    watchdog_pass(*state);
    EXPECT_EQ(after.entries(), Lines{});
    EXPECT_EQ(os->processes().size(), static_cast<std::size_t>(c.created));
    {
      std::lock_guard guard(state->lock);
      EXPECT_TRUE(state->launches.may_begin(state->launches.generation()));
    }
  }
}

// The service stop: the flag is set and stop_core runs while a start launches and another start
// waits its turn. The launching start's core is ended, and once stop_core has returned nothing
// starts any more.
TEST(CoreConcurrency, NoCoreOnceStoppingEvenWithStartsInFlight) {
  auto os = std::make_shared<FakeBackend>();
  auto flag = std::make_shared<std::atomic<bool>>(false);
  auto state = std::make_shared<CoreState>(os, flag);
  const LogCapture log;

  HeldCreate create;
  os->hold_next_create(create);
  std::future<Result<void>> launching =
      std::async(std::launch::async, [&] { return start_core(*state, {}, Caller::service()); });
  create.wait_held();
  flag->store(true);
  std::future<void> stopping = std::async(std::launch::async, [&] { stop_core(*state); });
  std::future<Result<void>> waiting =
      std::async(std::launch::async, [&] { return start_core(*state, {}, Caller::service()); });
  wait_for_waiting(*state, 2);
  create.let_go();
  stopping.get();
  EXPECT_EQ(os->alive(), 0) << "a core runs after the stop returned";

  const Result<void> launched = launching.get();
  ASSERT_FALSE(launched.has_value());
  EXPECT_EQ(detailed_text(launched.error()), "core start cancelled");
  const Result<void> waited = waiting.get();
  ASSERT_FALSE(waited.has_value());
  EXPECT_EQ(detailed_text(waited.error()), "service is stopping");
  const Result<void> later = start_core(*state, {}, Caller::service());
  ASSERT_FALSE(later.has_value());
  EXPECT_EQ(detailed_text(later.error()), "service is stopping");

  EXPECT_EQ(os->processes().size(), 1u);
  EXPECT_TRUE(os->process(*os->newest_pid()).terminated);
  EXPECT_EQ(os->alive(), 0);
  EXPECT_THAT(log.entries(),
              UnorderedElementsAreArray(Lines{"start failed: core start cancelled", "core stopped",
                                              "start failed: service is stopping",
                                              "start failed: service is stopping"}));
}

// A client hammering start, stop and status while the core keeps dying and the watchdog
// relaunches it: never two cores at once, none after the last stop, no handle left open. The
// interleavings above are forced; this looks for ones nobody thought of.
TEST(CoreConcurrency, NeverTwoCoresAndNoneAfterTheLastStop) {
  auto os = std::make_shared<FakeBackend>();
  auto flag = std::make_shared<std::atomic<bool>>(false);
  auto state = std::make_shared<CoreState>(os, nullptr);
  std::thread watchdog(run_core_watchdog, flag, state);

  std::atomic<bool> done{false};
  std::thread killer([&] {
    std::mt19937 random(7);
    while (!done.load()) {
      if (auto pid = os->newest_pid())
        os->exit_process(*pid, random() % 3);
      std::this_thread::sleep_for(std::chrono::microseconds(300 + random() % 700));
    }
  });

  // As long as the Windows soak.
  const int seconds = corvid::testing::soak_seconds();
  ASSERT_GT(seconds, 0) << "CORVID_SOAK_SECONDS is a whole number of seconds";
  std::mt19937 random(42);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int starts = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    switch (random() % 3) {
      case 0:
        (void)start_core(*state, {}, Caller::service());
        ++starts;
        break;
      case 1:
        stop_core(*state);
        break;
      default:
        (void)query_core_status(*state);
    }
  }
  stop_core(*state);
  // Give the watchdog a few passes to misbehave after the stop.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  done = true;
  killer.join();
  flag->store(true);
  watchdog.join();

  EXPECT_GT(starts, 10);
  EXPECT_EQ(os->max_alive(), 1);
  EXPECT_EQ(os->alive(), 0);
  EXPECT_EQ(os->open_handles(), 0);
  EXPECT_FALSE(held(*state));
}

}  // namespace
}  // namespace corvid
