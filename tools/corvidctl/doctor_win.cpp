#include "doctor_win.h"

#include <windows.h>

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
#include "console_io_win.h"
#include "doctor_report.h"
#include "exit_codes.h"
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
  checks.push_back(passed("service installed", "corvid-helper"));
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
                                   utc.wSecond, utc.wMilliseconds}) +
         " UTC";
}

Check check_log(const std::string& log_path) {
  const Result<std::string> text = read_file(log_path);
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

void check_pipe(std::vector<Check>& checks) {
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
    return;
  }
  checks.push_back(passed("pipe present", std::string(pipe_config::kPipeNameUtf8)));
  if (!ping && ping.error().kind == Kind::kNotTheHelper) {
    checks.push_back(failed("pipe owner", ping.error().message));
    checks.push_back(failed("ping", "not sent to a pipe that is not the helper's"));
    checks.push_back(failed("core status", "not asked: the pipe is not the helper's"));
    return;
  }
  checks.push_back(passed("pipe owner", "owned by " + owner + ", trusted as the helper's"));
  if (!ping) {
    checks.push_back(failed("ping", ping.error().message));
  } else if (response_ok(*ping) == true) {
    checks.push_back(passed("ping", "answered in " + std::to_string(took.count()) + " ms"));
  } else {
    checks.push_back(failed("ping", "answered " + human_text(*ping).value_or(*ping)));
  }
  const auto status = ask("status", nullptr);
  if (!status) {
    checks.push_back(failed("core status", status.error().message));
  } else {
    const std::string words = human_text(*status).value_or(*status);
    checks.push_back(response_ok(*status) == true ? passed("core status", words)
                                                  : failed("core status", words));
  }
}

}  // namespace

int run_doctor(bool json) {
  std::vector<Check> checks;
  const std::string me = running_executable_path().value_or(std::string());
  const std::string beside_me = join_path(directory_of(me), kHelperFileName);
  const Result<ServiceRegistration> registration = read_service_registration();
  check_service(registration, beside_me, checks);

  // The installed helper's folder; without a service, the folder corvidctl came with.
  const std::string helper =
      registration ? std::string(service_program(registration->binary_path)) : beside_me;
  const std::string install_dir = directory_of(helper);
  const std::string core = join_path(install_dir, kCoreFileName);
  // The same judgement the helper makes for a standard user's start, on the same paths.
  const std::optional<std::string> refusal =
      admin_only_refusal(install_dir, windows_install_reader());
  if (refusal) {
    checks.push_back(failed("admin-only install", *refusal));
  } else {
    checks.push_back(
        passed("admin-only install", install_dir + ", everything in it and every folder above it"));
  }
  checks.push_back(
      is_file(core) ? passed("core present", core)
                    : failed("core present", "no " + std::string(kCoreFileName) + " at " + core));
  check_pipe(checks);
  checks.push_back(check_log(join_path(install_dir, kLogFileName)));

  write_std(STD_OUTPUT_HANDLE, json ? doctor_json(checks) : doctor_text(checks));
  return all_passed(checks) ? kExitOk : kExitDoctorFailed;
}

}  // namespace corvid::corvidctl
