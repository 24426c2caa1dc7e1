#include "common/exe_dir.h"

#include "common/module_path.h"
#include "common/os_error.h"

namespace corvid {

Result<std::string> current_exe() {
  auto path = running_executable_path();
  if (!path)
    return std::unexpected(context("current_exe", path.error()));
  return *path;
}

}  // namespace corvid
