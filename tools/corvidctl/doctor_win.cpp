#include "doctor_win.h"

#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "channel/message.h"
#include "common/error.h"
#include "common/module_path.h"
#include "common/os_error.h"
#include "common/utf.h"
#include "common/handle_win.h"
#include "common/io_win.h"
#include "common/path_rules.h"
#include "common/product_names.h"
#include "common/sids_win.h"
#include "console_io_win.h"
#include "corvid_version.h"
#include "doctor_report.h"
#include "exit_codes.h"
#include "log/log.h"
#include "log_view.h"
#include "pipe_client_win.h"
#include "response_text.h"
#include "service_registration_win.h"
#include "supervisor/install_security.h"
#include "supervisor/security_win.h"

namespace corvid::corvidctl {

namespace {

// The helper log's failures worth showing: among its last entries, the last few.
constexpr std::size_t kLogEntriesRead = 200;
constexpr std::size_t kFailuresShown = 3;
// The end of the core's own log shown for a core that does not stay up.
constexpr std::uint64_t kCoreLogTailBytes = 16 * 1024;
constexpr std::size_t kCoreLogLines = 8;

Check passed(std::string name, std::string detail) {
  return Check{std::move(name), true, std::move(detail)};
}
Check failed(std::string name, std::string detail) {
  return Check{std::move(name), false, std::move(detail)};
}

std::string directory_of(const std::string& path) {
  return parent_path(path).value_or(std::string());
}

// Whether two paths name one file (the same volume and file index), whatever their spelling.
bool same_file(const std::string& a, const std::string& b) {
  const Result<FileIdentity> first = identity_of(a);
  const Result<FileIdentity> second = identity_of(b);
  return first && second && first->same_file(*second);
}

bool is_file(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(to_wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string start_type_text(DWORD type) {
  switch (type) {
    case SERVICE_AUTO_START:
      return "automatic";
    case SERVICE_DEMAND_START:
      return "manual";
    case SERVICE_DISABLED:
      return "disabled";
    default:
      return "type " + std::to_string(type);
  }
}

std::string state_text(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "stopped";
    case SERVICE_START_PENDING:
      return "starting";
    case SERVICE_STOP_PENDING:
      return "stopping";
    case SERVICE_RUNNING:
      return "running";
    case SERVICE_PAUSED:
      return "paused";
    default:
      return "state " + std::to_string(state);
  }
}

void check_service(const Result<ServiceRegistration>& registration, const std::string& beside_me,
                   std::vector<Check>& checks) {
  if (!registration) {
    const std::string reason = "no service to read (" + registration.error().message + ")";
    checks.push_back(failed("service installed", registration.error().message));
    checks.push_back(failed("service start type", reason));
    checks.push_back(failed("service state", reason));
    checks.push_back(failed("service binary", reason));
    return;
  }
  checks.push_back(passed("service installed", from_wide(pipe_client::endpoint().service_name)));
  const std::string start = start_type_text(registration->start_type);
  checks.push_back(registration->start_type == SERVICE_AUTO_START
                       ? passed("service start type", start)
                       : failed("service start type", start + ", not automatic: the helper will "
                                                              "not be there after a restart"));
  const SERVICE_STATUS_PROCESS& status = registration->status;
  if (status.dwCurrentState == SERVICE_RUNNING) {
    checks.push_back(passed("service state", "running, pid " + std::to_string(status.dwProcessId)));
  } else {
    std::string detail = state_text(status.dwCurrentState);
    if (status.dwCurrentState == SERVICE_STOPPED && status.dwWin32ExitCode != 0) {
      detail += "; it ended with " + std::to_string(status.dwWin32ExitCode) + ": " +
                os_error_text(status.dwWin32ExitCode);
    }
    checks.push_back(failed("service state", detail));
  }
  const std::string program(service_program(registration->binary_path));
  if (same_file(program, beside_me)) {
    checks.push_back(
        passed("service binary", registration->binary_path + ", the helper beside corvidctl"));
  } else {
    checks.push_back(failed(
        "service binary",
        registration->binary_path + ", not the helper beside corvidctl (" + beside_me + ")"));
  }
}

std::string utc_text(std::uint64_t intervals) {
  FILETIME file_time{static_cast<DWORD>(intervals & 0xFFFFFFFFu),
                     static_cast<DWORD>(intervals >> 32)};
  SYSTEMTIME utc{};
  if (!FileTimeToSystemTime(&file_time, &utc))
    return "(no time)";
  return civil_time_text(CivilTime{utc.wYear, utc.wMonth, utc.wDay, utc.wHour, utc.wMinute,
                                   utc.wSecond, utc.wMilliseconds, 0, true});
}

Check check_log(const std::string& log_path, const Result<std::string>& text) {
  if (!text) {
    if (text.error().os_code == ERROR_FILE_NOT_FOUND)
      return passed("helper log", "no log yet at " + log_path);
    return failed("helper log", "cannot read " + log_path + ": " + text.error().message);
  }
  const std::vector<LogEntry> failures = failure_entries(*text, kLogEntriesRead, kFailuresShown);
  if (failures.empty()) {
    return passed("helper log", "no failure among the last " + std::to_string(kLogEntriesRead) +
                                    " entries of " + log_path);
  }
  std::string detail = "failures reported in " + log_path + ":";
  for (const LogEntry& entry : failures)
    detail += "\n    " + utc_text(entry.intervals) + " " + entry.message;
  return failed("helper log", detail);
}

std::expected<std::string, pipe_client::ExchangeError> ask(const std::string& action,
                                                           std::string* owner) {
  Request request;
  request.action = action;
  request.id = "doctor";
  const Result<std::string> line = encode_request(request);
  pipe_client::ExchangeOptions options;
  options.owner = owner;
  return pipe_client::exchange(line.value_or(std::string()), options);
}

// The end of the core's own log, a few lines indented under the check, or why it cannot be read.
std::string core_log_tail(const std::string& path) {
  const WinHandle file(CreateFileW(to_wide(path).c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size{};
  if (!file.valid() || !GetFileSizeEx(file.get(), &size)) {
    const DWORD code = GetLastError();
    std::string why = "\n    the core's log " + path + " cannot be read: " + os_error_text(code);
    if (code == ERROR_ACCESS_DENIED)
      why += " (it may be readable by administrators only: run doctor elevated to see it)";
    return why;
  }
  const std::uint64_t length = static_cast<std::uint64_t>(size.QuadPart);
  const std::uint64_t from = length - std::min(length, kCoreLogTailBytes);
  LARGE_INTEGER position{};
  position.QuadPart = static_cast<LONGLONG>(from);
  std::string bytes(static_cast<std::size_t>(length - from), '\0');
  DWORD got = 0;
  if (!SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN) ||
      !ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr)) {
    return "\n    the core's log " + path + " cannot be read: " + last_os_error_text();
  }
  bytes.resize(got);
  const std::vector<std::string> lines = last_lines(bytes, from == 0, kCoreLogLines);
  if (lines.empty())
    return "\n    the core's log " + path + " is empty";
  std::string tail = "\n    the core's log " + path + " ends:";
  for (const std::string& line : lines)
    tail += "\n      " + line;
  return tail;
}

// The core's status and owner, judged with what the helper log says of it lately.
Check check_core(const std::string& install_dir, const Result<std::string>& helper_log) {
  const auto status = ask("status", nullptr);
  if (!status)
    return failed("core status", status.error().message);
  std::string words = human_text(*status).value_or(*status);
  const std::optional<bool> running = status_running(*status);
  if (!running)
    return failed("core status", words);
  if (const auto owner = ask("owner", nullptr))
    words = status_with_owner(std::move(words), *owner);
  const CoreHistory history =
      helper_log ? core_history(*helper_log, current_filetime()) : CoreHistory{};
  Check check = core_check(words, *running, history);
  if (!check.passed)
    check.detail += core_log_tail(join_path(install_dir, kCoreLogFileName));
  return check;
}

// The pipe, its owner and a ping; false when the pipe cannot be asked anything.
bool check_pipe(std::vector<Check>& checks) {
  std::string owner;
  const auto start = std::chrono::steady_clock::now();
  const auto ping = ask("ping", &owner);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  using Kind = pipe_client::ExchangeError::Kind;
  if (!ping && ping.error().kind == Kind::kNoService) {
    checks.push_back(failed("pipe present", ping.error().message));
    checks.push_back(failed("pipe owner", "no pipe to check"));
    checks.push_back(failed("ping", "not sent: no pipe"));
    checks.push_back(failed("core status", "not asked: no pipe"));
    return false;
  }
  checks.push_back(passed("pipe present", from_wide(pipe_client::endpoint().pipe_name)));
  // The client refuses a pipe whose owner, or whose server process, is not the helper's.
  if (!ping && ping.error().kind == Kind::kNotTheHelper) {
    checks.push_back(failed("pipe owner", ping.error().message));
    checks.push_back(failed("ping", "not sent to a pipe that is not the helper's"));
    checks.push_back(failed("core status", "not asked: the pipe is not the helper's"));
    return false;
  }
  checks.push_back(passed("pipe owner", "owned by " + owner + ", trusted as the helper's"));
  if (!ping) {
    checks.push_back(failed("ping", ping.error().message));
  } else if (response_ok(*ping) == true) {
    checks.push_back(passed("ping", "answered in " + std::to_string(took.count()) + " ms"));
  } else {
    checks.push_back(failed("ping", "answered " + human_text(*ping).value_or(*ping)));
  }
  return true;
}

// The registered helper's file version, from its version resource.
Result<std::string> file_version(const std::string& path) {
  const std::wstring wide = to_wide(path);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(wide.c_str(), &ignored);
  if (size == 0)
    return std::unexpected(last_os_error());
  std::vector<unsigned char> data(size);
  CORVID_TRY(check_win32(GetFileVersionInfoW(wide.c_str(), 0, size, data.data())));
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(data.data(), L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO))
    return std::unexpected(Error("its version resource has no file version"));
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  return file_version_text(HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                           HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
}

// The running Windows as major.minor.build: RtlGetVersion, which, unlike GetVersionEx, does not
// answer what a program's manifest claims to support.
std::string windows_version() {
  using RtlGetVersionFunction = LONG(WINAPI*)(RTL_OSVERSIONINFOW*);
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const auto rtl_get_version = reinterpret_cast<RtlGetVersionFunction>(reinterpret_cast<void (*)()>(
      ntdll == nullptr ? nullptr : GetProcAddress(ntdll, "RtlGetVersion")));
  RTL_OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  if (rtl_get_version == nullptr || rtl_get_version(&info) != 0)
    return "unknown";
  return std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion) + "." +
         std::to_string(info.dwBuildNumber);
}

// "DOMAIN\name (S-1-5-21-...)" of the user running corvidctl, and whether its token is elevated.
void describe_user(About& about) {
  WinHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) {
    about.user = "unknown: " + last_os_error_text();
    return;
  }
  const Result<std::string> sid = token_user_sid(token.get());
  if (!sid) {
    about.user = "unknown: " + sid.error().message;
  } else {
    about.user = *sid;
    LocalMemory<PSID> binary;
    wchar_t name[256];
    wchar_t domain[256];
    DWORD name_size = 256;
    DWORD domain_size = 256;
    SID_NAME_USE use{};
    if (ConvertStringSidToSidW(to_wide(*sid).c_str(), binary.put()) &&
        LookupAccountSidW(nullptr, binary.get(), name, &name_size, domain, &domain_size, &use)) {
      about.user = from_wide(domain) + "\\" + from_wide(name) + " (" + *sid + ")";
    }
  }
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size))
    about.elevated = elevation.TokenIsElevated != 0;
}

About about_this(const Result<ServiceRegistration>& registration) {
  About about;
  about.corvidctl_version = kVersion;
  if (!registration) {
    about.helper_version_problem = "no registered helper: " + registration.error().message;
  } else {
    const std::string program(service_program(registration->binary_path));
    const Result<std::string> version = file_version(program);
    if (version)
      about.helper_version = *version;
    else
      about.helper_version_problem =
          "cannot read the version of " + program + ": " + version.error().message;
  }
  about.windows = windows_version();
  describe_user(about);
  return about;
}

}  // namespace

int run_doctor(bool json) {
  std::vector<Check> checks;
  const std::string me = running_executable_path().value_or(std::string());
  const std::string beside_me = join_path(directory_of(me), kHelperFileName);
  const Result<ServiceRegistration> registration = read_service_registration();
  const About about = about_this(registration);
  checks.push_back(version_check(about));
  check_service(registration, beside_me, checks);

  // The installed helper's folder; without a service, the folder corvidctl came with.
  const std::string helper =
      registration ? std::string(service_program(registration->binary_path)) : beside_me;
  const std::string install_dir = directory_of(helper);
  const std::string core = join_path(install_dir, kCoreFileName);
  // The same judgement the helper makes for a standard user's start, on the same paths.
  checks.push_back(admin_only_check(install_dir, windows_install_reader()));
  checks.push_back(
      is_file(core) ? passed("core present", core)
                    : failed("core present", "no " + std::string(kCoreFileName) + " at " + core));
  const std::string log_path = join_path(install_dir, kLogFileName);
  const Result<std::string> helper_log = read_file(log_path);
  if (check_pipe(checks))
    checks.push_back(check_core(install_dir, helper_log));
  checks.push_back(check_log(log_path, helper_log));

  write_std(STD_OUTPUT_HANDLE, json ? doctor_json(about, checks) : doctor_text(about, checks));
  return all_passed(checks) ? kExitOk : kExitDoctorFailed;
}

}  // namespace corvid::corvidctl
