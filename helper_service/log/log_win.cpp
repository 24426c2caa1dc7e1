// The Windows log backend.
#include <windows.h>

#include "common/utf.h"
#include "common/win_handle.h"
#include "common/win_io.h"
#include "common/winpath.h"
#include "log/log.h"
#include "log/log_platform.h"

namespace corvid::log_platform {

// The same joining rules as every other path of the helper.
std::string join_log_path(const std::string& dir) {
  return join_path(dir, kLogFileName);
}

std::optional<FileHandle> open_append(const std::string& path) {
  // Without FILE_WRITE_DATA every write lands at the current end of the file.
  constexpr DWORD kAppendOnly = FILE_GENERIC_WRITE & ~FILE_WRITE_DATA;
  const std::wstring wide = to_wide(path);
  WinHandle file(CreateFileW(wide.c_str(), kAppendOnly,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_ALWAYS, 0, nullptr));
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

std::uint64_t filetime_now() {
  FILETIME now{};
  GetSystemTimePreciseAsFileTime(&now);
  return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

}  // namespace corvid::log_platform
