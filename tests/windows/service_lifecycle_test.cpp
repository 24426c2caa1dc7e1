// The service under Wine's Service Control Manager: stop through the SCM, with and without a
// core; controls it doesn't accept; a manual start with parameters; uninstall.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/utf.h"
#include "corvid_version.h"
#include "host_support.h"
#include "test_support_win.h"

namespace corvid {
namespace {

using namespace std::chrono_literals;
using test::LogEntry;
using test::ProgramResult;

using ServiceLifecycleTest = test::ServiceTest;

std::vector<std::string> messages(const std::vector<LogEntry>& entries) {
  std::vector<std::string> result;
  for (const LogEntry& entry : entries)
    result.push_back(entry.message);
  return result;
}

std::size_t count_of(const std::vector<std::string>& list, std::string_view message) {
  return static_cast<std::size_t>(std::count(list.begin(), list.end(), message));
}

std::size_t index_of(const std::vector<std::string>& list, std::string_view message) {
  return static_cast<std::size_t>(std::find(list.begin(), list.end(), message) - list.begin());
}

// Sends Stop and waits for all of it: SERVICE_STOPPED with exit code 0, and the process gone
// with status 0.
void stop_through_scm(const SERVICE_STATUS_PROCESS& running) {
  WinHandle process = test::open_process(running.dwProcessId);
  ASSERT_TRUE(process.valid());
  ASSERT_EQ(test::control_service(SERVICE_CONTROL_STOP), 0u);
  const std::optional<SERVICE_STATUS_PROCESS> stopped =
      test::wait_for_service_state(SERVICE_STOPPED);
  ASSERT_TRUE(stopped.has_value());
  EXPECT_EQ(stopped->dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(stopped->dwWin32ExitCode, 0u);
  EXPECT_EQ(stopped->dwServiceSpecificExitCode, 0u);
  EXPECT_EQ(test::wait_exit_code(process.get(), 15s), std::optional<DWORD>(0))
      << "the service process did not end with status 0";
}

TEST_F(ServiceLifecycleTest, StopEndsTheCoreLogsItAndEndsTheProcess) {
  const std::optional<SERVICE_STATUS_PROCESS> running = install_running();
  ASSERT_TRUE(running.has_value());
  const ProgramResult started = test::corvidctl({"start", "--config", "run"});
  ASSERT_EQ(started.exit_code, 0u) << started.out << started.err;
  const std::optional<std::uint32_t> core_pid = test::status_pid();
  ASSERT_TRUE(core_pid.has_value());
  ASSERT_EQ(test::processes_in(helper.dir(), test::kCoreExe), std::vector<DWORD>{*core_pid});
  WinHandle core = test::open_process(*core_pid);
  ASSERT_TRUE(core.valid());

  stop_through_scm(*running);

  // Ended by the service (exit code 1), not left behind.
  EXPECT_EQ(test::wait_exit_code(core.get(), 5s), std::optional<DWORD>(1));
  EXPECT_TRUE(test::processes_in(helper.dir(), test::kCoreExe).empty());
  const std::vector<std::string> log = messages(test::read_log(helper.log_path()));
  EXPECT_EQ(count_of(log, "core stopped"), 1u);
  EXPECT_LT(index_of(log, "core started"), index_of(log, "core stopped"));
  for (const std::string& message : log)
    EXPECT_FALSE(message.starts_with("service error: ")) << message;
  // Nobody serves the pipe any more, and the service is still installed.
  EXPECT_EQ(test::corvidctl({"ping"}).exit_code, 2u);
  EXPECT_TRUE(test::query_service_config().has_value());
}

TEST_F(ServiceLifecycleTest, AServiceThatDiesTakesItsCoreWithIt) {
  const std::optional<SERVICE_STATUS_PROCESS> running = install_running();
  ASSERT_TRUE(running.has_value());
  const ProgramResult started = test::corvidctl({"start", "--config", "spawn\nrun"});
  ASSERT_EQ(started.exit_code, 0u) << started.out << started.err;
  const std::optional<std::uint32_t> core_pid = test::status_pid();
  ASSERT_TRUE(core_pid.has_value());
  ASSERT_EQ(test::wait_for_core_runs(helper.dir(), 2).size(), 2u);
  WinHandle core = test::open_process(*core_pid);
  ASSERT_TRUE(core.valid());

  // As a crash would end it: no stop, no clean-up in the service.
  WinHandle service(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
                                FALSE, running->dwProcessId));
  ASSERT_TRUE(service.valid());
  ASSERT_TRUE(TerminateProcess(service.get(), 3));
  ASSERT_EQ(test::wait_exit_code(service.get(), 10s), std::optional<DWORD>(3));

  EXPECT_TRUE(test::wait_exit_code(core.get(), 2s).has_value()) << "the core outlived the service";
  EXPECT_EQ(test::wait_for_no_process(helper.dir(), test::kCoreExe, 2s), std::vector<DWORD>{});
}

TEST_F(ServiceLifecycleTest, StopWithoutACoreStillLogsCoreStopped) {
  const std::optional<SERVICE_STATUS_PROCESS> running = install_running();
  ASSERT_TRUE(running.has_value());
  stop_through_scm(*running);
  const std::vector<std::string> log = messages(test::read_log(helper.log_path()));
  // The first entry says which helper ran.
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0], std::string("corvid-helper ") + kVersion + ", process " +
                        std::to_string(running->dwProcessId));
  EXPECT_EQ(count_of(log, "core stopped"), 1u);
  EXPECT_EQ(count_of(log, "core started"), 0u);
}

// What an installer does next: write the new files over the old ones.
TEST_F(ServiceLifecycleTest, WhenUninstallReturnsTheHelperAndItsCoreAreGone) {
  const std::optional<SERVICE_STATUS_PROCESS> running = install_running();
  ASSERT_TRUE(running.has_value());
  const ProgramResult started = test::corvidctl({"start", "--config", "run"});
  ASSERT_EQ(started.exit_code, 0u) << started.out << started.err;
  ASSERT_TRUE(test::status_pid().has_value());

  const ProgramResult removed = run_helper({"uninstall"});
  EXPECT_EQ(removed.exit_code, 0u) << removed.err;
  EXPECT_EQ(removed.err, "");
  EXPECT_EQ(removed.out, "");
  EXPECT_EQ(test::processes_in(helper.dir(), test::kHelperExe), std::vector<DWORD>{});
  EXPECT_EQ(test::processes_in(helper.dir(), test::kCoreExe), std::vector<DWORD>{});
  for (const char* name : {test::kHelperExe, test::kCoreExe}) {
    const std::string file = helper.dir() + "\\" + name;
    EXPECT_TRUE(CopyFileW(to_wide(test::built_program(test::kHelperExe)).c_str(),
                          to_wide(file).c_str(), FALSE))
        << name << ": " << GetLastError();
  }
  EXPECT_TRUE(test::wait_for_service_gone());
}

TEST_F(ServiceLifecycleTest, ControlsOtherThanStopLeaveTheServiceRunning) {
  const std::optional<SERVICE_STATUS_PROCESS> running = install_running();
  ASSERT_TRUE(running.has_value());
  struct Case {
    DWORD control;
    const char* name;
    bool reaches_handler;  // passed on by the SCM rather than refused there
  };
  const Case cases[] = {
      {SERVICE_CONTROL_PAUSE, "PAUSE", false},
      {SERVICE_CONTROL_CONTINUE, "CONTINUE", false},
      {SERVICE_CONTROL_PARAMCHANGE, "PARAMCHANGE", false},
      {SERVICE_CONTROL_INTERROGATE, "INTERROGATE", true},
      {128, "user-defined 128", true},
  };
  for (const Case& c : cases) {
    const DWORD error = test::control_service(c.control);
    // Pause, continue and parameter changes are not among the accepted controls, so the SCM
    // refuses them itself. The others reach the handler, which refuses them; what the SCM makes
    // of that is its own business (Wine reports success).
    if (!c.reaches_handler) {
      EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL)) << c.name;
    }
    const std::optional<SERVICE_STATUS_PROCESS> status = test::query_service_status();
    ASSERT_TRUE(status.has_value()) << c.name;
    EXPECT_EQ(status->dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING)) << c.name;
    EXPECT_EQ(status->dwProcessId, running->dwProcessId) << c.name;
  }
  // A stop would show at the main thread's next turn, within 500 ms; wait past one and ask the
  // service itself.
  Sleep(600);
  EXPECT_TRUE(test::wait_for_ping(5s));
  const std::optional<SERVICE_STATUS_PROCESS> after = test::query_service_status();
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(after->dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(count_of(messages(test::read_log(helper.log_path())), "core stopped"), 0u);
}

TEST_F(ServiceLifecycleTest, AManualStartIgnoresItsParameters) {
  const std::optional<SERVICE_STATUS_PROCESS> first = install_running();
  ASSERT_TRUE(first.has_value());
  stop_through_scm(*first);

  // Words that would select another mode on a command line change nothing here.
  ASSERT_EQ(test::start_service({L"uninstall", L"console", L"install"}), 0u);
  const std::optional<SERVICE_STATUS_PROCESS> second =
      test::wait_for_service_state(SERVICE_RUNNING);
  ASSERT_TRUE(second.has_value());
  ASSERT_EQ(second->dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_NE(second->dwProcessId, first->dwProcessId);
  EXPECT_EQ(second->dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));
  EXPECT_TRUE(test::wait_for_ping());
  EXPECT_TRUE(test::query_service_config().has_value());
  stop_through_scm(*second);
  EXPECT_EQ(count_of(messages(test::read_log(helper.log_path())), "core stopped"), 2u);
}

}  // namespace
}  // namespace corvid
