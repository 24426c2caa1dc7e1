#include "bench_support.h"

#include <psapi.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <cmath>
#include <numeric>
#include <utility>

#include "common/handle_win.h"
#include "common/utf.h"

namespace bench {

namespace {

double counter_frequency() {
  LARGE_INTEGER frequency{};
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(frequency.QuadPart);
}

// Connects to `pipe`. Between two clients the echo server briefly has no instance (the previous
// one is closed before the next is created; the helper always has one): that gap is part of a
// sequential round trip there, so it is waited out by yielding, not by a coarse sleep that would
// swamp what is measured.
HANDLE connect(const std::wstring& pipe, unsigned& absent_retries, DWORD& error) {
  const double give_up = now_us() + 10e6;
  for (;;) {
    HANDLE handle = CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE)
      return handle;
    error = GetLastError();
    if (now_us() > give_up)
      return nullptr;
    if (error == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(pipe.c_str(), 1000);
    } else if (error == ERROR_FILE_NOT_FOUND) {
      ++absent_retries;
      Sleep(absent_retries < 200 ? 0 : 1);
    } else {
      return nullptr;
    }
  }
}

}  // namespace

double now_us() {
  static const double frequency = counter_frequency();
  LARGE_INTEGER count{};
  QueryPerformanceCounter(&count);
  return static_cast<double>(count.QuadPart) * 1e6 / frequency;
}

std::uint64_t filetime_now() {
  FILETIME now{};
  GetSystemTimePreciseAsFileTime(&now);
  return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

std::uint64_t file_size(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
    return 0;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

Exchange exchange(const std::wstring& pipe, std::string_view line, std::size_t message_size) {
  Exchange result;
  const double start = now_us();
  corvid::WinHandle owned(connect(pipe, result.absent_retries, result.error));
  const HANDLE handle = owned.get();
  if (!owned) {
    result.micros = now_us() - start;
    return result;
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(handle, &mode, nullptr, nullptr);
  const std::size_t piece = message_size > 0 ? message_size : line.size();
  bool sent = true;
  std::size_t at = 0;
  do {
    const std::string_view message = line.substr(at, piece);
    DWORD written = 0;
    sent =
        WriteFile(handle, message.data(), static_cast<DWORD>(message.size()), &written, nullptr) &&
        written == message.size();
    at += message.size();
  } while (sent && at < line.size());
  if (!sent) {
    result.error = GetLastError();
  } else {
    char buffer[4096];
    for (;;) {
      DWORD read = 0;
      const BOOL ok = ReadFile(handle, buffer, sizeof buffer, &read, nullptr);
      const DWORD code = ok ? 0 : GetLastError();
      if (!ok && code != ERROR_MORE_DATA) {
        result.error = code;
        break;
      }
      result.response.append(buffer, read);
      if (ok && result.response.find('\n') != std::string::npos) {
        result.answered = true;
        break;
      }
      if (ok && read == 0)
        break;
    }
  }
  // Closing is part of the round trip, as a client does it.
  owned.reset();
  result.micros = now_us() - start;
  return result;
}

Summary summarize(std::vector<double> values) {
  Summary s;
  s.count = values.size();
  if (values.empty())
    return s;
  std::sort(values.begin(), values.end());
  const auto rank = [&](double p) {
    const std::size_t r =
        static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(r, 1, values.size()) - 1];
  };
  s.min = values.front();
  s.max = values.back();
  s.median = rank(0.5);
  s.p90 = rank(0.9);
  s.p99 = rank(0.99);
  s.mean = std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
  return s;
}

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    kill();
    process_ = std::move(other.process_);
    thread_ = std::move(other.thread_);
    pid_ = std::exchange(other.pid_, 0);
  }
  return *this;
}

Process::~Process() {
  kill();
}

std::optional<Process> Process::launch(const std::wstring& exe, const std::wstring& command_line,
                                       const std::wstring& work_dir,
                                       const std::wstring& stdio_path) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  corvid::WinHandle output;
  if (!stdio_path.empty()) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    output.reset(CreateFileW(stdio_path.c_str(), FILE_APPEND_DATA,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!output)
      return std::nullopt;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = output.get();
    startup.hStdError = output.get();
  }
  std::wstring mutable_line = command_line;
  PROCESS_INFORMATION info{};
  const BOOL created = CreateProcessW(
      exe.c_str(), mutable_line.data(), nullptr, nullptr, output ? TRUE : FALSE, CREATE_NO_WINDOW,
      nullptr, work_dir.empty() ? nullptr : work_dir.c_str(), &startup, &info);
  output.reset();
  if (!created)
    return std::nullopt;
  Process process;
  process.process_.reset(info.hProcess);
  process.thread_.reset(info.hThread);
  process.pid_ = info.dwProcessId;
  return process;
}

void Process::kill() {
  if (process_) {
    TerminateProcess(process_.get(), 1);
    WaitForSingleObject(process_.get(), 10000);
  }
  process_.reset();
  thread_.reset();
  pid_ = 0;
}

std::string read_to_end(HANDLE file) {
  std::string bytes;
  char buffer[8192];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read != 0)
    bytes.append(buffer, read);
  return bytes;
}

namespace {

// The x64 layout of the head of SYSTEM_PROCESS_INFORMATION, as far as it is read here.
struct ProcessRecord {
  ULONG next_entry_offset;
  ULONG number_of_threads;
  LARGE_INTEGER working_set_private_size;
  ULONG hard_fault_count;
  ULONG number_of_threads_high_watermark;
  ULONGLONG cycle_time;
  LARGE_INTEGER create_time;
  LARGE_INTEGER user_time;
  LARGE_INTEGER kernel_time;
  struct {
    USHORT length;
    USHORT maximum_length;
    PWSTR buffer;
  } image_name;
  LONG base_priority;
  HANDLE unique_process_id;
  HANDLE inherited_from_unique_process_id;
  ULONG handle_count;
  ULONG session_id;
  ULONG_PTR unique_process_key;
  SIZE_T peak_virtual_size;
  SIZE_T virtual_size;
  ULONG page_fault_count;
  SIZE_T peak_working_set_size;
  SIZE_T working_set_size;
  SIZE_T quota_peak_paged_pool_usage;
  SIZE_T quota_paged_pool_usage;
  SIZE_T quota_peak_non_paged_pool_usage;
  SIZE_T quota_non_paged_pool_usage;
  SIZE_T pagefile_usage;
  SIZE_T peak_pagefile_usage;
  SIZE_T private_page_count;
};
static_assert(sizeof(void*) != 8 || offsetof(ProcessRecord, handle_count) == 96);
static_assert(sizeof(void*) != 8 || offsetof(ProcessRecord, pagefile_usage) == 184);

using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

std::optional<ProcessRecord> system_record(DWORD pid) {
  static const auto query = reinterpret_cast<QuerySystemInformation>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr)
    return std::nullopt;
  constexpr ULONG kSystemProcessInformation = 5;
  std::vector<unsigned char> buffer(1 << 20);
  ULONG needed = 0;
  LONG status = 0;
  while ((status = query(kSystemProcessInformation, buffer.data(),
                         static_cast<ULONG>(buffer.size()), &needed)) ==
         static_cast<LONG>(0xC0000004L)) {  // STATUS_INFO_LENGTH_MISMATCH
    buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed + 65536));
  }
  if (status != 0)
    return std::nullopt;
  std::size_t offset = 0;
  for (;;) {
    ProcessRecord record;
    std::memcpy(&record, buffer.data() + offset, sizeof record);
    if (static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(record.unique_process_id)) == pid)
      return record;
    if (record.next_entry_offset == 0)
      return std::nullopt;
    offset += record.next_entry_offset;
  }
}

std::uint64_t filetime_count(const FILETIME& t) {
  return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

// A whole file under Wine's Z: drive (the host's root), such as one in /proc.
std::optional<std::string> read_host_file(const std::string& path) {
  const std::wstring wide = widen("Z:" + path);
  const corvid::WinHandle file(CreateFileW(wide.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file)
    return std::nullopt;
  return read_to_end(file.get());
}

std::vector<std::string> host_directory(const std::string& path) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found{};
  const std::wstring pattern = widen("Z:" + path + "/*");
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE)
    return names;
  do {
    names.push_back(narrow(found.cFileName));
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

}  // namespace

Footprint footprint(HANDLE process, DWORD pid) {
  Footprint f;
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                           sizeof counters)) {
    f.private_bytes = counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
    f.working_set = counters.WorkingSetSize;
  }
  DWORD handles = 0;
  if (GetProcessHandleCount(process, &handles))
    f.handles = handles;
  FILETIME created{}, exited{}, kernel{}, user{};
  if (GetProcessTimes(process, &created, &exited, &kernel, &user))
    f.cpu_ms = static_cast<double>(filetime_count(kernel) + filetime_count(user)) / 1e4;

  // A live process has handles and has run: zeros mean the call is not implemented.
  if (f.handles == 0 || f.cpu_ms == 0 || f.private_bytes == 0 || f.working_set == 0) {
    if (const std::optional<ProcessRecord> record = system_record(pid)) {
      if (f.handles == 0)
        f.handles = record->handle_count;
      if (f.cpu_ms == 0)
        f.cpu_ms =
            static_cast<double>(record->kernel_time.QuadPart + record->user_time.QuadPart) / 1e4;
      if (f.private_bytes == 0)
        f.private_bytes = record->pagefile_usage;
      if (f.working_set == 0)
        f.working_set = record->working_set_size;
    }
  }
  return f;
}

std::optional<std::uint64_t> unix_cpu_ns(std::string_view name) {
  wchar_t prefix[MAX_PATH * 2];
  const DWORD length = GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH * 2);
  if (length == 0 || length >= MAX_PATH * 2)
    return std::nullopt;
  const std::string wanted_env = "WINEPREFIX=" + narrow(std::wstring_view(prefix, length));
  for (const std::string& entry : host_directory("/proc")) {
    if (entry.empty() || entry.find_first_not_of("0123456789") != std::string::npos)
      continue;
    const std::optional<std::string> command = read_host_file("/proc/" + entry + "/cmdline");
    if (!command || command->find(name) == std::string::npos)
      continue;
    const std::optional<std::string> environment = read_host_file("/proc/" + entry + "/environ");
    if (!environment)
      continue;
    bool same_prefix = false;
    for (std::size_t pos = 0; pos < environment->size();) {
      const std::size_t end = std::min(environment->find('\0', pos), environment->size());
      if (std::string_view(*environment).substr(pos, end - pos) == wanted_env)
        same_prefix = true;
      pos = end + 1;
    }
    if (!same_prefix)
      continue;
    std::uint64_t total = 0;
    for (const std::string& task : host_directory("/proc/" + entry + "/task")) {
      if (task.empty() || task.find_first_not_of("0123456789") != std::string::npos)
        continue;
      if (const auto stat = read_host_file("/proc/" + entry + "/task/" + task + "/schedstat"))
        total += std::strtoull(stat->c_str(), nullptr, 10);
    }
    return total;
  }
  return std::nullopt;
}

std::wstring widen(std::string_view utf8) {
  return corvid::to_wide(utf8);
}

std::string narrow(std::wstring_view wide) {
  return corvid::from_wide(wide);
}

}  // namespace bench
