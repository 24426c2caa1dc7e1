#include "supervisor/backend_win.h"

#include <windows.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "common/exe_dir.h"
#include "common/os_error.h"
#include "common/utf.h"
#include "common/win_handle.h"
#include "common/win_io.h"
#include "common/winpath.h"
#include "supervisor/security_win.h"

namespace corvid {

namespace {

HANDLE process_of(const ChildProcess& child) {
  return child.handles<WindowsChild>().process.get();
}

bool is_directory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Missing ancestors are made first; a directory that is already there counts as created.
bool create_directory_tree(const std::string& path) {
  if (path.empty())
    return true;
  const std::wstring wide = to_wide(path);
  if (CreateDirectoryW(wide.c_str(), nullptr))
    return true;
  const DWORD error = GetLastError();
  if (error != ERROR_PATH_NOT_FOUND && error != ERROR_FILE_NOT_FOUND)
    return is_directory(wide);
  const std::optional<std::string> parent = parent_path(path);
  if (!parent || *parent == path || !create_directory_tree(*parent))
    return false;
  return CreateDirectoryW(wide.c_str(), nullptr) || is_directory(wide);
}

// One of the helper's standard handles, made inheritable so that the core can be given it; null
// when the helper has none (as under the Service Control Manager).
HANDLE inheritable_std_handle(DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
    return nullptr;
  // Should this fail, the handle is passed all the same; the core then has none.
  SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  return handle;
}

// Puts the suspended child into a job of its own that ends it, and everything it will start,
// when the job's last handle is closed; then lets it run. 0 or the failed call's error.
DWORD run_in_own_job(WindowsChild& child) {
  child.job.reset(CreateJobObjectW(nullptr, nullptr));
  if (!child.job)
    return GetLastError();
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(child.job.get(), JobObjectExtendedLimitInformation, &limits,
                               sizeof limits))
    return GetLastError();
  if (!AssignProcessToJobObject(child.job.get(), child.process.get()))
    return GetLastError();
  if (ResumeThread(child.thread.get()) == static_cast<DWORD>(-1))
    return GetLastError();
  return 0;
}

class WindowsBackend final : public CoreBackend {
 public:
  Result<std::string> install_dir() override { return exe_dir(); }

  bool create_directories(const std::string& path) override { return create_directory_tree(path); }

  std::expected<void, std::string> write_file(const std::string& path,
                                              std::string_view bytes) override {
    const std::wstring wide = to_wide(path);
    const WinHandle file(CreateFileW(wide.c_str(), GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
      return std::unexpected(os_error_text(GetLastError()));
    const WriteOutcome written = write_all(file.get(), bytes);
    if (written.stalled)
      return std::unexpected(std::string("failed to write whole buffer"));
    if (written.error != 0)
      return std::unexpected(os_error_text(written.error));
    return {};
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

  Result<SecuritySnapshot> read_security(const std::string& path) override {
    return read_path_security(path);
  }

  std::expected<ChildProcess, std::string> create_process(const std::string& core_path,
                                                          const std::string& command_line,
                                                          const std::string& work_dir) override {
    // The program is named explicitly so that exactly the file checked before is run: with no
    // application name Windows would search the system and PATH directories for a relative
    // path and append ".exe" to a name without one.
    const std::wstring application = to_wide(core_path);
    std::wstring arguments = to_wide(command_line);
    std::vector<wchar_t> writable(arguments.begin(), arguments.end());
    writable.push_back(L'\0');
    // An empty working directory means the helper's own, as for the relative paths built on it.
    const std::wstring directory = to_wide(work_dir);
    // The core writes where the helper does (its console in console mode), not to a hidden
    // console of its own.
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inheritable_std_handle(STD_INPUT_HANDLE);
    startup.hStdOutput = inheritable_std_handle(STD_OUTPUT_HANDLE);
    startup.hStdError = inheritable_std_handle(STD_ERROR_HANDLE);
    // Suspended until it is in its job, so that nothing it starts can escape the job.
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(application.c_str(), writable.data(), nullptr, nullptr, TRUE,
                        CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &info)) {
      return std::unexpected(os_error_text(GetLastError()));
    }
    auto child = std::make_unique<WindowsChild>();
    child->process.reset(info.hProcess);
    child->thread.reset(info.hThread);
    if (const DWORD error = run_in_own_job(*child); error != 0) {
      // It has run no code yet: ending it leaves nothing behind.
      TerminateProcess(child->process.get(), 1);
      WaitForSingleObject(child->process.get(), INFINITE);
      return std::unexpected(os_error_text(error));
    }
    return ChildProcess(std::move(child));
  }

  void terminate_and_wait(ChildProcess& child) override {
    const WindowsChild& handles = child.handles<WindowsChild>();
    HANDLE process = handles.process.get();
    // The whole job: what the core started ends with it.
    if (!TerminateJobObject(handles.job.get(), 1))
      TerminateProcess(process, 1);
    WaitForSingleObject(process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
  }

  PollResult poll(ChildProcess& child) override {
    HANDLE process = process_of(child);
    PollResult result;
    switch (WaitForSingleObject(process, 0)) {
      case WAIT_TIMEOUT:
        result.state = PollResult::State::kRunning;
        return result;
      case WAIT_OBJECT_0: {
        DWORD code = 0;
        if (!GetExitCodeProcess(process, &code))
          break;
        result.state = PollResult::State::kExited;
        result.exit_code = code;
        return result;
      }
      default:
        break;
    }
    result.state = PollResult::State::kFailed;
    result.error_text = os_error_text(GetLastError());
    return result;
  }

  std::uint32_t process_id(ChildProcess& child) override { return GetProcessId(process_of(child)); }

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
