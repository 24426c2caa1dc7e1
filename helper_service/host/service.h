#pragma once
// The executable's run modes: under the Service Control Manager, console, install, uninstall.

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/error.h"
#include "common/product_names.h"
#include "supervisor/core.h"
#include "supervisor/install_security.h"

namespace corvid {

inline constexpr wchar_t kServiceDescription[] =
    L"Starts and supervises the Corvid proxy core (clash-rs.exe) for the Corvid desktop app, "
    L"which asks for it over \\\\.\\pipe\\corvid-helper.";
// After a failure (a crash, or a stop with a non-zero exit code) the SCM restarts the service
// after these delays, the first, second and every later time; the count starts again after a
// day without failures.
inline constexpr unsigned kRestartDelaysMs[] = {1000, 5000, 60000};
inline constexpr unsigned kFailureResetSeconds = 24 * 60 * 60;

enum class RunMode { kService, kInstall, kUninstall, kConsole };

// Only the whole first argument counts, case-sensitively.
RunMode select_mode(int argc, const wchar_t* const* argv);

// The process's exit status for the mode; errors are reported on standard error.
int run_mode(RunMode mode);

Result<void> run_service_dispatcher();
// Returns only on error.
Result<void> run_console();
// `install`: install_from for the running executable, on the system's own files, trusting no one
// but LocalSystem, Administrators and TrustedInstaller.
Result<void> install_service();

// The Service Control Manager's part of `install`, after its judgement: registers `exe` as the
// service (quoted, LocalSystem, automatic start, its description, restarts after a failure, its
// own SID) and starts it.
Result<void> register_service(const std::string& exe);
using ServiceRegistration = std::function<Result<void>(const std::string& exe)>;
// Before the Service Control Manager hears of anything: the install of `exe`, its directory, what
// is in it and every directory above it, must be admin-only where it really is (judge_install),
// or the service, which runs as LocalSystem, would run whatever someone else put there. Only then
// `registration`. `trusted` is for tests alone: under Wine every file is the running user's.
Result<void> install_from(const std::string& exe, InstallReader& reader,
                          const ServiceRegistration& registration,
                          const TrustedSids& trusted = administrative_sids());
Result<void> uninstall_service();

// The first entry of each run: "corvid-helper <version>, process <pid>".
std::string start_entry(unsigned long process_id);

// The service-specific exit code (with ERROR_SERVICE_SPECIFIC_ERROR) of a service that stopped
// itself because its pipe could not be set up: the SCM's failure actions then restart it.
inline constexpr DWORD kExitControlChannelFailed = 1;

// What the control handler shares with service_main. A stop the SCM asked for is a clean one;
// `stop_flag` set by anything else is the service giving up.
struct ServiceControl {
  std::shared_ptr<std::atomic<bool>> stop_flag;
  std::atomic<bool> stop_requested{false};
};

// The Stopped report: exit code 0 after a requested stop, ERROR_SERVICE_SPECIFIC_ERROR with
// kExitControlChannelFailed otherwise.
SERVICE_STATUS stopped_report(bool stop_requested);

void WINAPI service_main(DWORD argc, LPWSTR* argv);
// The context is a ServiceControl*. Stop sets the flag; Interrogate succeeds (the SCM keeps the
// status itself); nothing else is accepted.
DWORD WINAPI control_handler(DWORD control, DWORD event_type, LPVOID event_data, LPVOID context);

// Starts the pipe server and then the watchdog, each on a detached thread with a 2 MiB stack.
void start_workers(const std::shared_ptr<CoreState>& state,
                   const std::shared_ptr<std::atomic<bool>>& stop_flag);

}  // namespace corvid
