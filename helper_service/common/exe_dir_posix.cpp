// The native half, so the portable code and its tests run on the build host.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/exe_dir.h"

namespace corvid {

Result<std::string> current_exe() {
  char buffer[4096];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (length < 0) {
    const int code = errno;
    return std::unexpected(Error("current_exe", std::string(std::strerror(code)) + " (os error " +
                                                    std::to_string(code) + ")"));
  }
  return std::string(buffer, static_cast<std::size_t>(length));
}

}  // namespace corvid
