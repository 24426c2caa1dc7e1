// The native log backend, so the portable code and its tests run on the build host.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "log/log_platform.h"

namespace corvid::log_platform {

std::string join_log_path(const std::string& dir) {
  if (dir.empty() || dir.back() == '/')
    return dir + "corvid-helper.log";
  return dir + "/corvid-helper.log";
}

std::optional<FileHandle> open_append(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0)
    return std::nullopt;
  return fd;
}

void close_file(FileHandle file) {
  ::close(static_cast<int>(file));
}

namespace {
void write_fd(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}
}  // namespace

void write_all(FileHandle file, std::string_view bytes) {
  write_fd(static_cast<int>(file), bytes);
}

void write_stderr(std::string_view bytes) {
  write_fd(STDERR_FILENO, bytes);
}

std::uint64_t filetime_now() {
  // FILETIME counts 100 ns intervals from 1601; Unix time counts from 1970.
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<std::uint64_t>(now.tv_sec) + 11644473600ull) * 10000000ull +
         static_cast<std::uint64_t>(now.tv_nsec) / 100;
}

}  // namespace corvid::log_platform
