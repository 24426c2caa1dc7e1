#include <windows.h>

#include "common/cmdline.h"
#include "common/module_path.h"
#include "common/os_error.h"
#include "common/utf.h"
#include "common/win_handle.h"
#include "host/service.h"

namespace corvid {

Result<void> install_service() {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!manager)
    return std::unexpected(winapi_error(GetLastError()));
  // No cause here: the OS error text is the whole message.
  auto exe = running_executable_path();
  if (!exe)
    return std::unexpected(Error(os_error_text(exe.error())));
  const std::wstring binary_path = to_wide(quote_binary_path(*exe));
  ScHandle service(CreateServiceW(manager.get(), kServiceName, kServiceDisplayName, SERVICE_START,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                  SERVICE_ERROR_NORMAL, binary_path.c_str(), nullptr, nullptr,
                                  nullptr, nullptr, nullptr));
  if (!service)
    return std::unexpected(winapi_error(GetLastError()));
  if (!StartServiceW(service.get(), 0, nullptr))
    return std::unexpected(winapi_error(GetLastError()));
  return {};
}

Result<void> uninstall_service() {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager)
    return std::unexpected(winapi_error(GetLastError()));
  ScHandle service(OpenServiceW(manager.get(), kServiceName, DELETE | SERVICE_STOP));
  if (!service)
    return std::unexpected(winapi_error(GetLastError()));
  // A service that is not running refuses the stop; it is deleted all the same.
  SERVICE_STATUS ignored{};
  ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored);
  if (!DeleteService(service.get()))
    return std::unexpected(winapi_error(GetLastError()));
  return {};
}

}  // namespace corvid
