#include <windows.h>

#include <iterator>
#include <optional>
#include <string>

#include "common/cmdline.h"
#include "common/module_path.h"
#include "common/os_error.h"
#include "common/utf.h"
#include "common/handle_win.h"
#include "common/path_rules.h"
#include "host/service.h"
#include "host/service_end.h"
#include "supervisor/security_win.h"

namespace corvid {

namespace {

// What the service is, and that the SCM brings it back after a failure. With its cores in jobs
// of its own, a crashed helper leaves no core behind, so the restarted one starts clean.
Result<void> describe(SC_HANDLE service) {
  SERVICE_DESCRIPTIONW description{const_cast<LPWSTR>(kServiceDescription)};
  SC_ACTION actions[std::size(kRestartDelaysMs)];
  for (std::size_t i = 0; i < std::size(actions); ++i)
    actions[i] = SC_ACTION{SC_ACTION_RESTART, kRestartDelaysMs[i]};
  SERVICE_FAILURE_ACTIONSW failure{};
  failure.dwResetPeriod = kFailureResetSeconds;
  failure.cActions = static_cast<DWORD>(std::size(actions));
  failure.lpsaActions = actions;
  // A stop with a non-zero exit code counts as a failure too, not only a crash. A Service
  // Control Manager that does not know this setting at all (Wine's) still restarts the service
  // after a crash: that is no reason to leave it installed but not started.
  SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
  // The service's own SID (NT SERVICE\corvid-helper) in its token, so that an access list can
  // name this service alone rather than every LocalSystem process. Tolerated as above.
  SERVICE_SID_INFO sid{SERVICE_SID_TYPE_UNRESTRICTED};
  struct Setting {
    DWORD level;
    void* info;
    bool tolerated;  // when the Service Control Manager does not know it (ERROR_INVALID_LEVEL)
  };
  const Setting settings[] = {
      {SERVICE_CONFIG_DESCRIPTION, &description, false},
      {SERVICE_CONFIG_FAILURE_ACTIONS, &failure, false},
      {SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag, true},
      {SERVICE_CONFIG_SERVICE_SID_INFO, &sid, true},
  };
  for (const Setting& setting : settings) {
    Result<void> changed =
        check_win32(ChangeServiceConfig2W(service, setting.level, setting.info), winapi_error);
    if (!changed && !(setting.tolerated && changed.error().os_code == ERROR_INVALID_LEVEL))
      return changed;
  }
  return {};
}

}  // namespace

Result<void> register_service(const std::string& exe) {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!manager)
    return std::unexpected(winapi_error(GetLastError()));
  const std::wstring binary_path = to_wide(quote_binary_path(exe));
  ScHandle service(CreateServiceW(manager.get(), kServiceName, kServiceDisplayName,
                                  SERVICE_START | SERVICE_CHANGE_CONFIG, SERVICE_WIN32_OWN_PROCESS,
                                  SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, binary_path.c_str(),
                                  nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service)
    return std::unexpected(winapi_error(GetLastError()));
  if (Result<void> described = describe(service.get()); !described)
    return described;
  return check_win32(StartServiceW(service.get(), 0, nullptr), winapi_error);
}

Result<void> install_from(const std::string& exe, InstallReader& reader,
                          const ServiceRegistration& registration, const TrustedSids& trusted) {
  // The executable is an entry of its directory: judged with everything else there.
  CORVID_TRY(judge_install(parent_path(exe).value_or(std::string()), reader, trusted));
  return registration(exe);
}

Result<void> install_service() {
  // No cause here: the OS error text is the whole message.
  CORVID_TRY_ASSIGN(const std::string exe, running_executable_path());
  return install_from(exe, windows_install_reader(), register_service);
}

Result<void> uninstall_service() {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager)
    return std::unexpected(winapi_error(GetLastError()));
  ScHandle service(
      OpenServiceW(manager.get(), kServiceName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
  if (!service)
    return std::unexpected(winapi_error(GetLastError()));
  // Opened before the stop, while its id is surely the service's.
  const ServiceProcess process = open_service_process(service.get());
  // A service that is not running refuses the stop; it is deleted all the same.
  SERVICE_STATUS ignored{};
  ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored);
  // An installer that replaces the files next must find nothing holding them.
  if (const ServiceEnd end = wait_for_service_end(service.get(), process, kUninstallWait);
      end != ServiceEnd::kGone)
    log_wait_ran_out(end);
  return check_win32(DeleteService(service.get()), winapi_error);
}

}  // namespace corvid
