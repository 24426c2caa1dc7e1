#include "supervisor/core_files_win.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include "common/handle_win.h"
#include "common/io_win.h"
#include "common/os_error.h"
#include "common/path_rules.h"
#include "common/utf.h"
#include "supervisor/install_security.h"

namespace corvid::core_files_win {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool is_directory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// An entry itself, never what a reparse point at its name leads to; `directory` admits
// directories (backup semantics).
WinHandle open_itself(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                      bool directory, SECURITY_ATTRIBUTES* security = nullptr) {
  const std::wstring wide = to_wide(path);
  const DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT |
                      (directory ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL);
  return WinHandle(CreateFileW(wide.c_str(), access, share, security, disposition, flags, nullptr));
}

// Held without FILE_SHARE_DELETE: nothing renames or replaces the directory meanwhile.
WinHandle open_directory_itself(const std::string& path) {
  return open_itself(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                     true);
}

// What Windows resolves the handle to ("\\?\C:\..."); empty when it cannot tell.
std::string final_path(HANDLE handle) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 3; ++attempt) {
    const DWORD length =
        GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0)
      return {};
    if (length < buffer.size())
      return from_wide(std::wstring_view(buffer.data(), length));
    buffer.resize(length);
  }
  return {};
}

Error refused(StartField field, const std::string& path, const std::string& why,
              std::optional<std::uint32_t> os_code = std::nullopt) {
  return refusal(static_cast<int>(field), path + ": " + why, os_code);
}

// The entry's attributes through its handle; what cannot be read is refused.
Result<BY_HANDLE_FILE_INFORMATION> info_of(HANDLE handle, StartField field,
                                           const std::string& path) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info))
    return std::unexpected(refused(field, path, last_os_error_text()));
  return info;
}

// The opened directory must not be a reparse point (a junction or a mount point, which would
// send the work elsewhere).
Result<void> plain_directory(HANDLE handle, StartField field, const std::string& path) {
  const Result<BY_HANDLE_FILE_INFORMATION> info = info_of(handle, field, path);
  CORVID_TRY(info);
  if ((info->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    return std::unexpected(refused(field, path, "is a reparse point"));
  return {};
}

// The opened file must be the configuration file in the install directory: no reparse point, no
// second name elsewhere (a hard link, whose other name could be anything), and no file that
// resolves to another place.
Result<void> plain_config(HANDLE file, HANDLE install_dir, const std::string& path) {
  const Result<BY_HANDLE_FILE_INFORMATION> info = info_of(file, StartField::kConfigPath, path);
  CORVID_TRY(info);
  if ((info->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    return std::unexpected(refused(StartField::kConfigPath, path, "is a reparse point"));
  if (info->nNumberOfLinks > 1)
    return std::unexpected(refused(StartField::kConfigPath, path,
                                   "has " + std::to_string(info->nNumberOfLinks) + " links"));
  const std::string found = final_path(file);
  const std::string dir = final_path(install_dir);
  if (found.empty() || dir.empty() || !is_same_path(found, join_path(dir, kCoreConfigFileName)))
    return std::unexpected(
        refused(StartField::kConfigPath, path,
                "opens as " + (found.empty() ? std::string("an unknown path") : found)));
  return {};
}

// kCoreConfigSddl as a descriptor.
Result<void> config_descriptor(LocalMemory<PSECURITY_DESCRIPTOR>& descriptor) {
  return check_win32(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      to_wide(kCoreConfigSddl).c_str(), SDDL_REVISION_1, descriptor.put(), nullptr));
}

// Gives the file kCoreConfigSddl's access list.
Result<void> protect(HANDLE file) {
  LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  CORVID_TRY(config_descriptor(descriptor));
  CORVID_TRY(check_win32(GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted)));
  // This one answers its error code itself.
  const DWORD error = SetSecurityInfo(
      file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
      nullptr, nullptr, dacl, nullptr);
  if (error != ERROR_SUCCESS)
    return std::unexpected(os_error(error));
  return {};
}

// Every byte through the handle, or why not.
Result<void> write_whole(HANDLE file, std::string_view bytes) {
  const Result<std::size_t> written = write_all(file, bytes);
  CORVID_TRY(written);
  if (*written < bytes.size())
    return std::unexpected(Error("failed to write whole buffer"));
  return {};
}

// Truncates the file and writes the bytes through the handle.
Result<void> replace_contents(HANDLE file, std::string_view bytes) {
  LARGE_INTEGER start{};
  CORVID_TRY(check_win32(SetFilePointerEx(file, start, nullptr, FILE_BEGIN)));
  CORVID_TRY(check_win32(SetEndOfFile(file)));
  return write_whole(file, bytes);
}

}  // namespace

// Missing ancestors are made first; a directory that is already there counts as created.
bool create_directories(const std::string& path) {
  if (path.empty())
    return true;
  const std::wstring wide = to_wide(path);
  if (CreateDirectoryW(wide.c_str(), nullptr))
    return true;
  const DWORD error = GetLastError();
  if (error != ERROR_PATH_NOT_FOUND && error != ERROR_FILE_NOT_FOUND)
    return is_directory(wide);
  const std::optional<std::string> parent = parent_path(path);
  if (!parent || *parent == path || !create_directories(*parent))
    return false;
  return CreateDirectoryW(wide.c_str(), nullptr) || is_directory(wide);
}

Result<void> write_file(const std::string& path, std::string_view bytes) {
  const std::wstring wide = to_wide(path);
  const WinHandle file(CreateFileW(wide.c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file)
    return std::unexpected(last_os_error());
  return write_whole(file.get(), bytes);
}

Result<void> prepare(const CoreFiles& files, std::optional<std::string_view> config) {
  // Every check first, on what is there: a refusal writes nothing.
  const WinHandle dir = open_directory_itself(files.install_dir);
  if (!dir) {
    const DWORD error = GetLastError();
    return std::unexpected(
        refused(StartField::kWorkDir, files.install_dir, os_error_text(error), error));
  }
  CORVID_TRY(plain_directory(dir.get(), StartField::kWorkDir, files.install_dir));
  bool log_missing = false;
  if (const WinHandle log = open_directory_itself(files.log_dir); !log) {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND)
      return std::unexpected(
          refused(StartField::kLogPath, files.log_dir, os_error_text(error), error));
    log_missing = true;
  } else {
    CORVID_TRY(plain_directory(log.get(), StartField::kLogPath, files.log_dir));
  }
  // Opened without truncating: nothing is lost before the file is known to be the right one.
  constexpr DWORD kConfigAccess = GENERIC_WRITE | FILE_READ_ATTRIBUTES | WRITE_DAC;
  WinHandle file;
  if (config) {
    file = open_itself(files.config_path, kConfigAccess, kShareAll, OPEN_EXISTING, false);
    if (const DWORD error = file ? ERROR_SUCCESS : GetLastError();
        error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND)
      return std::unexpected(os_error(error));
    if (file)
      CORVID_TRY(plain_config(file.get(), dir.get(), files.config_path));
  }

  // The core opens its log by name in here: the log directory is a plain one of the service's
  // own, inheriting the install directory's access list. Failing to make it is the core's to
  // report, as for everyone.
  if (log_missing && CreateDirectoryW(to_wide(files.log_dir).c_str(), nullptr)) {
    if (const WinHandle log = open_directory_itself(files.log_dir); log)
      CORVID_TRY(plain_directory(log.get(), StartField::kLogPath, files.log_dir));
  }
  if (!config)
    return {};
  if (!file) {
    // A new file: it never exists with a wider access list than its own.
    LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
    CORVID_TRY(config_descriptor(descriptor));
    SECURITY_ATTRIBUTES security{sizeof security, descriptor.get(), FALSE};
    file = open_itself(files.config_path, kConfigAccess, kShareAll, CREATE_NEW, false, &security);
    if (!file)
      return std::unexpected(last_os_error());
    CORVID_TRY(plain_config(file.get(), dir.get(), files.config_path));
  }
  // Before a byte goes in: the configuration can hold credentials no other user may read.
  CORVID_TRY(protect(file.get()));
  return replace_contents(file.get(), *config);
}

}  // namespace corvid::core_files_win
