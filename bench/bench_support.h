#pragma once
// What the bench scenarios share: one client for every pipe, a clock, statistics, and the
// processes it starts and watches.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/handle_win.h"

namespace bench {

// Microseconds on the performance counter.
double now_us();
// The system time as a FILETIME count, the helper log's clock.
std::uint64_t filetime_now();

// One connection: connect (waiting while the pipe is busy or briefly absent), write the line,
// read one response line, close. The same code serves the helper and the baseline.
struct Exchange {
  bool answered = false;  // a whole line came back
  std::string response;   // with its line feed
  double micros = 0;      // from the first connect attempt to the closed handle
  unsigned absent_retries = 0;
  DWORD error = 0;  // when not answered
};
// `message_size` > 0: the line is written in messages of at most that many bytes, as a client
// must for a request longer than the server reads at once.
Exchange exchange(const std::wstring& pipe, std::string_view line, std::size_t message_size = 0);

// The size of a file, 0 when there is none.
std::uint64_t file_size(const std::wstring& path);

struct Summary {
  std::size_t count = 0;
  double min = 0, median = 0, p90 = 0, p99 = 0, max = 0, mean = 0;
};
// Nearest-rank percentiles.
Summary summarize(std::vector<double> values);

// A child process with its handles; ends it (exit code 1) when destroyed unless released.
class Process {
 public:
  Process() = default;
  Process(Process&& other) noexcept { *this = std::move(other); }
  Process& operator=(Process&& other) noexcept;
  ~Process();

  // `stdio_path`: a file for the child's standard output and error (empty: none).
  static std::optional<Process> launch(const std::wstring& exe, const std::wstring& command_line,
                                       const std::wstring& work_dir,
                                       const std::wstring& stdio_path);
  HANDLE handle() const { return process_.get(); }
  DWORD pid() const { return pid_; }
  void kill();

 private:
  corvid::WinHandle process_;
  corvid::WinHandle thread_;
  DWORD pid_ = 0;
};

// The helper's footprint. The documented calls (GetProcessMemoryInfo, GetProcessHandleCount,
// GetProcessTimes) answer zero for another process under Wine 8; there the same figures come
// from NtQuerySystemInformation(SystemProcessInformation), which Wine fills in. Private bytes
// are the commit charge (PrivateUsage, equal to PagefileUsage on Windows; Wine reports only the
// latter, as the process's anonymous resident memory).
struct Footprint {
  std::uint64_t private_bytes = 0;
  std::uint64_t working_set = 0;
  std::uint32_t handles = 0;
  double cpu_ms = 0;  // kernel plus user time, in ticks of the system clock (10 ms under Wine)
};
Footprint footprint(HANDLE process, DWORD pid);

// Under Wine: the CPU time, in nanoseconds, that the Linux scheduler charged to the process
// whose Windows command line contains `name` (every thread, from /proc/PID/task/*/schedstat),
// among the processes of this Wine prefix. Empty elsewhere or when not found.
std::optional<std::uint64_t> unix_cpu_ns(std::string_view name);

// What is left in an open file, from its current position.
std::string read_to_end(HANDLE file);

std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view wide);

}  // namespace bench
