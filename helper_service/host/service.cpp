#include <windows.h>

#include "common/exe_dir.h"
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

Result<void> report(SERVICE_STATUS_HANDLE handle, DWORD state, DWORD controls) {
  SERVICE_STATUS status = status_report(state, controls);
  return check_win32(SetServiceStatus(handle, &status), winapi_error);
}

void service_error(const Error& error) {
  log_line("service error: " + detailed_text(error));
}

}  // namespace

DWORD WINAPI control_handler(DWORD control, DWORD, LPVOID, LPVOID context) {
  if (control != SERVICE_CONTROL_STOP)
    return ERROR_CALL_NOT_IMPLEMENTED;
  auto* stop_flag = static_cast<std::shared_ptr<std::atomic<bool>>*>(context);
  (*stop_flag)->exchange(true);
  return NO_ERROR;
}

void WINAPI service_main(DWORD, LPWSTR*) {
  Result<std::string> dir = exe_dir();
  if (!dir) {
    service_error(dir.error());
    return;
  }
  init_log(*dir);
  auto stop_flag = std::make_shared<std::atomic<bool>>(false);
  auto state = std::make_shared<CoreState>(make_windows_backend(), stop_flag);
  protect_core_config(*state->backend);

  // The SCM may call the handler until the process ends, so its share is never released.
  auto* handler_share = new std::shared_ptr<std::atomic<bool>>(stop_flag);
  SERVICE_STATUS_HANDLE handle =
      RegisterServiceCtrlHandlerExW(kServiceName, control_handler, handler_share);
  if (handle == nullptr) {
    service_error(winapi_error(GetLastError()));
    return;
  }
  if (Result<void> running = report(handle, SERVICE_RUNNING, SERVICE_ACCEPT_STOP); !running) {
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
  if (Result<void> stopped = report(handle, SERVICE_STOPPED, 0); !stopped) {
    service_error(stopped.error());
  }
}

}  // namespace corvid
