#include "supervisor/child_process_win.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "common/os_error.h"
#include "common/utf.h"

namespace corvid {

namespace {

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
    CORVID_TRY(check_win32(InitializeProcThreadAttributeList(get(), 1, 0, &size)));
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

}  // namespace

WindowsChild::WindowsChild(HANDLE process, HANDLE thread) : process_(process), thread_(thread) {}

bool WindowsChild::terminate_and_wait(std::chrono::milliseconds limit) {
  // The whole job: what the core started ends with it.
  if (!TerminateJobObject(job_.get(), 1))
    TerminateProcess(process_.get(), 1);
  const auto wait = std::clamp<std::chrono::milliseconds::rep>(limit.count(), 0, INFINITE - 1);
  return WaitForSingleObject(process_.get(), static_cast<DWORD>(wait)) == WAIT_OBJECT_0;
}

Result<PollResult> WindowsChild::poll() {
  switch (WaitForSingleObject(process_.get(), 0)) {
    case WAIT_TIMEOUT:
      return PollResult{PollResult::State::kRunning, 0};
    case WAIT_OBJECT_0: {
      DWORD code = 0;
      CORVID_TRY(check_win32(GetExitCodeProcess(process_.get(), &code)));
      return PollResult{PollResult::State::kExited, code};
    }
    default:
      return std::unexpected(last_os_error());
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
    return std::unexpected(last_os_error());
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  CORVID_TRY(check_win32(SetInformationJobObject(job_.get(), JobObjectExtendedLimitInformation,
                                                 &limits, sizeof limits)));
  CORVID_TRY(check_win32(AssignProcessToJobObject(job_.get(), process_.get())));
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
    CORVID_TRY(attributes.build(inherited));
    startup.lpAttributeList = attributes.get();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  // Suspended until it is in its job, so that nothing it starts can escape the job.
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(application.c_str(), writable.data(), nullptr, nullptr,
                      inherited.empty() ? FALSE : TRUE, flags, nullptr,
                      directory.empty() ? nullptr : directory.c_str(), &startup.StartupInfo,
                      &info)) {
    return std::unexpected(last_os_error());
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

}  // namespace corvid
