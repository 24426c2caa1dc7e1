#pragma once
// Pieces of the tests of the helper executable itself: a copy of it in a folder of its own, the
// helper running in the background, corvidctl, the Service Control Manager, and process counts.

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/handle_win.h"
#include "exit_codes.h"
#include "test_support_win.h"

namespace corvid::test {

using namespace std::chrono_literals;

inline constexpr char kHelperExe[] = "corvid_helper_service.exe";
inline constexpr char kCoreExe[] = "clash-rs.exe";
inline constexpr wchar_t kServiceName[] = L"corvid-helper";

// A copy of the helper in "<temp>\<label> ...\Corvid Helper" (a folder name with a blank), with
// the stand-in core beside it as clash-rs.exe when asked for. The folder inherits TempDir's access
// list, so that an elevated run may install from it, and goes away with it.
class HelperCopy {
 public:
  explicit HelperCopy(std::string_view label, bool with_core = true);
  // Ends whatever still runs from the folder: the helper and the stand-in core.
  ~HelperCopy();
  HelperCopy(const HelperCopy&) = delete;
  HelperCopy& operator=(const HelperCopy&) = delete;

  // False when the copy could not be made.
  bool ready() const { return ready_; }
  const std::string& dir() const { return dir_; }
  std::string exe() const { return dir_ + "\\" + kHelperExe; }
  std::string log_path() const { return dir_ + "\\corvid-helper.log"; }

 private:
  TempDir root_;
  std::string dir_;
  bool ready_ = false;
};

// Waits until an entry with exactly this message is in the log; returns whether one came.
bool wait_for_log_message(const std::string& path, std::string_view message,
                          std::chrono::milliseconds wait = 15s);

// A program running in the background with standard output and error collected as they come.
// Ended (TerminateProcess) and waited for at destruction, on every path of a test.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::string& program, const std::vector<std::string>& args);
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  bool started() const { return process_.valid(); }
  const std::string& start_error() const { return start_error_; }
  DWORD pid() const { return pid_; }
  HANDLE handle() const { return process_.get(); }
  // True while the process runs (after waiting up to `wait` for it to end).
  bool running(std::chrono::milliseconds wait = 0ms) const;
  // Ends it with exit code 1 and waits; true when it has ended. Cores it started are left alone.
  bool kill();
  std::string err() const;
  // Waits until standard error holds `text`.
  bool wait_for_err(std::string_view text, std::chrono::milliseconds wait = 15s) const;

 private:
  WinHandle process_;
  DWORD pid_ = 0;
  std::string start_error_;
  WinHandle err_reader_;
  std::atomic<bool> stop_reading_{false};
  mutable std::mutex mutex_;
  std::string err_;
  std::thread reader_;
};

// corvidctl's exit statuses, from the one place that defines them.
namespace exit_status {
inline constexpr DWORD kOk = ::corvid::corvidctl::kExitOk;
inline constexpr DWORD kNotOk = ::corvid::corvidctl::kExitNotOk;
inline constexpr DWORD kNoAnswer = ::corvid::corvidctl::kExitNoAnswer;
inline constexpr DWORD kUsage = ::corvid::corvidctl::kExitUsage;
inline constexpr DWORD kUntrusted = ::corvid::corvidctl::kExitUntrusted;
inline constexpr DWORD kDoctorFailed = ::corvid::corvidctl::kExitDoctorFailed;
}  // namespace exit_status

// corvidctl from the build directory, with its output captured.
ProgramResult corvidctl(const std::vector<std::string>& args);
// "corvidctl [arg] [arg]...", for failure messages.
std::string describe(const std::vector<std::string>& args);
// Pings until the helper answers "ok"; false when `wait` passed first.
bool wait_for_ping(std::chrono::milliseconds wait = 30s);
// The core's pid as "status" reports it; empty when it is not running or the request failed.
std::optional<std::uint32_t> status_pid();

// Processes whose image file is `exe_name` inside `dir`, found with a Toolhelp snapshot.
std::vector<DWORD> processes_in(const std::string& dir, std::string_view exe_name);
// Waits until no such process is left; returns what is left then.
std::vector<DWORD> wait_for_no_process(const std::string& dir, std::string_view exe_name,
                                       std::chrono::milliseconds wait = 10s);

using corvid::ScHandle;

// Opens the service "corvid-helper"; on failure the handle is empty and `error` (if given)
// holds the code.
ScHandle open_service(DWORD access, DWORD* error = nullptr);

struct ServiceConfig {
  DWORD service_type = 0;
  DWORD start_type = 0;
  DWORD error_control = 0;
  std::string binary_path;
  std::string load_order_group;
  DWORD tag_id = 0;
  std::string dependencies;  // the double-null-terminated list, as it stands
  std::string start_name;
  std::string display_name;
};
// Read back with QueryServiceConfigW; empty when the service can't be opened or queried.
std::optional<ServiceConfig> query_service_config(DWORD* error = nullptr);
std::optional<SERVICE_STATUS_PROCESS> query_service_status();

// What QueryServiceConfig2W reads back beside the main configuration.
struct ServiceFailureActions {
  DWORD reset_period = 0;  // seconds
  std::vector<SC_ACTION> actions;
  bool has_reboot_message = false;
  bool has_command = false;
  bool on_non_crash_failures = false;  // SERVICE_CONFIG_FAILURE_ACTIONS_FLAG
};
std::optional<std::string> query_service_description(DWORD* error = nullptr);
std::optional<ServiceFailureActions> query_failure_actions(DWORD* error = nullptr);
// The service's SID type (SERVICE_SID_TYPE_NONE, _UNRESTRICTED, _RESTRICTED).
std::optional<DWORD> query_service_sid_type(DWORD* error = nullptr);
// Waits until the service reports `state`; returns the last status seen.
std::optional<SERVICE_STATUS_PROCESS> wait_for_service_state(DWORD state,
                                                             std::chrono::milliseconds wait = 30s);
// Sends a control; 0 or the error code. `status` gets what ControlService returned.
DWORD control_service(DWORD control, SERVICE_STATUS* status = nullptr);
// Starts the installed service with the given start parameters; 0 or the error code.
DWORD start_service(const std::vector<std::wstring>& parameters = {});

// Removes the service in any state, for test teardown: asks it to stop, waits a while, ends its
// process if it is still there, deletes the service and waits until it is gone.
void remove_service();
// Waits until the service is no longer registered.
bool wait_for_service_gone(std::chrono::milliseconds wait = 15s);

// What the helper prints for a failed SCM call with this error code.
std::string scm_error_report(DWORD code);

// A copy of the helper in a folder with a blank in its name, and no service "corvid-helper"
// before or after each test: a failed test leaves nothing installed or running.
class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs the copy with these arguments and waits for it to end.
  ProgramResult run_helper(const std::vector<std::string>& args);
  // Installs the copy and waits until it runs and answers a ping; its status then.
  std::optional<SERVICE_STATUS_PROCESS> install_running();

  HelperCopy helper{"corvid service"};
};

}  // namespace corvid::test
