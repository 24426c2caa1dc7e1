#include "supervisor/core_files_win.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <atomic>

#include "common/handle_win.h"
#include "common/io_win.h"
#include "common/os_error.h"
#include "common/path_rules.h"
#include "common/rename_win.h"
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

// kCoreConfigSddl as a descriptor, owned by LocalSystem when `system_owner`: only a process that
// may name that owner (the service, which is LocalSystem) can create or set it.
Result<void> config_descriptor(LocalMemory<PSECURITY_DESCRIPTOR>& descriptor, bool system_owner) {
  const std::string sddl = (system_owner ? "O:SY" : "") + std::string(kCoreConfigSddl);
  return check_win32(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      to_wide(sddl).c_str(), SDDL_REVISION_1, descriptor.put(), nullptr));
}

// Gives the file kCoreConfigSddl's access list, and LocalSystem as its owner where the process
// may set it.
Result<void> protect(HANDLE file) {
  DWORD error = ERROR_SUCCESS;
  for (const bool system_owner : {true, false}) {
    LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
    CORVID_TRY(config_descriptor(descriptor, system_owner));
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    PSID owner = nullptr;
    CORVID_TRY(
        check_win32(GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted)));
    CORVID_TRY(check_win32(GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted)));
    // This one answers its error code itself.
    error = SetSecurityInfo(file, SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION |
                                (owner != nullptr ? OWNER_SECURITY_INFORMATION : 0),
                            owner, nullptr, dacl, nullptr);
    if (error != ERROR_INVALID_OWNER)
      break;
  }
  if (error != ERROR_SUCCESS)
    return std::unexpected(os_error(error));
  return {};
}

// A name beside `path` that no other write uses: this process's id and a count.
std::string new_file_beside(const std::string& path) {
  static std::atomic<unsigned> count{0};
  return path + "." + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++count) +
         ".new";
}

// The new file of a configuration, shared with no one, protected from its first moment.
Result<WinHandle> create_protected(const std::string& path) {
  for (const bool system_owner : {true, false}) {
    LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
    CORVID_TRY(config_descriptor(descriptor, system_owner));
    SECURITY_ATTRIBUTES security{sizeof security, descriptor.get(), FALSE};
    WinHandle file = open_itself(path, GENERIC_WRITE | DELETE, 0, CREATE_NEW, false, &security);
    if (file)
      return file;
    if (GetLastError() != ERROR_INVALID_OWNER)
      break;
  }
  return std::unexpected(last_os_error());
}

// Removes the file through its handle, which must have DELETE access.
void remove_held(HANDLE file) {
  FILE_DISPOSITION_INFO remove{TRUE};
  SetFileInformationByHandle(file, FileDispositionInfo, &remove, sizeof remove);
}

// Every byte through the handle, or why not.
Result<void> write_whole(HANDLE file, std::string_view bytes) {
  const Result<std::size_t> written = write_all(file, bytes);
  CORVID_TRY(written);
  if (*written < bytes.size())
    return std::unexpected(Error("failed to write whole buffer"));
  return {};
}

// The bytes into the new file, to disk, then the new file over the old name.
Result<void> fill_and_rename(HANDLE file, const std::string& path, std::string_view bytes) {
  CORVID_TRY(write_whole(file, bytes));
  CORVID_TRY(check_win32(FlushFileBuffers(file)));
  Result<void> renamed = rename_over(file, path);
  if (!renamed)
    return std::unexpected(
        context("cannot replace " + path + ": another program may hold it open", renamed.error()));
  return {};
}

}  // namespace

// Missing ancestors are made first; a directory that is already there counts as created.
Result<void> create_directories(const std::string& path) {
  if (path.empty())
    return {};
  const std::wstring wide = to_wide(path);
  if (CreateDirectoryW(wide.c_str(), nullptr))
    return {};
  const DWORD error = GetLastError();
  if (error != ERROR_PATH_NOT_FOUND && error != ERROR_FILE_NOT_FOUND) {
    if (is_directory(wide))
      return {};
    return std::unexpected(os_error(error));
  }
  const std::optional<std::string> parent = parent_path(path);
  if (!parent || *parent == path)
    return std::unexpected(os_error(error));
  CORVID_TRY(create_directories(*parent));
  if (CreateDirectoryW(wide.c_str(), nullptr) || is_directory(wide))
    return {};
  return std::unexpected(last_os_error());
}

Result<void> write_file(const std::string& path, std::string_view bytes) {
  // Never into the file there: a handle opened while it was readable to others would read what
  // comes next.
  Result<WinHandle> file = create_protected(new_file_beside(path));
  CORVID_TRY(file);
  Result<void> written = fill_and_rename(file->get(), path, bytes);
  if (!written)
    remove_held(file->get());
  return written;
}

Result<void> protect_config(const std::string& path) {
  const WinHandle file =
      open_itself(path, READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES, kShareAll,
                  OPEN_EXISTING, false);
  if (!file)
    return GetLastError() == ERROR_FILE_NOT_FOUND ? Result<void>()
                                                  : std::unexpected(last_os_error());
  // A second name or a link would carry the change to another file.
  BY_HANDLE_FILE_INFORMATION info{};
  CORVID_TRY(check_win32(GetFileInformationByHandle(file.get(), &info)));
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks > 1)
    return std::unexpected(Error(path + ": is a reparse point or has a second name"));
  return protect(file.get());
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
  if (config) {
    // Looked at only: the new configuration replaces its name, never its bytes.
    const WinHandle old =
        open_itself(files.config_path, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING, false);
    if (const DWORD error = old ? ERROR_SUCCESS : GetLastError();
        error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND)
      return std::unexpected(os_error(error));
    if (old)
      CORVID_TRY(plain_config(old.get(), dir.get(), files.config_path));
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
  // The install directory is held without delete sharing meanwhile: the new file lands in it.
  return write_file(files.config_path, *config);
}

}  // namespace corvid::core_files_win
