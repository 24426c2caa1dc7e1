// The Windows log backend.
#include <windows.h>

#include "common/utf.h"
#include "common/handle_win.h"
#include "common/io_win.h"
#include "common/os_error.h"
#include "common/path_rules.h"
#include "common/rename_win.h"
#include "log/log.h"
#include "log/log_platform.h"

namespace corvid::log_platform {

// The same joining rules as every other path of the helper.
std::string join_log_path(const std::string& dir) {
  return join_path(dir, kLogFileName);
}

namespace {
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
}  // namespace

std::optional<FileHandle> open_append(const std::string& path) {
  // Without FILE_WRITE_DATA every write lands at the current end of the file. Reading the
  // attributes tells which file the handle is and its size; it takes no part in sharing. Sharing
  // delete lets any writer rename the file while the others hold it.
  constexpr DWORD kAppendOnly = (FILE_GENERIC_WRITE & ~FILE_WRITE_DATA) | FILE_READ_ATTRIBUTES;
  const std::wstring wide = to_wide(path);
  WinHandle file(
      CreateFileW(wide.c_str(), kAppendOnly, kShareAll, nullptr, OPEN_ALWAYS, 0, nullptr));
  if (!file)
    return std::nullopt;
  // Kept by the log sink until the process ends.
  return reinterpret_cast<FileHandle>(file.release());
}

void close_file(FileHandle file) {
  WinHandle owned(reinterpret_cast<HANDLE>(file));
}

void write_all(FileHandle file, std::string_view bytes) {
  corvid::write_all(reinterpret_cast<HANDLE>(file), bytes);
}

void write_stderr(std::string_view bytes) {
  // Under the Service Control Manager there is no standard error: the echo is dropped.
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (err == nullptr || err == INVALID_HANDLE_VALUE)
    return;
  corvid::write_all(err, bytes);
}

namespace {

std::optional<FileIdentity> state_of(HANDLE file) {
  Result<FileIdentity> identity = identity_of(file);
  if (!identity)
    return std::nullopt;
  return *identity;
}

}  // namespace

std::optional<FileIdentity> held_file_state(FileHandle file) {
  return state_of(reinterpret_cast<HANDLE>(file));
}

std::optional<std::uint64_t> held_file_size(FileHandle file) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(reinterpret_cast<HANDLE>(file), &size))
    return std::nullopt;
  return static_cast<std::uint64_t>(size.QuadPart);
}

std::optional<FileIdentity> named_file_state(const std::string& path) {
  // Attributes only: no reader or writer, however it shares, is in the way.
  const WinHandle file(CreateFileW(to_wide(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
  if (!file)
    return std::nullopt;
  return state_of(file.get());
}

Result<void> rename_held_file(FileHandle file, const std::string& from, const std::string& to) {
  // Renamed through a handle opened by name and checked to be the held file: a rename by name
  // could move a new file that another writer has just started into the place of the full one.
  const WinHandle named(CreateFileW(to_wide(from).c_str(),
                                    DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
  if (!named)
    return std::unexpected(last_os_error());
  CORVID_TRY_ASSIGN(const FileIdentity held, identity_of(reinterpret_cast<HANDLE>(file)));
  CORVID_TRY_ASSIGN(const FileIdentity under_name, identity_of(named.get()));
  if (!held.same_file(under_name))
    return std::unexpected(Error("another file has taken the log's name"));
  // An old rotated file is replaced even while a reader or a writer that has not noticed the last
  // rotation still holds it, where POSIX semantics are had; elsewhere the rename fails while the
  // old file is open, and the writer tries again later.
  return rename_over(named.get(), to);
}

std::uint64_t filetime_now() {
  FILETIME now{};
  GetSystemTimePreciseAsFileTime(&now);
  return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

}  // namespace corvid::log_platform
