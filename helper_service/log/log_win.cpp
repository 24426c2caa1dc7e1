// The Windows log backend.
#include <windows.h>

#include <cstring>
#include <vector>

#include "common/utf.h"
#include "common/handle_win.h"
#include "common/io_win.h"
#include "common/path_rules.h"
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

// FileRenameInfoEx and its flags (Windows 10 1607 on), by their documented values: headers that
// target Windows 10 as a whole leave them out.
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr DWORD kRenameReplaceIfExists = 0x1;
constexpr DWORD kRenamePosixSemantics = 0x2;

// FILE_RENAME_INFO with the new name after it. `flags` is the first field: ReplaceIfExists (a
// BOOLEAN) for FileRenameInfo, the FILE_RENAME_FLAG_* bits for FileRenameInfoEx.
bool rename_to(HANDLE file, const std::wstring& to, FILE_INFO_BY_HANDLE_CLASS kind, DWORD flags) {
  const std::size_t name_bytes = to.size() * sizeof(wchar_t);
  std::vector<std::uint64_t> buffer(
      (sizeof(FILE_RENAME_INFO) + name_bytes + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  std::memcpy(info, &flags, sizeof flags);
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(name_bytes);
  std::memcpy(info->FileName, to.data(), name_bytes);
  return SetFileInformationByHandle(file, kind, info,
                                    static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t))) != 0;
}

}  // namespace

std::optional<FileIdentity> held_file_state(FileHandle file) {
  return state_of(reinterpret_cast<HANDLE>(file));
}

std::optional<FileIdentity> named_file_state(const std::string& path) {
  // Attributes only: no reader or writer, however it shares, is in the way.
  const WinHandle file(CreateFileW(to_wide(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
  if (!file)
    return std::nullopt;
  return state_of(file.get());
}

bool rename_held_file(FileHandle file, const std::string& from, const std::string& to) {
  // Renamed through a handle opened by name and checked to be the held file: a rename by name
  // could move a new file that another writer has just started into the place of the full one.
  const WinHandle named(CreateFileW(to_wide(from).c_str(),
                                    DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
  if (!named)
    return false;
  const std::optional<FileIdentity> held = held_file_state(file);
  const std::optional<FileIdentity> under_name = state_of(named.get());
  if (!held || !under_name || !held->same_file(*under_name))
    return false;
  const std::wstring target = to_wide(to);
  // POSIX semantics replace an old rotated file even while a reader or a writer that has not
  // noticed the last rotation still holds it (Windows 10 1709 and later, on NTFS). Elsewhere the
  // classic rename, which fails while the old file is open; the writer then tries again later.
  return rename_to(named.get(), target, kFileRenameInfoEx,
                   kRenameReplaceIfExists | kRenamePosixSemantics) ||
         rename_to(named.get(), target, FileRenameInfo, TRUE);
}

std::uint64_t filetime_now() {
  FILETIME now{};
  GetSystemTimePreciseAsFileTime(&now);
  return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

}  // namespace corvid::log_platform
