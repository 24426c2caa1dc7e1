#pragma once
// Shared pieces of the Windows tests: temporary directories, the stand-in core and its run
// records, child programs with captured output.

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/handle_win.h"

namespace corvid::test {

// The directory of the running test program, where every built program lies.
std::string test_exe_dir();
std::string built_program(std::string_view file_name);

// A fresh directory under the temporary directory, removed with its content at the end (a test
// fails when it cannot be). Any stand-in core that recorded a run in it and still runs is ended
// first. On Windows it has an explicit, protected access list that the helper's install judgement
// accepts in an elevated run: LocalSystem and Administrators, and read and execute for the user.
class TempDir {
 public:
  explicit TempDir(std::string_view label = "corvid test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const;

 private:
  std::string path_;
};

std::optional<std::string> read_file(const std::string& path);
bool write_file(const std::string& path, std::string_view bytes);
bool make_directory(const std::string& path);
bool is_file(const std::string& path);
bool is_directory(const std::string& path);

// Copies the stand-in core into `dir` as clash-rs.exe and returns its path.
std::string install_fake_core(const std::string& dir);

// One run recorded by the stand-in core in the directory of its executable.
struct CoreRun {
  std::uint32_t pid = 0;
  std::string cwd;
  std::string command_line;
  std::vector<std::string> argv;
};
std::vector<CoreRun> read_core_runs(const std::string& core_dir);
// Waits until at least `count` runs are recorded; returns what is there when time is up.
std::vector<CoreRun> wait_for_core_runs(
    const std::string& core_dir, std::size_t count,
    std::chrono::milliseconds timeout = std::chrono::seconds(30));

// A handle that can wait for the process and read its exit code.
WinHandle open_process(std::uint32_t pid);
// The exit code once the process has ended within `timeout`; empty if it still runs.
std::optional<DWORD> wait_exit_code(HANDLE process,
                                    std::chrono::milliseconds timeout = std::chrono::seconds(30));

std::uint64_t filetime_now();
// A FILETIME as local "YYYY-MM-DD HH:MM:SS.mmm +HH:MM", from the system's own zone rules (Wine
// takes the zone from the Unix environment the tests run in, so no fixed text can be expected).
std::string local_time(std::uint64_t intervals);

// Wine's NTDLL exports its version; Windows' doesn't.
bool running_under_wine();

// The OS error text a failure with `code` must carry: the system's message for that code without
// its trailing white space, then " (os error N)". Built with FormatMessageW from the code the test
// expects, never from a code read out of the text under test, so a failure that reports another
// error fails the test wherever the system's wording differs. Empty when the system has no
// message for the code.
std::string os_error_for(DWORD code);

struct ProgramResult {
  bool started = false;
  std::string start_error;
  DWORD exit_code = 0;
  std::string out;
  std::string err;
};
// Starts a program with the given (inheritable) standard output and error and no input, with
// CreateProcessW's `creation_flags`.
std::expected<PROCESS_INFORMATION, std::string> start_program(const std::string& program,
                                                              const std::vector<std::string>& args,
                                                              HANDLE out, HANDLE err,
                                                              DWORD creation_flags = 0);

// Runs a program with the given arguments, standard output and error captured through pipes.
ProgramResult run_program(const std::string& program, const std::vector<std::string>& args,
                          std::chrono::milliseconds timeout = std::chrono::seconds(60));

// One entry of the helper log.
struct LogEntry {
  std::uint64_t intervals = 0;
  std::string message;  // later lines of a multi-line message included, joined by "\n"
};
// The entries of a log text; lines before the first timestamped one are left out.
std::vector<LogEntry> parse_log(std::string_view text);
std::vector<LogEntry> read_log(const std::string& path);

// Splits text into lines at "\n"; each line keeps everything but its line feed. A last line
// without a line feed is kept too.
std::vector<std::string> split_lines(std::string_view text);

}  // namespace corvid::test
