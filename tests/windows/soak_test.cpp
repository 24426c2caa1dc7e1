// A client hammering start, stop and status through the pipe while the stand-in core keeps
// dying on its own and the watchdog relaunches it: never two cores, none after the last stop.
// It hammers for CORVID_SOAK_SECONDS (whole seconds), 1 by default so that every test run has a
// short soak. Run it long directly, past CTest's timeout of 300 s:
//   CORVID_SOAK_SECONDS=600 build/mingw/wine-run build/mingw/bin/soak_test.exe
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <random>
#include <thread>

#include <nlohmann/json.hpp>

#include "soak.h"
#include "common/utf.h"
#include "pipe_test_support.h"
#include "supervisor/watchdog.h"
#include "test_support_win.h"

namespace corvid {
namespace {

using namespace std::chrono_literals;

constexpr wchar_t kCoreName[] = L"corvid-soak-core.exe";

int count_cores() {
  WinHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid())
    return -1;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (_wcsicmp(entry.szExeFile, kCoreName) == 0)
      ++count;
  }
  return count;
}

std::string ask(const std::string& line) {
  std::optional<test::RawPipeClient> client = test::RawPipeClient::connect(20s);
  if (!client || client->write(line + "\n") != 0)
    return {};
  return client->read_line(20s).bytes;
}

TEST(Soak, NeverTwoCoresAndNoneAfterTheLastStop) {
  const int seconds = corvid::testing::soak_seconds();
  ASSERT_GT(seconds, 0) << "CORVID_SOAK_SECONDS is a whole number of seconds";
  test::TempDir dir{"soak test"};
  const std::string core = dir / from_wide(kCoreName);
  ASSERT_TRUE(CopyFileW(to_wide(test::built_program("corvid_fake_core.exe")).c_str(),
                        to_wide(core).c_str(), FALSE));
  ASSERT_EQ(count_cores(), 0) << "a core of an earlier run is still there";

  const std::size_t mark = test::HelperLog::mark();
  // The watchdog makes ten passes a second: more of them meet the client's requests.
  auto clock = std::make_shared<test::ScaledSleeps>();
  test::ServerThread server({}, clock);
  std::thread watchdog(run_core_watchdog, server.shared_stop_flag(), server.shared_state());

  std::atomic<bool> done{false};
  std::atomic<int> most{0};
  std::atomic<int> samples{0};
  std::thread monitor([&] {
    while (!done.load()) {
      const int now = count_cores();
      if (now > most.load())
        most.store(now);
      ++samples;
      std::this_thread::sleep_for(10ms);
    }
  });

  nlohmann::json start = {{"action", "start"}, {"work_dir", dir.path()}, {"core_path", core}};
  std::mt19937 random(2024);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int requests = 0, answered = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    std::string line;
    const unsigned pick = random() % 20;
    switch (pick < 6 ? 0 : pick < 9 ? 2 : 3) {
      case 0:
        // Each core lives a random short while, then exits on its own.
        start["config"] = "sleep " + std::to_string(100 + random() % 500) + "\nexit 0";
        line = start.dump();
        break;
      case 2:
        line = R"({"action":"stop"})";
        break;
      default:
        line = R"({"action":"status"})";
    }
    ++requests;
    if (!ask(line).empty())
      ++answered;
    // Room for cores to come up, and to die on their own between requests.
    std::this_thread::sleep_for(std::chrono::milliseconds(50 + random() % 400));
  }
  // On a loaded machine a core can take longer to come up and die than the requests leave it.
  // One more that dies on its own, left alone until the watchdog has relaunched it, so that the
  // relaunch is part of every soak.
  const auto relaunched = [&] {
    const std::vector<std::string> seen = test::HelperLog::entries_since(mark);
    return std::count(seen.begin(), seen.end(), "core restarted") > 0;
  };
  if (!relaunched()) {
    start["config"] = "sleep 100\nexit 0";
    ++requests;
    if (!ask(start.dump()).empty())
      ++answered;
    const auto give_up = std::chrono::steady_clock::now() + 20s;
    while (!relaunched() && std::chrono::steady_clock::now() < give_up)
      std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(ask(R"({"action":"stop"})"),
            "{\"id\":null,\"ok\":true,\"error\":null,\"data\":null}\n");
  const int after_stop = count_cores();
  EXPECT_TRUE(clock->wait_for_whole_pass());  // which must launch nothing
  const int later = count_cores();
  done = true;
  monitor.join();
  server.shared_stop_flag()->store(true);
  watchdog.join();

  EXPECT_GE(requests, 2 * seconds);
  EXPECT_EQ(answered, requests);
  EXPECT_GT(samples.load(), 50);
  EXPECT_EQ(most.load(), 1) << "the count must have seen the cores it counts";
  EXPECT_EQ(after_stop, 0);
  EXPECT_EQ(later, 0);
  EXPECT_GE(test::read_core_runs(dir.path()).size(), 2u) << "a start and a relaunch at least";
  const std::vector<std::string> entries = test::HelperLog::entries_since(mark);
  EXPECT_GT(std::count(entries.begin(), entries.end(), "core restarted"), 0)
      << "no core died on its own and was relaunched";
}

}  // namespace
}  // namespace corvid
