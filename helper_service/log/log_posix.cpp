// The native log backend, so the portable code and its tests run on the build host.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "common/product_names.h"
#include "log/log_platform.h"

namespace corvid::log_platform {

std::string join_log_path(const std::string& dir) {
  const std::string name(kLogFileName);
  if (dir.empty() || dir.back() == '/')
    return dir + name;
  return dir + "/" + name;
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

namespace {
FileIdentity state_of(const struct stat& info) {
  return FileIdentity{static_cast<std::uint64_t>(info.st_dev),
                      static_cast<std::uint64_t>(info.st_ino),
                      static_cast<std::uint64_t>(info.st_size)};
}
}  // namespace

std::optional<FileIdentity> held_file_state(FileHandle file) {
  struct stat info {};
  if (::fstat(static_cast<int>(file), &info) != 0)
    return std::nullopt;
  return state_of(info);
}

std::optional<std::uint64_t> held_file_size(FileHandle file) {
  const std::optional<FileIdentity> state = held_file_state(file);
  if (!state)
    return std::nullopt;
  return state->size;
}

std::optional<FileIdentity> named_file_state(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0)
    return std::nullopt;
  return state_of(info);
}

Result<void> rename_held_file(FileHandle file, const std::string& from, const std::string& to) {
  // POSIX renames by name only. The check that the name is still this file and the rename are
  // made one step for other writers by a lock on the directory, which every rotation takes.
  const std::size_t slash = from.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : from.substr(0, slash + 1);
  const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0)
    return std::unexpected(Error("cannot open " + dir));
  bool renamed = false;
  if (::flock(dir_fd, LOCK_EX) == 0) {
    const std::optional<FileIdentity> held = held_file_state(file);
    const std::optional<FileIdentity> named = named_file_state(from);
    renamed = held && named && held->same_file(*named) && ::rename(from.c_str(), to.c_str()) == 0;
  }
  ::close(dir_fd);  // releases the lock
  if (!renamed)
    return std::unexpected(Error("cannot rename " + from));
  return {};
}

std::uint64_t filetime_now() {
  // FILETIME counts 100 ns intervals from 1601; Unix time counts from 1970.
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<std::uint64_t>(now.tv_sec) + 11644473600ull) * 10000000ull +
         static_cast<std::uint64_t>(now.tv_nsec) / 100;
}

}  // namespace corvid::log_platform
