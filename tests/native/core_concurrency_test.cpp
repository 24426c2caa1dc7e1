#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "fake_backend.h"
#include "supervisor/core.h"
#include "supervisor/watchdog.h"

namespace corvid {
namespace {

using testing::FakeBackend;

// A client hammering start, stop and status while the core keeps dying and the watchdog
// relaunches it: never two cores at once, none after the last stop, no handle left open.
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

  std::mt19937 random(42);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  int starts = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    switch (random() % 3) {
      case 0:
        (void)start_core(*state, {});
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
}

// The service stop: once the flag is set and stop_core has returned, nothing can launch.
TEST(CoreConcurrency, NoCoreOnceStoppingEvenWithStartsInFlight) {
  for (int round = 0; round < 50; ++round) {
    auto os = std::make_shared<FakeBackend>();
    auto flag = std::make_shared<std::atomic<bool>>(false);
    auto state = std::make_shared<CoreState>(os, flag);
    std::thread client([&] {
      for (int i = 0; i < 20; ++i)
        (void)start_core(*state, {});
    });
    std::this_thread::sleep_for(std::chrono::microseconds(50 * round));
    flag->store(true);
    stop_core(*state);
    const int alive_after_stop = os->alive();
    client.join();
    EXPECT_EQ(alive_after_stop, 0) << round;
    EXPECT_EQ(os->alive(), 0) << round;
    EXPECT_EQ(os->max_alive(), std::min(os->max_alive(), 1));
  }
}

}  // namespace
}  // namespace corvid
