#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "fake_backend.h"
#include "log_capture.h"
#include "supervisor/core.h"

namespace corvid {
namespace {

using testing::FakeBackend;
using testing::LogCapture;

constexpr const char* kDir = FakeBackend::kInstallDir;

std::string in_dir(const std::string& name) {
  return std::string(kDir) + "\\" + name;
}

class CoreTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeBackend> os = std::make_shared<FakeBackend>();
  CoreState state{os};
  LogCapture log;

  bool held() {
    std::lock_guard guard(state.lock);
    return state.child.has_value();
  }
  bool keep_running() {
    std::lock_guard guard(state.lock);
    return state.keep_running;
  }
  std::optional<CoreLaunch> launch() {
    std::lock_guard guard(state.lock);
    return state.launch;
  }
};

TEST(ResolveLaunch, Defaults) {
  struct Case {
    StartOptions options;
    CoreLaunch launch;
  };
  const std::string dir = R"(C:\Program Files\Corvid)";
  const Case cases[] = {
      {{}, {dir, dir + R"(\clash-rs.exe)", dir + R"(\config.json)", dir + R"(\log\clash.log)"}},
      {{.work_dir = R"(D:\w)"},
       {R"(D:\w)", R"(D:\w\clash-rs.exe)", R"(D:\w\config.json)", R"(D:\w\log\clash.log)"}},
      {{.config_path = R"(C:\cfg\a.json)"},
       {dir, dir + R"(\clash-rs.exe)", R"(C:\cfg\a.json)", dir + R"(\log\clash.log)"}},
      {{.config_path = R"(cfg\a.json)", .log_path = R"(\\srv\share\c.log)"},
       {dir, dir + R"(\clash-rs.exe)", dir + R"(\cfg\a.json)", R"(\\srv\share\c.log)"}},
      {{.core_path = "core.exe", .config_path = R"(\\?\C:\v\a.json)"},
       {dir, "core.exe", R"(\\?\C:\v\a.json)", dir + R"(\log\clash.log)"}},
      // An empty work_dir is given: everything is relative to the current directory.
      {{.work_dir = ""}, {"", "clash-rs.exe", "config.json", R"(log\clash.log)"}},
      // A rooted config path without a drive keeps the work_dir's drive.
      {{.work_dir = R"(D:\w)", .config_path = R"(\etc\a.json)"},
       {R"(D:\w)", R"(D:\w\clash-rs.exe)", R"(D:\etc\a.json)", R"(D:\w\log\clash.log)"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(resolve_launch(dir, c.options), c.launch) << c.launch.config_path;
  }
}

TEST_F(CoreTest, StartWithNoFieldsLaunchesTheDefaultCore) {
  ASSERT_TRUE(start_core(state, {}, Caller::service()).has_value());
  const auto processes = os->processes();
  ASSERT_EQ(processes.size(), 1u);
  EXPECT_EQ(processes[0].core_path, in_dir("clash-rs.exe"));
  EXPECT_EQ(processes[0].work_dir, kDir);
  EXPECT_EQ(
      processes[0].command_line,
      R"("C:\Program Files\Corvid\clash-rs.exe" -d "C:\Program Files\Corvid" -c "C:\Program Files\Corvid\config.json" -l "C:\Program Files\Corvid\log\clash.log")");
  // No config given: nothing written; the log directory is created.
  EXPECT_FALSE(os->file(in_dir("config.json")));
  EXPECT_EQ(os->directories(), std::vector<std::string>{in_dir("log")});
  EXPECT_TRUE(held());
  EXPECT_TRUE(keep_running());
  EXPECT_EQ(log.messages(), std::vector<std::string>{"core started"});
}

TEST_F(CoreTest, ConfigIsWrittenExactlyAndItsDirectoryCreated) {
  const std::string text = "mixed-port: 7890\n# caf\xC3\xA9\n";
  ASSERT_TRUE(start_core(state, {.config_path = R"(cfg\a.json)", .config = text}, Caller::service())
                  .has_value());
  EXPECT_EQ(os->file(in_dir(R"(cfg\a.json)")), text);
  EXPECT_EQ(os->directories(), (std::vector<std::string>{in_dir("log"), in_dir("cfg")}));
  ASSERT_TRUE(start_core(state, {.config_path = R"(cfg\a.json)", .config = ""}, Caller::service())
                  .has_value());
  EXPECT_EQ(os->file(in_dir(R"(cfg\a.json)")), "");
}

TEST_F(CoreTest, StartReplacesTheHeldCoreFirst) {
  ASSERT_TRUE(start_core(state, {}, Caller::service()).has_value());
  const std::uint32_t first = *os->newest_pid();
  // The old core must be gone when the new one is created.
  bool old_gone_at_create = false;
  os->on_create([&] { old_gone_at_create = os->process(first).exited; });
  ASSERT_TRUE(start_core(state, {}, Caller::service()).has_value());
  EXPECT_TRUE(old_gone_at_create);
  EXPECT_TRUE(os->process(first).terminated);
  EXPECT_EQ(os->process(first).exit_code, 1u);
  EXPECT_FALSE(os->process(first).handles_open);
  EXPECT_EQ(os->alive(), 1);
  EXPECT_EQ(os->max_alive(), 1);
}

TEST_F(CoreTest, FailedConfigWriteLeavesTheRunningCoreAlone) {
  ASSERT_TRUE(start_core(state, {.work_dir = R"(D:\one)", .core_path = in_dir("clash-rs.exe")},
                         Caller::service())
                  .has_value());
  const auto before = launch();
  os->fail_writes("Access is denied. (os error 5)", 5);
  const auto result = start_core(state, {.config = "x"}, Caller::service());
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(short_text(result.error()), "write config");
  EXPECT_EQ(result.error().os_code, 5u);
  EXPECT_EQ(detailed_text(result.error()),
            "write config\n\nCaused by:\n    Access is denied. (os error 5)");
  EXPECT_EQ(log.entries().back(),
            "start failed: write config\n\nCaused by:\n    Access is denied. (os error 5)");
  EXPECT_EQ(os->alive(), 1);
  EXPECT_TRUE(held());
  EXPECT_EQ(launch(), before);
}

TEST_F(CoreTest, StartFailingBeforeTheLockChangesNothing) {
  os->set_install_dir(std::unexpected(Error("invalid exe path")));
  const auto result = start_core(state, {}, Caller::service());
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(short_text(result.error()), "invalid exe path");
  EXPECT_FALSE(keep_running());
  EXPECT_FALSE(launch().has_value());
  EXPECT_EQ(log.entries(), std::vector<std::string>{"start failed: invalid exe path"});
}

TEST_F(CoreTest, MissingCoreEndsTheOldOneAndLeavesWanted) {
  ASSERT_TRUE(start_core(state, {}, Caller::service()).has_value());
  const std::uint32_t first = *os->newest_pid();
  const auto result = start_core(state, {.core_path = R"(C:\nowhere\core.exe)"}, Caller::service());
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(detailed_text(result.error()), R"(core not found: C:\nowhere\core.exe)");
  EXPECT_EQ(log.entries().back(), R"(start failed: core not found: C:\nowhere\core.exe)");
  EXPECT_TRUE(os->process(first).terminated);
  EXPECT_FALSE(held());
  EXPECT_TRUE(keep_running());
  ASSERT_TRUE(launch().has_value());
  EXPECT_EQ(launch()->core_path, R"(C:\nowhere\core.exe)");
}

TEST_F(CoreTest, FailedProcessCreationIsSpawnCoreWithTheOsCause) {
  os->fail_creates("The directory name is invalid. (os error 267)", 267);
  const auto result = start_core(state, {}, Caller::service());
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().os_code, 267u);
  EXPECT_EQ(detailed_text(result.error()),
            "spawn core\n\nCaused by:\n    The directory name is invalid. (os error 267)");
  EXPECT_TRUE(keep_running());
  EXPECT_TRUE(launch().has_value());
  EXPECT_EQ(log.entries(),
            std::vector<std::string>{"start failed: spawn core\n\nCaused by:\n    The directory "
                                     "name is invalid. (os error 267)"});
}

TEST_F(CoreTest, StopEndsTheCoreKeepsLaunchAndAlwaysLogs) {
  stop_core(state);
  ASSERT_TRUE(start_core(state, {}, Caller::service()).has_value());
  const std::uint32_t pid = *os->newest_pid();
  const auto before = launch();
  stop_core(state);
  stop_core(state);
  EXPECT_TRUE(os->process(pid).terminated);
  EXPECT_FALSE(held());
  EXPECT_FALSE(keep_running());
  EXPECT_EQ(launch(), before);
  EXPECT_EQ(log.messages(), (std::vector<std::string>{"core stopped", "core started",
                                                      "core stopped", "core stopped"}));
}

TEST_F(CoreTest, StatusReportsRunningThenReleasesAnEndedCore) {
  EXPECT_EQ(query_core_status(state).running, false);
  EXPECT_EQ(os->polls(), 0);
  ASSERT_TRUE(start_core(state, {}, Caller::service()).has_value());
  const std::uint32_t pid = *os->newest_pid();
  CoreStatus status = query_core_status(state);
  EXPECT_TRUE(status.running);
  EXPECT_EQ(status.pid, pid);

  os->exit_process(pid, 0);
  status = query_core_status(state);
  EXPECT_FALSE(status.running);
  EXPECT_FALSE(status.pid.has_value());
  EXPECT_FALSE(held());
  EXPECT_FALSE(os->process(pid).handles_open);
  EXPECT_TRUE(keep_running());  // still wanted: the watchdog relaunches it
  const int polls = os->polls();
  status = query_core_status(state);
  EXPECT_FALSE(status.running);
  EXPECT_EQ(os->polls(), polls);  // nothing held, nothing polled
}

TEST_F(CoreTest, StatusKeepsTheChildWhenThePollFails) {
  ASSERT_TRUE(start_core(state, {}, Caller::service()).has_value());
  os->fail_polls(*os->newest_pid(), "The handle is invalid. (os error 6)", 6);
  EXPECT_FALSE(query_core_status(state).running);
  EXPECT_TRUE(held());
}

TEST_F(CoreTest, StoreStepRefusesAStaleChild) {
  struct Case {
    const char* what;
    std::function<void(CoreState&)> change;
  };
  const Case cases[] = {
      {"stopped", [](CoreState& s) { s.keep_running = false; }},
      {"newer start or stop", [](CoreState& s) { s.launches.supersede(); }},
  };
  for (const Case& c : cases) {
    auto fake = std::make_shared<FakeBackend>();
    CoreState s{fake};
    std::optional<LaunchTicket> ticket;
    {
      std::lock_guard guard(s.lock);
      s.keep_running = true;
      ticket.emplace(s);
      c.change(s);
    }
    auto child = spawn_core(*fake, resolve_launch(kDir, {}));
    ASSERT_TRUE(child.has_value());
    EXPECT_FALSE(ticket->store_child(std::move(*child), "core restarted")) << c.what;
    EXPECT_EQ(fake->alive(), 0) << c.what;
    EXPECT_TRUE(fake->processes().at(0).terminated) << c.what;
    EXPECT_FALSE(s.child.has_value()) << c.what;
    EXPECT_TRUE(s.launches.may_begin(s.launches.generation())) << c.what;
  }
}

TEST_F(CoreTest, StoreStepRefusesWhenAChildIsAlreadyHeld) {
  ASSERT_TRUE(start_core(state, {}, Caller::service()).has_value());
  std::optional<LaunchTicket> ticket;
  {
    std::lock_guard guard(state.lock);
    ticket.emplace(state);
  }
  auto extra = spawn_core(*os, resolve_launch(kDir, {}));
  ASSERT_TRUE(extra.has_value());
  EXPECT_FALSE(ticket->store_child(std::move(*extra), "core restarted"));
  EXPECT_EQ(os->alive(), 1);
}

// A launch that ends without a child, by whatever way out, is over: the next start does not wait
// for it.
TEST_F(CoreTest, ALaunchThatStoresNothingIsAbandoned) {
  const auto begin = [](CoreState& s, std::optional<LaunchTicket>& ticket) {
    std::lock_guard guard(s.lock);
    ticket.emplace(s);
  };
  struct Case {
    const char* what;
    std::function<void(CoreState&)> launch_and_leave;
  };
  const Case cases[] = {
      {"abandoned",
       [&](CoreState& s) {
         std::optional<LaunchTicket> ticket;
         begin(s, ticket);
         ticket->abandon();
       }},
      {"dropped",
       [&](CoreState& s) {
         std::optional<LaunchTicket> ticket;
         begin(s, ticket);
       }},
      {"unwound by an exception that is no std::exception",
       [&](CoreState& s) {
         try {
           std::optional<LaunchTicket> ticket;
           begin(s, ticket);
           throw 42;
         } catch (int) {
         }
       }},
  };
  for (const Case& c : cases) {
    auto fake = std::make_shared<FakeBackend>();
    CoreState s{fake};
    c.launch_and_leave(s);
    {
      std::lock_guard guard(s.lock);
      EXPECT_TRUE(s.launches.may_begin(s.launches.generation())) << c.what;
    }
    EXPECT_TRUE(start_core(s, {}, Caller::service()).has_value()) << c.what;
    EXPECT_EQ(fake->alive(), 1) << c.what;
  }
}

// Whatever the process creation throws, the start's launch ends with it.
TEST_F(CoreTest, AnExceptionFromTheLaunchEndsTheLaunchInFlight) {
  os->on_create([] { throw std::runtime_error("out of handles"); });
  const Result<void> failed = start_core(state, {}, Caller::service());
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(detailed_text(failed.error()), "spawn core\n\nCaused by:\n    out of handles");

  os->on_create([] { throw 42; });
  EXPECT_THROW((void)start_core(state, {}, Caller::service()), int);
  {
    std::lock_guard guard(state.lock);
    ASSERT_TRUE(state.launches.may_begin(state.launches.generation()))
        << "later starts and stops would wait for ever";
  }
  os->on_create(nullptr);
  stop_core(state);
  ASSERT_TRUE(start_core(state, {}, Caller::service()).has_value());
  EXPECT_EQ(os->alive(), 1);
  EXPECT_EQ(log.entries(),
            (std::vector<std::string>{"start failed: spawn core\n\nCaused by:\n    out of handles",
                                      "core stopped", "core started"}));
}

TEST_F(CoreTest, NothingStartsOnceTheServiceIsStopping) {
  auto flag = std::make_shared<std::atomic<bool>>(true);
  CoreState stopping{os, flag};
  const auto result = start_core(stopping, {}, Caller::service());
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(os->processes().size(), 0u);
  EXPECT_FALSE(stopping.keep_running);
}

TEST(ExitStatusText, DecimalOrHex) {
  EXPECT_EQ(exit_status_text(0), "exit code: 0");
  EXPECT_EQ(exit_status_text(1), "exit code: 1");
  EXPECT_EQ(exit_status_text(0x7FFFFFFF), "exit code: 2147483647");
  EXPECT_EQ(exit_status_text(0x80000000), "exit code: 0x80000000");
  EXPECT_EQ(exit_status_text(0xC0000005), "exit code: 0xc0000005");
  EXPECT_EQ(exit_status_text(0xFFFFFFFF), "exit code: 0xffffffff");
}

}  // namespace
}  // namespace corvid
