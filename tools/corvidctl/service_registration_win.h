#pragma once
// The one reader of the helper service's registration with the Service Control Manager: the
// program it runs, how it starts and its state now. Standard users may read all of it.

#include <windows.h>

#include <string>

#include "common/error.h"

namespace corvid::corvidctl {

struct ServiceRegistration {
  std::string binary_path;  // as registered: the quoted program, perhaps with arguments
  DWORD start_type = 0;     // SERVICE_AUTO_START, ...
  SERVICE_STATUS_PROCESS status{};
};

// The registration of the service `name` (by default the one pipe_client::endpoint() names: the
// helper's, unless a test names its own). On failure the error's
// message says what could not be read ("cannot open the Service Control Manager: ", "<service>: ",
// "cannot read the configuration of <service>: ", "cannot read the state of <service>: ",
// followed by the OS error text), and its os_code is the system's: ERROR_SERVICE_DOES_NOT_EXIST
// when there is no such service.
Result<ServiceRegistration> read_service_registration(const std::wstring& name);
Result<ServiceRegistration> read_service_registration();

}  // namespace corvid::corvidctl
