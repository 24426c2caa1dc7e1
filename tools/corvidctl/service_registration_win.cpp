#include "service_registration_win.h"

#include <cstdint>
#include <utility>
#include <vector>

#include "common/handle_win.h"
#include "common/os_error.h"
#include "common/utf.h"
#include "pipe_client_win.h"

namespace corvid::corvidctl {

namespace {

// What could not be read, followed by the last error's text; its code kept.
Error failed_reading(std::string what) {
  const DWORD code = GetLastError();
  Error error(std::move(what) + os_error_text(code));
  error.os_code = code;
  return error;
}

}  // namespace

Result<ServiceRegistration> read_service_registration(const std::wstring& name) {
  const std::string shown = from_wide(name);
  const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager)
    return std::unexpected(failed_reading("cannot open the Service Control Manager: "));
  const ScHandle service(
      OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
  if (!service)
    return std::unexpected(failed_reading(shown + ": "));
  DWORD needed = 0;
  QueryServiceConfigW(service.get(), nullptr, 0, &needed);
  // QUERY_SERVICE_CONFIGW holds pointers: keep the buffer aligned for them.
  std::vector<std::uint64_t> buffer((needed + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t) +
                                    1);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service.get(), config,
                           static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t)), &needed))
    return std::unexpected(failed_reading("cannot read the configuration of " + shown + ": "));
  ServiceRegistration registration;
  registration.binary_path =
      config->lpBinaryPathName == nullptr ? std::string() : from_wide(config->lpBinaryPathName);
  registration.start_type = config->dwStartType;
  DWORD size = 0;
  if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                            reinterpret_cast<BYTE*>(&registration.status),
                            sizeof registration.status, &size))
    return std::unexpected(failed_reading("cannot read the state of " + shown + ": "));
  return registration;
}

Result<ServiceRegistration> read_service_registration() {
  return read_service_registration(pipe_client::endpoint().service_name);
}

}  // namespace corvid::corvidctl
