#include "supervisor/backend_win.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "common/exe_dir.h"
#include "common/os_error.h"
#include "common/utf.h"
#include "common/handle_win.h"
#include "common/io_win.h"
#include "common/path_rules.h"
#include "supervisor/security_win.h"

namespace corvid {

namespace {

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

// Why the opened directory is not one the service may work in: a reparse point (a junction or a
// mount point, which would send the work elsewhere). Empty when it is a plain entry.
std::optional<std::string> reparse_refusal(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle, &info))
    return os_error_text(GetLastError());
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    return std::string("is a reparse point");
  return std::nullopt;
}

// Why the opened file is not the configuration file in the install directory: a reparse point,
// a file with a second name elsewhere (a hard link, whose other name could be anything), or a
// file that resolves to another place.
std::optional<std::string> config_refusal(HANDLE file, HANDLE install_dir) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info))
    return os_error_text(GetLastError());
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    return std::string("is a reparse point");
  if (info.nNumberOfLinks > 1)
    return "has " + std::to_string(info.nNumberOfLinks) + " links";
  const std::string found = final_path(file);
  const std::string dir = final_path(install_dir);
  if (found.empty() || dir.empty() || !is_same_path(found, join_path(dir, kCoreConfigFileName)))
    return "opens as " + (found.empty() ? std::string("an unknown path") : found);
  return std::nullopt;
}

// kCoreConfigSddl as a descriptor.
Result<void> config_descriptor(LocalMemory<PSECURITY_DESCRIPTOR>& descriptor) {
  return check_win32(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      to_wide(kCoreConfigSddl).c_str(), SDDL_REVISION_1, descriptor.put(), nullptr));
}

// Gives the file kCoreConfigSddl's access list.
Result<void> protect_config(HANDLE file) {
  LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (Result<void> made = config_descriptor(descriptor); !made)
    return made;
  if (Result<void> read =
          check_win32(GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted));
      !read)
    return read;
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
  if (!written)
    return std::unexpected(written.error());
  if (*written < bytes.size())
    return std::unexpected(Error("failed to write whole buffer"));
  return {};
}

// Truncates the file and writes the bytes through the handle.
Result<void> replace_contents(HANDLE file, std::string_view bytes) {
  LARGE_INTEGER start{};
  if (Result<void> moved = check_win32(SetFilePointerEx(file, start, nullptr, FILE_BEGIN)); !moved)
    return moved;
  if (Result<void> cut = check_win32(SetEndOfFile(file)); !cut)
    return cut;
  return write_whole(file, bytes);
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

// A process attribute list naming the only handles a child inherits.
class HandleList {
 public:
  HandleList() = default;
  HandleList(const HandleList&) = delete;
  HandleList& operator=(const HandleList&) = delete;
  ~HandleList() {
    if (initialized_)
      DeleteProcThreadAttributeList(get());
  }

  // `handles` must outlive the list.
  Result<void> build(std::vector<HANDLE>& handles) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_.resize(size);
    if (Result<void> made = check_win32(InitializeProcThreadAttributeList(get(), 1, 0, &size));
        !made)
      return made;
    initialized_ = true;
    return check_win32(UpdateProcThreadAttribute(get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                                 handles.data(), handles.size() * sizeof(HANDLE),
                                                 nullptr, nullptr));
  }
  LPPROC_THREAD_ATTRIBUTE_LIST get() {
    return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
  }

 private:
  std::vector<unsigned char> storage_;
  bool initialized_ = false;
};

class WindowsBackend final : public CoreBackend {
 public:
  Result<std::string> install_dir() override { return exe_dir(); }

  bool create_directories(const std::string& path) override { return create_directory_tree(path); }

  Result<void> write_file(const std::string& path, std::string_view bytes) override {
    const std::wstring wide = to_wide(path);
    const WinHandle file(CreateFileW(wide.c_str(), GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
      return std::unexpected(os_error(GetLastError()));
    return write_whole(file.get(), bytes);
  }

  Result<std::optional<CoreFileRefusal>> prepare_core_files(
      const CoreFiles& files, std::optional<std::string_view> config) override {
    using Answer = Result<std::optional<CoreFileRefusal>>;
    const auto refuse = [](StartField field, const std::string& path, const std::string& why) {
      return Answer(CoreFileRefusal{field, path + ": " + why});
    };
    const auto refuse_on = [](StartField field, const std::string& path, DWORD error) {
      return Answer(CoreFileRefusal{field, path + ": " + os_error_text(error), error});
    };
    const auto failed = [](const Error& error) { return Answer(std::unexpect, error); };
    // Every check first, on what is there: a refusal writes nothing.
    const WinHandle dir = open_directory_itself(files.install_dir);
    if (!dir)
      return refuse_on(StartField::kWorkDir, files.install_dir, GetLastError());
    if (const auto why = reparse_refusal(dir.get()))
      return refuse(StartField::kWorkDir, files.install_dir, *why);
    bool log_missing = false;
    if (const WinHandle log = open_directory_itself(files.log_dir); !log) {
      const DWORD error = GetLastError();
      if (error != ERROR_FILE_NOT_FOUND)
        return refuse_on(StartField::kLogPath, files.log_dir, error);
      log_missing = true;
    } else if (const auto why = reparse_refusal(log.get())) {
      return refuse(StartField::kLogPath, files.log_dir, *why);
    }
    // Opened without truncating: nothing is lost before the file is known to be the right one.
    constexpr DWORD kConfigAccess = GENERIC_WRITE | FILE_READ_ATTRIBUTES | WRITE_DAC;
    constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    WinHandle file;
    if (config) {
      file = open_itself(files.config_path, kConfigAccess, kShareAll, OPEN_EXISTING, false);
      if (const DWORD error = file ? ERROR_SUCCESS : GetLastError();
          error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND)
        return failed(os_error(error));
      if (file) {
        if (const auto why = config_refusal(file.get(), dir.get()))
          return refuse(StartField::kConfigPath, files.config_path, *why);
      }
    }

    // The core opens its log by name in here: the log directory is a plain one of the service's
    // own, inheriting the install directory's access list. Failing to make it is the core's to
    // report, as for everyone.
    if (log_missing && CreateDirectoryW(to_wide(files.log_dir).c_str(), nullptr)) {
      if (const WinHandle log = open_directory_itself(files.log_dir); log) {
        if (const auto why = reparse_refusal(log.get()))
          return refuse(StartField::kLogPath, files.log_dir, *why);
      }
    }
    if (!config)
      return {};
    if (!file) {
      // A new file: it never exists with a wider access list than its own.
      LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
      if (const Result<void> made = config_descriptor(descriptor); !made)
        return failed(made.error());
      SECURITY_ATTRIBUTES security{sizeof security, descriptor.get(), FALSE};
      file = open_itself(files.config_path, kConfigAccess, kShareAll, CREATE_NEW, false, &security);
      if (!file)
        return failed(os_error(GetLastError()));
      if (const auto why = config_refusal(file.get(), dir.get()))
        return refuse(StartField::kConfigPath, files.config_path, *why);
    }
    // Before a byte goes in: the configuration can hold credentials no other user may read.
    if (const Result<void> guarded = protect_config(file.get()); !guarded)
      return failed(guarded.error());
    if (const Result<void> written = replace_contents(file.get(), *config); !written)
      return failed(written.error());
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
    if (!child)
      return std::unexpected(std::move(child.error()));
    return ChildProcess(std::move(*child));
  }

  void sleep_for(std::chrono::milliseconds duration) override {
    // INFINITE (all bits set) is not a duration: the longest finite sleep is one below it.
    const auto count =
        std::clamp<std::chrono::milliseconds::rep>(duration.count(), 0, INFINITE - 1);
    Sleep(static_cast<DWORD>(count));
  }
};

}  // namespace

WindowsChild::WindowsChild(HANDLE process, HANDLE thread) : process_(process), thread_(thread) {}

void WindowsChild::terminate_and_wait() {
  // The whole job: what the core started ends with it.
  if (!TerminateJobObject(job_.get(), 1))
    TerminateProcess(process_.get(), 1);
  WaitForSingleObject(process_.get(), INFINITE);
}

Result<PollResult> WindowsChild::poll() {
  switch (WaitForSingleObject(process_.get(), 0)) {
    case WAIT_TIMEOUT:
      return PollResult{PollResult::State::kRunning, 0};
    case WAIT_OBJECT_0: {
      DWORD code = 0;
      if (Result<void> read = check_win32(GetExitCodeProcess(process_.get(), &code)); !read)
        return std::unexpected(std::move(read.error()));
      return PollResult{PollResult::State::kExited, code};
    }
    default:
      return std::unexpected(os_error(GetLastError()));
  }
}

std::uint32_t WindowsChild::process_id() {
  return GetProcessId(process_.get());
}

// Puts the suspended child into a job of its own that ends it, and everything it will start,
// when the job's last handle is closed; then lets it run.
Result<void> WindowsChild::run_in_own_job() {
  job_.reset(CreateJobObjectW(nullptr, nullptr));
  if (!job_)
    return std::unexpected(os_error(GetLastError()));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (Result<void> limited = check_win32(SetInformationJobObject(
          job_.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits));
      !limited)
    return limited;
  if (Result<void> assigned = check_win32(AssignProcessToJobObject(job_.get(), process_.get()));
      !assigned)
    return assigned;
  return check_win32(ResumeThread(thread_.get()) != static_cast<DWORD>(-1));
}

Result<std::unique_ptr<WindowsChild>> WindowsChild::create(const std::string& core_path,
                                                           const std::string& command_line,
                                                           const std::string& work_dir) {
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
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = inheritable_std_handle(STD_INPUT_HANDLE);
  startup.StartupInfo.hStdOutput = inheritable_std_handle(STD_OUTPUT_HANDLE);
  startup.StartupInfo.hStdError = inheritable_std_handle(STD_ERROR_HANDLE);
  // The core inherits these and nothing else: no handle the helper has open (a client's pipe,
  // the helper log, a file being written) can leak into it by accident.
  std::vector<HANDLE> inherited;
  for (const HANDLE handle : {startup.StartupInfo.hStdInput, startup.StartupInfo.hStdOutput,
                              startup.StartupInfo.hStdError}) {
    if (handle != nullptr &&
        std::find(inherited.begin(), inherited.end(), handle) == inherited.end())
      inherited.push_back(handle);
  }
  HandleList attributes;
  DWORD flags = CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED;
  if (!inherited.empty()) {
    if (Result<void> built = attributes.build(inherited); !built)
      return std::unexpected(std::move(built.error()));
    startup.lpAttributeList = attributes.get();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  // Suspended until it is in its job, so that nothing it starts can escape the job.
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(application.c_str(), writable.data(), nullptr, nullptr,
                      inherited.empty() ? FALSE : TRUE, flags, nullptr,
                      directory.empty() ? nullptr : directory.c_str(), &startup.StartupInfo,
                      &info)) {
    return std::unexpected(os_error(GetLastError()));
  }
  std::unique_ptr<WindowsChild> child(new WindowsChild(info.hProcess, info.hThread));
  if (Result<void> in_job = child->run_in_own_job(); !in_job) {
    // It has run no code yet: ending it leaves nothing behind.
    TerminateProcess(child->process(), 1);
    WaitForSingleObject(child->process(), INFINITE);
    return std::unexpected(std::move(in_job.error()));
  }
  return child;
}

std::shared_ptr<CoreBackend> make_windows_backend() {
  return std::make_shared<WindowsBackend>();
}

}  // namespace corvid
