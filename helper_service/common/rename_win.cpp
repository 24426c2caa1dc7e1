#include "common/rename_win.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "common/os_error.h"
#include "common/utf.h"

namespace corvid {

namespace {

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

Result<void> rename_over(HANDLE file, const std::string& to) {
  const std::wstring target = to_wide(to);
  if (rename_to(file, target, kFileRenameInfoEx, kRenameReplaceIfExists | kRenamePosixSemantics))
    return {};
  return check_win32(rename_to(file, target, FileRenameInfo, TRUE));
}

}  // namespace corvid
