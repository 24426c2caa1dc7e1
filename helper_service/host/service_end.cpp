#include "host/service_end.h"

#include <tlhelp32.h>

#include <optional>
#include <string>
#include <vector>

#include "common/exe_dir.h"
#include "common/product_names.h"
#include "common/utf.h"
#include "log/log.h"

namespace corvid {

namespace {

using Clock = std::chrono::steady_clock;

std::optional<SERVICE_STATUS_PROCESS> query_status(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                            sizeof status, &needed))
    return std::nullopt;
  return status;
}

DWORD left_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
}

std::optional<std::wstring> image_of(HANDLE process) {
  std::vector<wchar_t> image(32768);
  DWORD size = static_cast<DWORD>(image.size());
  if (!QueryFullProcessImageNameW(process, 0, image.data(), &size))
    return std::nullopt;
  return std::wstring(image.data(), size);
}

std::optional<std::uint64_t> creation_time(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
    return std::nullopt;
  return (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

bool same_path(const std::wstring& a, const std::wstring& b) {
  return a.size() == b.size() &&
         CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// The cores the service started that may still run: children of its process (created after it:
// an older process whose parent had the same id is another's) whose image is the core beside it.
std::vector<WinHandle> cores_of(const ServiceProcess& service) {
  std::vector<WinHandle> cores;
  const WinHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot)
    return cores;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ParentProcessID != service.pid)
      continue;
    WinHandle child(
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
    if (!child)
      continue;
    const std::optional<std::uint64_t> created = creation_time(child.get());
    const std::optional<std::wstring> image = image_of(child.get());
    if (created && *created >= service.created && image && same_path(*image, service.core))
      cores.push_back(std::move(child));
  }
  return cores;
}

}  // namespace

ServiceProcess open_service_process(SC_HANDLE service) {
  const std::optional<SERVICE_STATUS_PROCESS> before = query_status(service);
  if (!before || before->dwCurrentState == SERVICE_STOPPED || before->dwProcessId == 0)
    return {};
  ServiceProcess process;
  process.pid = before->dwProcessId;
  process.handle.reset(
      OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process.pid));
  // Still the service's once opened: the id cannot have passed to another process in between.
  const std::optional<SERVICE_STATUS_PROCESS> after = query_status(service);
  if (!process.handle || !after || after->dwCurrentState == SERVICE_STOPPED ||
      after->dwProcessId != process.pid)
    return {};
  // Read while it runs.
  const std::optional<std::wstring> image = image_of(process.handle.get());
  const std::optional<std::uint64_t> created = creation_time(process.handle.get());
  if (image && created) {
    process.core = image->substr(0, image->find_last_of(L'\\') + 1) + to_wide(kCoreFileName);
    process.created = *created;
  }
  return process;
}

ServiceEnd wait_for_service_end(SC_HANDLE service, const ServiceProcess& process,
                                std::chrono::milliseconds limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  if (process.handle &&
      WaitForSingleObject(process.handle.get(), left_ms(deadline)) != WAIT_OBJECT_0)
    return ServiceEnd::kServiceRuns;
  for (;;) {
    const std::optional<SERVICE_STATUS_PROCESS> status = query_status(service);
    if (!status || status->dwCurrentState == SERVICE_STOPPED)
      break;
    if (left_ms(deadline) == 0)
      return ServiceEnd::kServiceRuns;
    Sleep(50);
  }
  // The service can start no more cores now; those it started end with its job, shortly.
  if (process.handle && !process.core.empty()) {
    for (const WinHandle& core : cores_of(process)) {
      if (WaitForSingleObject(core.get(), left_ms(deadline)) != WAIT_OBJECT_0)
        return ServiceEnd::kCoreRuns;
    }
  }
  return ServiceEnd::kGone;
}

void log_wait_ran_out(ServiceEnd end) {
  // `uninstall` runs in a process of its own, which has no log open yet.
  if (const Result<std::string> dir = exe_dir())
    init_log(*dir);
  log_line(std::string("uninstall: ") +
           (end == ServiceEnd::kServiceRuns ? "the service" : "a core of the service") +
           " still ran after " + std::to_string(kUninstallWait.count()) +
           " s; deleting the service all the same");
}

}  // namespace corvid
