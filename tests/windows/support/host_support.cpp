#include "host_support.h"

#include <tlhelp32.h>

#include <nlohmann/json.hpp>

#include "common/cmdline.h"
#include "common/utf.h"
#include "host/service.h"

namespace corvid::test {

namespace {

bool same_text_ignoring_case(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() &&
         CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool ends_now(std::chrono::steady_clock::time_point deadline) {
  return std::chrono::steady_clock::now() >= deadline;
}

// Reads what arrives until the pipe breaks, or until it is empty once `stop` is set: a core the
// helper started inherits the write end and may keep the pipe open after the helper has gone.
void drain(HANDLE pipe, const std::atomic<bool>& stop, std::mutex& mutex, std::string& out) {
  char buffer[4096];
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr))
      return;
    if (available == 0) {
      if (stop.load())
        return;
      Sleep(10);
      continue;
    }
    DWORD got = 0;
    const DWORD wanted = available < sizeof buffer ? available : DWORD{sizeof buffer};
    if (!ReadFile(pipe, buffer, wanted, &got, nullptr) || got == 0)
      return;
    std::lock_guard guard(mutex);
    out.append(buffer, got);
  }
}

// The pids of running processes whose image is `exe_name` in `dir`.
std::vector<DWORD> find_processes(const std::string& dir, std::string_view exe_name) {
  std::vector<DWORD> found;
  const std::wstring wanted_name = to_wide(exe_name);
  const std::wstring wanted_path = to_wide(dir) + L"\\" + wanted_name;
  WinHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid())
    return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (!same_text_ignoring_case(entry.szExeFile, wanted_name))
      continue;
    WinHandle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID));
    if (!process.valid() || WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT)
      continue;
    wchar_t image[MAX_PATH * 4];
    DWORD size = MAX_PATH * 4;
    if (!QueryFullProcessImageNameW(process.get(), 0, image, &size))
      continue;
    if (same_text_ignoring_case(std::wstring_view(image, size), wanted_path))
      found.push_back(entry.th32ProcessID);
  }
  return found;
}

void end_process(DWORD pid) {
  WinHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
  if (!process.valid())
    return;
  TerminateProcess(process.get(), 1);
  WaitForSingleObject(process.get(), 10000);
}

std::string narrow_or_empty(const wchar_t* text) {
  return text == nullptr ? std::string() : from_wide(text);
}

// A double-null-terminated list, with its inner nulls kept.
std::string narrow_list(const wchar_t* list) {
  if (list == nullptr)
    return {};
  const wchar_t* end = list;
  while (*end != L'\0')
    end += wcslen(end) + 1;
  return from_wide(std::wstring_view(list, static_cast<std::size_t>(end - list)));
}

}  // namespace

HelperCopy::HelperCopy(std::string_view label, bool with_core) : root_(label) {
  if (root_.path().empty())
    return;
  dir_ = root_ / "Corvid Helper";
  if (!make_directory(dir_))
    return;
  if (!CopyFileW(to_wide(built_program(kHelperExe)).c_str(), to_wide(exe()).c_str(), FALSE))
    return;
  if (with_core && install_fake_core(dir_).empty())
    return;
  ready_ = true;
}

HelperCopy::~HelperCopy() {
  // Nothing started from this folder may outlive the test, whatever path it took.
  if (dir_.empty())
    return;
  for (DWORD pid : find_processes(dir_, kHelperExe))
    end_process(pid);
  for (DWORD pid : find_processes(dir_, kCoreExe))
    end_process(pid);
}

bool wait_for_log_message(const std::string& path, std::string_view message,
                          std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    for (const LogEntry& entry : read_log(path)) {
      if (entry.message == message)
        return true;
    }
    if (ends_now(deadline))
      return false;
    Sleep(50);
  }
}

BackgroundProcess::BackgroundProcess(const std::string& program,
                                     const std::vector<std::string>& args) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) {
    start_error_ = "CreatePipe failed: " + std::to_string(GetLastError());
    return;
  }
  err_reader_.reset(read_end);
  WinHandle err_writer(write_end);
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);

  // Standard output shares the pipe: the helper writes nothing there, and this shows if it does.
  std::expected<PROCESS_INFORMATION, std::string> info =
      start_program(program, args, write_end, write_end);
  if (!info) {
    start_error_ = info.error();
    return;
  }
  process_.reset(info->hProcess);
  WinHandle thread(info->hThread);
  pid_ = info->dwProcessId;
  err_writer.reset();
  reader_ = std::thread([this] { drain(err_reader_.get(), stop_reading_, mutex_, err_); });
}

BackgroundProcess::~BackgroundProcess() {
  kill();
  stop_reading_ = true;
  if (reader_.joinable())
    reader_.join();
}

bool BackgroundProcess::running(std::chrono::milliseconds wait) const {
  return process_.valid() &&
         WaitForSingleObject(process_.get(), static_cast<DWORD>(wait.count())) == WAIT_TIMEOUT;
}

bool BackgroundProcess::kill() {
  if (!process_.valid())
    return true;
  if (running())
    TerminateProcess(process_.get(), 1);
  return WaitForSingleObject(process_.get(), 10000) == WAIT_OBJECT_0;
}

std::string BackgroundProcess::err() const {
  std::lock_guard guard(mutex_);
  return err_;
}

bool BackgroundProcess::wait_for_err(std::string_view text, std::chrono::milliseconds wait) const {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (err().find(text) != std::string::npos)
      return true;
    if (ends_now(deadline))
      return false;
    Sleep(20);
  }
}

ProgramResult corvidctl(const std::vector<std::string>& args) {
  ProgramResult result = run_program(built_program("corvidctl.exe"), args, 90s);
  EXPECT_TRUE(result.started) << result.start_error;
  return result;
}

std::string describe(const std::vector<std::string>& args) {
  std::string text = "corvidctl";
  for (const std::string& arg : args)
    text += " [" + arg + "]";
  return text;
}

bool wait_for_ping(std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (corvidctl({"ping"}).exit_code == 0)
      return true;
    if (ends_now(deadline))
      return false;
    Sleep(200);
  }
}

std::optional<std::uint32_t> status_pid() {
  const ProgramResult result = corvidctl({"status"});
  if (result.exit_code != 0)
    return std::nullopt;
  const nlohmann::json response = nlohmann::json::parse(result.out, nullptr, false);
  if (!response.is_object() || !response.contains("data"))
    return std::nullopt;
  const nlohmann::json& data = response["data"];
  if (!data.is_object() || data.value("running", false) != true ||
      !data["pid"].is_number_unsigned())
    return std::nullopt;
  return data["pid"].get<std::uint32_t>();
}

std::vector<DWORD> processes_in(const std::string& dir, std::string_view exe_name) {
  return find_processes(dir, exe_name);
}

std::vector<DWORD> wait_for_no_process(const std::string& dir, std::string_view exe_name,
                                       std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    std::vector<DWORD> left = find_processes(dir, exe_name);
    if (left.empty() || ends_now(deadline))
      return left;
    Sleep(50);
  }
}

ScHandle open_service(DWORD access, DWORD* error) {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    if (error != nullptr)
      *error = GetLastError();
    return ScHandle();
  }
  ScHandle service(OpenServiceW(manager.get(), kServiceName, access));
  if (!service && error != nullptr)
    *error = GetLastError();
  return service;
}

std::optional<ServiceConfig> query_service_config(DWORD* error) {
  ScHandle service = open_service(SERVICE_QUERY_CONFIG, error);
  if (!service)
    return std::nullopt;
  DWORD needed = 0;
  QueryServiceConfigW(service.get(), nullptr, 0, &needed);
  std::vector<unsigned char> buffer(needed == 0 ? sizeof(QUERY_SERVICE_CONFIGW) : needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed)) {
    if (error != nullptr)
      *error = GetLastError();
    return std::nullopt;
  }
  ServiceConfig result;
  result.service_type = config->dwServiceType;
  result.start_type = config->dwStartType;
  result.error_control = config->dwErrorControl;
  result.binary_path = narrow_or_empty(config->lpBinaryPathName);
  result.load_order_group = narrow_or_empty(config->lpLoadOrderGroup);
  result.tag_id = config->dwTagId;
  result.dependencies = narrow_list(config->lpDependencies);
  result.start_name = narrow_or_empty(config->lpServiceStartName);
  result.display_name = narrow_or_empty(config->lpDisplayName);
  return result;
}

namespace {

// One QueryServiceConfig2W record, in a buffer of the size it asks for.
std::optional<std::vector<unsigned char>> query_config2(DWORD level, DWORD* error) {
  ScHandle service = open_service(SERVICE_QUERY_CONFIG, error);
  if (!service)
    return std::nullopt;
  DWORD needed = 0;
  QueryServiceConfig2W(service.get(), level, nullptr, 0, &needed);
  std::vector<unsigned char> buffer(needed == 0 ? 1 : needed);
  if (!QueryServiceConfig2W(service.get(), level, buffer.data(), static_cast<DWORD>(buffer.size()),
                            &needed)) {
    if (error != nullptr)
      *error = GetLastError();
    return std::nullopt;
  }
  return buffer;
}

}  // namespace

std::optional<std::string> query_service_description(DWORD* error) {
  const auto buffer = query_config2(SERVICE_CONFIG_DESCRIPTION, error);
  if (!buffer)
    return std::nullopt;
  const auto* description = reinterpret_cast<const SERVICE_DESCRIPTIONW*>(buffer->data());
  return narrow_or_empty(description->lpDescription);
}

std::optional<ServiceFailureActions> query_failure_actions(DWORD* error) {
  const auto buffer = query_config2(SERVICE_CONFIG_FAILURE_ACTIONS, error);
  if (!buffer)
    return std::nullopt;
  const auto* failure = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer->data());
  ServiceFailureActions result;
  result.reset_period = failure->dwResetPeriod;
  result.actions.assign(failure->lpsaActions, failure->lpsaActions + failure->cActions);
  result.has_reboot_message = failure->lpRebootMsg != nullptr && *failure->lpRebootMsg != L'\0';
  result.has_command = failure->lpCommand != nullptr && *failure->lpCommand != L'\0';
  const auto flag = query_config2(SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, error);
  if (!flag)
    return std::nullopt;
  result.on_non_crash_failures = reinterpret_cast<const SERVICE_FAILURE_ACTIONS_FLAG*>(flag->data())
                                     ->fFailureActionsOnNonCrashFailures != FALSE;
  return result;
}

std::optional<DWORD> query_service_sid_type(DWORD* error) {
  const auto buffer = query_config2(SERVICE_CONFIG_SERVICE_SID_INFO, error);
  if (!buffer)
    return std::nullopt;
  return reinterpret_cast<const SERVICE_SID_INFO*>(buffer->data())->dwServiceSidType;
}

std::optional<SERVICE_STATUS_PROCESS> query_service_status() {
  ScHandle service = open_service(SERVICE_QUERY_STATUS);
  if (!service)
    return std::nullopt;
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                            reinterpret_cast<LPBYTE>(&status), sizeof status, &needed))
    return std::nullopt;
  return status;
}

std::optional<SERVICE_STATUS_PROCESS> wait_for_service_state(DWORD state,
                                                             std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    std::optional<SERVICE_STATUS_PROCESS> status = query_service_status();
    if ((status && status->dwCurrentState == state) || ends_now(deadline))
      return status;
    Sleep(50);
  }
}

DWORD control_service(DWORD control, SERVICE_STATUS* status) {
  DWORD error = 0;
  ScHandle service = open_service(SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE |
                                      SERVICE_USER_DEFINED_CONTROL | SERVICE_QUERY_STATUS,
                                  &error);
  if (!service)
    return error;
  SERVICE_STATUS ignored{};
  if (!ControlService(service.get(), control, status != nullptr ? status : &ignored))
    return GetLastError();
  return 0;
}

DWORD start_service(const std::vector<std::wstring>& parameters) {
  DWORD error = 0;
  ScHandle service = open_service(SERVICE_START, &error);
  if (!service)
    return error;
  std::vector<LPCWSTR> pointers;
  for (const std::wstring& parameter : parameters)
    pointers.push_back(parameter.c_str());
  if (!StartServiceW(service.get(), static_cast<DWORD>(pointers.size()),
                     pointers.empty() ? nullptr : pointers.data()))
    return GetLastError();
  return 0;
}

namespace {

// Closes its handle on return: the service is deleted once the last handle to it is closed.
void stop_and_delete_service() {
  ScHandle service = open_service(SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
  if (!service)
    return;
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  DWORD pid = 0;
  if (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                           sizeof status, &needed))
    pid = status.dwProcessId;
  WinHandle process;
  if (pid != 0)
    process.reset(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
  SERVICE_STATUS ignored{};
  ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored);
  if (process.valid() && WaitForSingleObject(process.get(), 10000) != WAIT_OBJECT_0) {
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), 10000);
  }
  DeleteService(service.get());
}

}  // namespace

void remove_service() {
  stop_and_delete_service();
  wait_for_service_gone();
}

bool wait_for_service_gone(std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    DWORD error = 0;
    if (!open_service(SERVICE_QUERY_STATUS, &error) && error == ERROR_SERVICE_DOES_NOT_EXIST)
      return true;
    if (ends_now(deadline))
      return false;
    Sleep(50);
  }
}

std::string scm_error_report(DWORD code) {
  return "Error: IO error in winapi call\n"
         "\n"
         "Caused by:\n"
         "    " +
         os_error_for(code) + "\n";
}

void ServiceTest::SetUp() {
  // Left over from an earlier run that was killed mid-test.
  remove_service();
  ASSERT_TRUE(helper.ready());
}

void ServiceTest::TearDown() {
  remove_service();
}

ProgramResult ServiceTest::run_helper(const std::vector<std::string>& args) {
  ProgramResult result = run_program(helper.exe(), args, 60s);
  EXPECT_TRUE(result.started) << result.start_error;
  return result;
}

std::optional<SERVICE_STATUS_PROCESS> ServiceTest::install_running() {
  // What `install` does after its judgement, which under Wine always refuses: every file there is
  // the running user's.
  const Result<void> installed = register_service(helper.exe());
  EXPECT_TRUE(installed.has_value()) << detailed_text(installed.error());
  if (!installed)
    return std::nullopt;
  std::optional<SERVICE_STATUS_PROCESS> status = wait_for_service_state(SERVICE_RUNNING);
  if (!status || status->dwCurrentState != SERVICE_RUNNING) {
    ADD_FAILURE() << "the service did not reach SERVICE_RUNNING";
    return std::nullopt;
  }
  if (!wait_for_ping()) {
    ADD_FAILURE() << "the service does not answer a ping";
    return std::nullopt;
  }
  return status;
}

}  // namespace corvid::test
