#include "common/io_win.h"

#include <algorithm>
#include <cstddef>

#include "common/os_error.h"
#include "common/utf.h"
#include "common/handle_win.h"

namespace corvid {

Result<std::size_t> write_all(HANDLE handle, std::string_view bytes) {
  const std::size_t given = bytes.size();
  while (!bytes.empty()) {
    // WriteFile takes a 32-bit count.
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data(), chunk, &written, nullptr))
      return std::unexpected(last_os_error());
    if (written == 0)
      break;
    bytes.remove_prefix(written);
  }
  return given - bytes.size();
}

Result<std::string> read_file(const std::string& path) {
  const WinHandle file(CreateFileW(to_wide(path).c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file)
    return std::unexpected(last_os_error());
  std::string bytes;
  char buffer[65536];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr))
      return std::unexpected(last_os_error());
    if (read == 0)
      return bytes;
    bytes.append(buffer, read);
  }
}

Result<FileIdentity> identity_of(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info))
    return std::unexpected(last_os_error());
  return FileIdentity{info.dwVolumeSerialNumber,
                      (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
                      (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow};
}

Result<FileIdentity> identity_of(const std::string& path) {
  // Backup semantics admit directories.
  const WinHandle entry(CreateFileW(to_wide(path).c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!entry)
    return std::unexpected(last_os_error());
  return identity_of(entry.get());
}

}  // namespace corvid
