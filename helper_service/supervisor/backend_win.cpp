#include "supervisor/backend_win.h"

#include <windows.h>

#include <wtsapi32.h>

#include <algorithm>
#include <optional>

#include "common/exe_dir.h"
#include "common/handle_win.h"
#include "common/os_error.h"
#include "common/sids_win.h"
#include "common/utf.h"
#include "supervisor/core_files_win.h"
#include "supervisor/security_win.h"

namespace corvid {

namespace {

class WindowsBackend final : public CoreBackend {
 public:
  Result<std::string> install_dir() override { return exe_dir(); }

  Result<void> create_directories(const std::string& path) override {
    return core_files_win::create_directories(path);
  }

  Result<void> write_file(const std::string& path, std::string_view bytes) override {
    return core_files_win::write_file(path, bytes);
  }

  Result<void> prepare_core_files(const CoreFiles& files,
                                  std::optional<std::string_view> config) override {
    return core_files_win::prepare(files, config);
  }

  Result<void> protect_config(const std::string& path) override {
    return core_files_win::protect_config(path);
  }

  bool exists(const std::string& path) override {
    // Opening the entry itself (not a link to it) follows links; backup semantics admits
    // directories. No access is asked for, so a file locked by another process still opens.
    const std::wstring wide = to_wide(path);
    const WinHandle entry(CreateFileW(wide.c_str(), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (entry)
      return true;
    // A file held without any sharing (the page file, for one) is there all the same.
    return GetLastError() == ERROR_SHARING_VIOLATION;
  }

  Result<std::optional<InstallEntry>> read_entry(const std::string& path) override {
    return read_install_entry(path);
  }
  Result<std::vector<std::string>> list_entries(const std::string& dir) override {
    return list_directory_entries(dir);
  }
  Result<VolumeKind> volume_kind(const std::string& path) override { return volume_kind_of(path); }

  Result<ChildProcess> create_process(const std::string& core_path, const std::string& command_line,
                                      const std::string& work_dir) override {
    Result<std::unique_ptr<WindowsChild>> child =
        WindowsChild::create(core_path, command_line, work_dir);
    CORVID_TRY(child);
    return ChildProcess(std::move(*child));
  }

  Result<std::optional<std::string>> session_user(std::uint32_t session) override {
    // Only LocalSystem may ask (it holds the TCB privilege): elsewhere, as in console mode, the
    // answer is an error and the owner stays.
    HANDLE token = nullptr;
    if (!WTSQueryUserToken(session, &token)) {
      const DWORD error = GetLastError();
      // No one logged on there, or the session itself is gone.
      if (error == ERROR_NO_TOKEN || error == ERROR_CTX_WINSTATION_NOT_FOUND)
        return std::nullopt;
      return std::unexpected(os_error(error));
    }
    const WinHandle owned(token);
    Result<std::string> user = token_user_sid(owned.get());
    CORVID_TRY(user);
    return std::optional<std::string>(std::move(*user));
  }

  void sleep_for(std::chrono::milliseconds duration) override {
    // INFINITE (all bits set) is not a duration: the longest finite sleep is one below it.
    const auto count =
        std::clamp<std::chrono::milliseconds::rep>(duration.count(), 0, INFINITE - 1);
    Sleep(static_cast<DWORD>(count));
  }
};

}  // namespace

std::shared_ptr<CoreBackend> make_windows_backend() {
  return std::make_shared<WindowsBackend>();
}

}  // namespace corvid
