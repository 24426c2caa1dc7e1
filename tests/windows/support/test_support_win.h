#pragma once
// Shared pieces of the Windows tests: temporary directories, the stand-in core and its run
// records, child programs with captured output, the Windows backend with a faster clock.

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/handle_win.h"
#include "supervisor/backend_win.h"

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

// The Windows backend with every call passed on, for a test that changes one thing about it.
class WindowsBackendWrapper : public CoreBackend {
 public:
  Result<std::string> install_dir() override { return os_->install_dir(); }
  Result<void> create_directories(const std::string& path) override {
    return os_->create_directories(path);
  }
  Result<void> write_file(const std::string& path, std::string_view bytes) override {
    return os_->write_file(path, bytes);
  }
  Result<void> prepare_core_files(const CoreFiles& files,
                                  std::optional<std::string_view> config) override {
    return os_->prepare_core_files(files, config);
  }
  Result<void> protect_config(const std::string& path) override {
    return os_->protect_config(path);
  }
  bool exists(const std::string& path) override { return os_->exists(path); }
  Result<std::optional<InstallEntry>> read_entry(const std::string& path) override {
    return os_->read_entry(path);
  }
  Result<std::vector<std::string>> list_entries(const std::string& dir) override {
    return os_->list_entries(dir);
  }
  Result<VolumeKind> volume_kind(const std::string& path) override {
    return os_->volume_kind(path);
  }
  Result<ChildProcess> create_process(const std::string& core_path, const std::string& command_line,
                                      const std::string& work_dir) override {
    return os_->create_process(core_path, command_line, work_dir);
  }
  Result<std::optional<std::string>> session_user(std::uint32_t session) override {
    return os_->session_user(session);
  }
  void sleep_for(std::chrono::milliseconds duration) override { os_->sleep_for(duration); }

 protected:
  std::shared_ptr<CoreBackend> os_ = make_windows_backend();
};

// The Windows backend whose sleeps last a tenth of what is asked, so that a watchdog makes ten
// passes a second; it keeps what was asked, and a test waits for passes rather than for seconds.
class ScaledSleeps final : public WindowsBackendWrapper {
 public:
  static constexpr int kScale = 10;

  void sleep_for(std::chrono::milliseconds duration) override;
  // Every sleep asked for, in order, as asked.
  std::vector<std::chrono::milliseconds> sleeps() const;
  // Waits until `count` sleeps have begun; false when `wait` passed first.
  bool wait_for_sleeps(std::size_t count,
                       std::chrono::milliseconds wait = std::chrono::seconds(30)) const;
  // Waits until a watchdog sleeping here has made one whole pass that began after this call: a
  // pass and its sleep alternate, so two more sleeps must begin.
  bool wait_for_whole_pass() const { return wait_for_sleeps(sleeps().size() + 2); }
  // Called as a sleep begins, with how many have begun (to stop a watchdog at a given pass).
  void on_sleep(std::function<void(std::size_t)> hook);

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable began_;
  std::vector<std::chrono::milliseconds> sleeps_;
  std::function<void(std::size_t)> hook_;
};

}  // namespace corvid::test
