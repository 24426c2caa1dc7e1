#pragma once
// Waiting for the installed service to be gone, so that whoever follows `uninstall` (an
// installer replacing the files) finds neither the helper nor its core holding them.

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "common/handle_win.h"

namespace corvid {

// How long `uninstall` waits before it deletes the service all the same.
inline constexpr std::chrono::seconds kUninstallWait{30};

// The service's process, opened while the Service Control Manager names it as running, so that
// its id cannot pass to another process while the handle is held.
struct ServiceProcess {
  WinHandle handle;  // empty when the service does not run (or its process cannot be opened)
  DWORD pid = 0;
  std::uint64_t created = 0;  // FILETIME
  std::wstring core;          // the core beside its image
};
// `service` needs SERVICE_QUERY_STATUS.
ServiceProcess open_service_process(SC_HANDLE service);

enum class ServiceEnd { kGone, kServiceRuns, kCoreRuns };

// Waits, at most `limit` in all, until the service reports Stopped, its process has ended, and
// no process that it started from the core beside it (clash-rs.exe in its folder) runs.
ServiceEnd wait_for_service_end(SC_HANDLE service, const ServiceProcess& process,
                                std::chrono::milliseconds limit);

// Says in the helper log beside this program (and on standard error) what still ran when the
// wait ran out.
void log_wait_ran_out(ServiceEnd end);

}  // namespace corvid
