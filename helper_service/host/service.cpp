#include <windows.h>

#include <string>

#include "common/exe_dir.h"
#include "corvid_version.h"
#include "common/os_error.h"
#include "log/log.h"
#include "host/service.h"
#include "supervisor/backend_win.h"

namespace corvid {

namespace {

SERVICE_STATUS status_report(DWORD state, DWORD controls) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = controls;
  return status;
}

Result<void> report(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS status) {
  return check_win32(SetServiceStatus(handle, &status), winapi_error);
}

void service_error(const Error& error) {
  log_line("service error: " + detailed_text(error));
}

}  // namespace

std::string start_entry(unsigned long process_id) {
  return std::string(kServiceNameUtf8) + " " + kVersion + ", process " + std::to_string(process_id);
}

SERVICE_STATUS stopped_report(bool stop_requested) {
  SERVICE_STATUS status = status_report(SERVICE_STOPPED, 0);
  if (!stop_requested) {
    status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = kExitControlChannelFailed;
  }
  return status;
}

DWORD WINAPI control_handler(DWORD control, DWORD, LPVOID, LPVOID context) {
  auto* shared = static_cast<ServiceControl*>(context);
  switch (control) {
    case SERVICE_CONTROL_STOP:
      // Said before the flag is set, so that service_main never sees the flag alone.
      shared->stop_requested.store(true);
      shared->stop_flag->exchange(true);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI service_main(DWORD, LPWSTR*) {
  Result<std::string> dir = exe_dir();
  if (!dir) {
    service_error(dir.error());
    return;
  }
  init_log(*dir);
  log_line(start_entry(GetCurrentProcessId()));
  auto stop_flag = std::make_shared<std::atomic<bool>>(false);
  auto state = std::make_shared<CoreState>(make_windows_backend(), stop_flag);
  protect_core_config(*state->backend);

  // The SCM may call the handler until the process ends, so its share is never released.
  auto* control = new ServiceControl{stop_flag};
  SERVICE_STATUS_HANDLE handle =
      RegisterServiceCtrlHandlerExW(kServiceName, control_handler, control);
  if (handle == nullptr) {
    service_error(winapi_error(GetLastError()));
    return;
  }
  if (Result<void> running = report(handle, status_report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP));
      !running) {
    service_error(running.error());
    return;
  }
  start_workers(state, stop_flag);

  // Only Running and Stopped are reported, and the stop is polled for: starting and stopping take
  // milliseconds (detached workers; a stop ends one job), so a pending state would have no
  // progress to show, and the handler, which must return at once, only has to set the flag.
  while (!stop_flag->load())
    Sleep(500);
  // The flag also stops every start from launching, and stop_core waits out a launch in flight,
  // so no core outlives the Stopped report.
  stop_core(*state);
  // A stop the service made itself is a failure to the SCM, so that its failure actions (set at
  // install) restart it.
  if (Result<void> stopped = report(handle, stopped_report(control->stop_requested.load()));
      !stopped) {
    service_error(stopped.error());
  }
}

}  // namespace corvid
