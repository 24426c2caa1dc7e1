// The watchdog with the real process backend and the stand-in core.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <thread>

#include "pipe_test_support.h"
#include "supervisor/backend_win.h"
#include "supervisor/core.h"
#include "supervisor/watchdog.h"
#include "test_support_win.h"

namespace corvid {
namespace {

using namespace std::chrono_literals;
using test::HelperLog;
using Lines = std::vector<std::string>;

class WatchdogWinTest : public ::testing::Test {
 protected:
  test::TempDir dir{"watchdog test"};
  std::string core = test::install_fake_core(dir.path());
  std::shared_ptr<std::atomic<bool>> flag = std::make_shared<std::atomic<bool>>(false);
  // A second of the watchdog's is a tenth here, but for the test of its pace.
  std::shared_ptr<test::ScaledSleeps> clock = std::make_shared<test::ScaledSleeps>();
  std::shared_ptr<CoreState> state = std::make_shared<CoreState>(clock, flag);

  void SetUp() override { HelperLog::path(); }
  void TearDown() override { stop_core(*state); }

  Result<void> start(const std::string& config, std::optional<std::string> core_path = {}) {
    return start_core(
        *state, {.work_dir = dir.path(), .core_path = core_path.value_or(core), .config = config},
        Caller::service());
  }
  // Waits until the newest recorded core has ended.
  void wait_for_exit(std::size_t runs) {
    const auto recorded = test::wait_for_core_runs(dir.path(), runs);
    ASSERT_EQ(recorded.size(), runs);
    WinHandle process = test::open_process(recorded.back().pid);
    if (process.valid()) {
      ASSERT_TRUE(test::wait_exit_code(process.get()).has_value());
    }
  }
};

TEST_F(WatchdogWinTest, AnEndedCoreIsLoggedAndRelaunchedInTheSamePass) {
  struct Case {
    const char* config;
    const char* line;
  };
  const Case cases[] = {{"exit 0", "core exited: exit code: 0"},
                        {"exit 0xC0000005", "core exited: exit code: 0xc0000005"}};
  std::size_t runs = 0;
  for (const Case& c : cases) {
    ASSERT_TRUE(start(c.config).has_value());
    wait_for_exit(++runs);
    const std::size_t mark = HelperLog::mark();
    watchdog_pass(*state);
    EXPECT_EQ(HelperLog::entries_since(mark), (Lines{c.line, "core restarted"}));
    EXPECT_EQ(test::wait_for_core_runs(dir.path(), ++runs).size(), runs);
  }
}

TEST_F(WatchdogWinTest, ACoreReleasedByStatusIsRelaunchedWithoutAnExitLine) {
  ASSERT_TRUE(start("exit 4").has_value());
  wait_for_exit(1);
  EXPECT_FALSE(query_core_status(*state).running);
  const std::size_t mark = HelperLog::mark();
  watchdog_pass(*state);
  EXPECT_EQ(HelperLog::entries_since(mark), Lines{"core restarted"});
}

TEST_F(WatchdogWinTest, AMissingCoreIsRetriedAboutOnceASecondUntilAStop) {
  const std::string missing = dir / "missing.exe";
  ASSERT_FALSE(start("run", missing).has_value());
  const std::size_t mark = HelperLog::mark();
  std::thread watchdog(run_core_watchdog, flag, state);
  const Lines entries = HelperLog::wait_for_entries(mark, 3, 10s);
  stop_core(*state);
  const std::size_t after_stop = HelperLog::mark();
  EXPECT_TRUE(clock->wait_for_whole_pass());
  flag->store(true);
  watchdog.join();

  ASSERT_GE(entries.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_EQ(entries[i], "restart failed: core not found: " + missing);
  // A pass, then a second's sleep: the retries never come back to back.
  for (const std::chrono::milliseconds asked : clock->sleeps())
    EXPECT_EQ(asked, 1000ms);
  const std::vector<std::uint64_t> stamps = HelperLog::timestamps_since(mark);
  for (std::size_t i = 1; i < 3; ++i) {
    // In 100 ns units, less a little for the clock's grain.
    EXPECT_GE(stamps[i] - stamps[i - 1], 9'500'000u / test::ScaledSleeps::kScale);
  }
  EXPECT_EQ(HelperLog::entries_since(after_stop), Lines{}) << "logged after the stop";
  EXPECT_TRUE(test::read_core_runs(dir.path()).empty());
}

// What a user is promised: a core that dies is back within about a second, in real seconds.
// Each attempt is one second of sleep plus the pass, launch included, so consecutive relaunches
// of a core that exits at once lie a little over a second apart. The upper median of four keeps
// a loaded machine's stray slow pass (or a core not yet ended when polled) from deciding; a pace
// of two seconds, or of no sleep at all, moves every interval and so the median too.
TEST_F(WatchdogWinTest, ACoreThatDiesAtOnceIsRelaunchedOnceASecond) {
  constexpr std::size_t kIntervals = 4;
  state = std::make_shared<CoreState>(make_windows_backend(), flag);
  ASSERT_TRUE(start("exit 0").has_value());
  const std::size_t mark = HelperLog::mark();
  std::thread watchdog(run_core_watchdog, flag, state);
  // Every attempt logs "core exited: ..." and then "core restarted".
  HelperLog::wait_for_entries(mark, 2 * (kIntervals + 1), 60s);
  flag->store(true);
  watchdog.join();

  const Lines entries = HelperLog::entries_since(mark);
  const std::vector<std::uint64_t> stamps = HelperLog::timestamps_since(mark);
  ASSERT_EQ(entries.size(), stamps.size());
  std::vector<std::uint64_t> relaunched;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i] == "core restarted")
      relaunched.push_back(stamps[i]);
    else
      EXPECT_EQ(entries[i], "core exited: exit code: 0");
  }
  ASSERT_GT(relaunched.size(), kIntervals) << "too few relaunches within a minute";
  std::vector<std::uint64_t> intervals;
  for (std::size_t i = 1; i < relaunched.size(); ++i)
    intervals.push_back(relaunched[i] - relaunched[i - 1]);
  std::sort(intervals.begin(), intervals.end());
  const std::uint64_t median = intervals[intervals.size() / 2];
  // In 100 ns units: 0.8 s to 1.4 s.
  EXPECT_GE(median, 8'000'000u);
  EXPECT_LE(median, 14'000'000u);
}

TEST_F(WatchdogWinTest, AfterAStopNothingIsLoggedOrLaunched) {
  ASSERT_TRUE(start("exit 0").has_value());
  wait_for_exit(1);
  stop_core(*state);
  const std::size_t mark = HelperLog::mark();
  std::thread watchdog(run_core_watchdog, flag, state);
  EXPECT_TRUE(clock->wait_for_whole_pass());
  flag->store(true);
  watchdog.join();
  EXPECT_EQ(HelperLog::entries_since(mark), Lines{});
  EXPECT_EQ(test::read_core_runs(dir.path()).size(), 1u);
}

TEST_F(WatchdogWinTest, TheStopFlagEndsTheThreadWithinAboutASecond) {
  ASSERT_TRUE(start("run").has_value());
  // Set while the second sleep has begun: the thread ends when it is over, with no pass after.
  std::chrono::steady_clock::time_point set;
  clock->on_sleep([&](std::size_t count) {
    if (count == 2) {
      set = std::chrono::steady_clock::now();
      flag->store(true);
    }
  });
  std::thread watchdog(run_core_watchdog, flag, state);
  watchdog.join();
  EXPECT_EQ(clock->sleeps(), (std::vector<std::chrono::milliseconds>{1000ms, 1000ms}));
  EXPECT_LE(std::chrono::steady_clock::now() - set, 1500ms / test::ScaledSleeps::kScale + 500ms);
  // The core is left alone: only a stop ends it.
  EXPECT_TRUE(query_core_status(*state).running);
}

}  // namespace
}  // namespace corvid
