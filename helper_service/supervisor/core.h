#pragma once
// The one record of the supervised proxy core and the operations on it. The logic is portable;
// it reaches the operating system only through CoreBackend.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "supervisor/install_security.h"

namespace corvid {

// The core's file name: the default core in the working directory, and the only core a standard
// user may start, in the install directory.
inline constexpr std::string_view kCoreFileName = "clash-rs.exe";
// The core's configuration and log, relative to its working directory by default.
inline constexpr std::string_view kCoreConfigFileName = "config.json";
inline constexpr std::string_view kCoreLogFileName = "log\\clash.log";

// The four resolved paths of one launch.
struct CoreLaunch {
  std::string work_dir;
  std::string core_path;
  std::string config_path;
  std::string log_path;

  bool operator==(const CoreLaunch&) const = default;
};

struct CoreStatus {
  bool running = false;
  std::optional<std::uint32_t> pid;  // present exactly when running
};

// What a backend keeps of a launched core (on Windows its process and primary-thread handles and
// its job). Destroying it releases them and never ends the process explicitly; on Windows the
// core's job goes with them, and with it whatever still runs in it.
class ChildHandles {
 public:
  virtual ~ChildHandles() = default;
};

// A launched core. It owns its handles itself: wherever it is dropped, they are released (ending
// it is otherwise always explicit: terminate_child).
class ChildProcess {
 public:
  explicit ChildProcess(std::unique_ptr<ChildHandles> handles) : handles_(std::move(handles)) {}

  // The record of the backend that launched the child; only that backend reads it.
  template <class Record>
  Record& handles() const {
    return static_cast<Record&>(*handles_);
  }

 private:
  std::unique_ptr<ChildHandles> handles_;
};

// The service's own files of a start for a caller who is not privileged: the defaults, and
// nothing else.
struct CoreFiles {
  std::string install_dir;
  std::string log_dir;      // <install>\log
  std::string config_path;  // <install>\config.json

  bool operator==(const CoreFiles&) const = default;
};

// The request fields that name the core's paths, in the order they are judged.
enum class StartField { kCorePath, kWorkDir, kConfigPath, kLogPath };

// Why the service's own file work for a start did not happen.
struct CoreFilesFailure {
  // Set: a file or directory was refused (a reparse point, a file with another name elsewhere,
  // not the entry it should be), and `reason` names it and says what it is. Empty: the
  // configuration could not be written, and `reason` is the OS error text.
  std::optional<StartField> refused;
  std::string reason;

  bool operator==(const CoreFilesFailure&) const = default;
};

struct PollResult {
  enum class State { kRunning, kExited, kFailed } state = State::kRunning;
  std::uint32_t exit_code = 0;  // when kExited
  std::string error_text;       // OS error text when kFailed
};

// Everything the supervisor needs from the operating system.
class CoreBackend {
 public:
  virtual ~CoreBackend() = default;

  // The directory of the helper's own executable.
  virtual Result<std::string> install_dir() = 0;
  // Creates a directory and its missing ancestors; failures are the caller's to ignore.
  virtual bool create_directories(const std::string& path) = 0;
  // Creates or truncates the file and writes the bytes; on failure the OS error text.
  virtual std::expected<void, std::string> write_file(const std::string& path,
                                                      std::string_view bytes) = 0;
  // The file work of a start for a caller who is not privileged, through handles rather than
  // names, so that nothing in the way can redirect it: the install directory and `log` must be
  // plain directories (no reparse point), and `log` is created when missing; when `config` is
  // given, config.json must be a plain file (no reparse point, no second link) that is the one in
  // the install directory, and only then is it truncated, given an access list for LocalSystem
  // and Administrators alone (kCoreConfigSddl) and written. Every check comes before anything is
  // written: a refusal leaves every file as it was.
  virtual std::expected<void, CoreFilesFailure> prepare_core_files(
      const CoreFiles& files, std::optional<std::string_view> config) = 0;
  // Whether the file-system entry exists (links followed).
  virtual bool exists(const std::string& path) = 0;
  // The owner and access list of a file or directory.
  virtual Result<SecuritySnapshot> read_security(const std::string& path) = 0;
  // Creates the process with the given command line in `work_dir`; on failure the OS error text.
  virtual std::expected<ChildProcess, std::string> create_process(const std::string& core_path,
                                                                  const std::string& command_line,
                                                                  const std::string& work_dir) = 0;
  // Ends the core with exit code 1 (on Windows its whole job, so what it started ends too), then
  // waits for the core without limit; failures are ignored.
  virtual void terminate_and_wait(ChildProcess& child) = 0;
  // Polls without waiting.
  virtual PollResult poll(ChildProcess& child) = 0;
  // 0 when the id cannot be read.
  virtual std::uint32_t process_id(ChildProcess& child) = 0;
  virtual void sleep_for(std::chrono::milliseconds duration) = 0;
};

// The rule for a launch in flight, in one place. A launch is begun under the core lock, runs
// outside it and ends by storing its child or by being abandoned (LaunchTicket). At most one is in
// flight at a time, so that never two cores run at once; a start or a stop supersedes the one in
// flight, which then ends its child instead of storing it, so that nothing runs after a stop.
// Guarded by the core lock, like the rest of CoreState.
class LaunchSlot {
 public:
  // Bumped by every start and stop.
  std::uint64_t generation() const { return generation_; }
  // A start or a stop: a launch in flight is no longer current.
  void supersede() { ++generation_; }
  // Whether a launch decided on at `seen` (a generation) may begin: no start or stop since, and
  // no other launch in flight.
  bool may_begin(std::uint64_t seen) const { return !launching_ && generation_ == seen; }
  // Waits (under `held`, the core lock) until no launch is in flight.
  void wait_idle(std::unique_lock<std::mutex>& held);
  // How many starts and stops wait for the launch in flight: tests force their interleavings
  // with it.
  int waiting() const { return waiting_; }

 private:
  friend class LaunchTicket;

  std::uint64_t generation_ = 0;
  bool launching_ = false;
  int waiting_ = 0;
  std::condition_variable done_;
};

// Shared by the host, the pipe server and the watchdog; every field is guarded by `lock`
// (the core lock).
struct CoreState {
  explicit CoreState(std::shared_ptr<CoreBackend> os,
                     std::shared_ptr<std::atomic<bool>> stop = nullptr)
      : backend(std::move(os)), stop_flag(std::move(stop)) {}

  std::shared_ptr<CoreBackend> backend;
  // Once set, nothing launches any more: the service is stopping.
  std::shared_ptr<std::atomic<bool>> stop_flag;

  std::mutex lock;
  std::optional<ChildProcess> child;
  std::optional<CoreLaunch> launch;
  bool keep_running = false;
  LaunchSlot launches;
};

// One launch in flight. Begun under the core lock (as the last thing done under it), it ends by
// store_child or abandon, each taking the core lock; a ticket destroyed before either (a failed
// spawn, an exception of any kind) abandons its launch, so later starts and stops never wait for
// a launch that will not end.
class LaunchTicket {
 public:
  // Under the core lock, with no launch in flight: begins one of the current generation.
  explicit LaunchTicket(CoreState& state);
  ~LaunchTicket();
  LaunchTicket(const LaunchTicket&) = delete;
  LaunchTicket& operator=(const LaunchTicket&) = delete;

  // The store step: keeps `child` only while its launch is still wanted and current
  // (keep_running, no child held, no start or stop since it began, not stopping) and logs
  // `stored_message`; otherwise ends the child at once. Either way the launch is over.
  bool store_child(ChildProcess child, std::string_view stored_message);
  // The launch ends without a child.
  void abandon();

 private:
  // Under the core lock.
  void end();

  CoreState& state_;
  const std::uint64_t generation_;
  bool ended_ = false;
};

// The request fields a start takes; absent means not given, an empty string is given.
struct StartOptions {
  std::optional<std::string> work_dir = std::nullopt;
  std::optional<std::string> core_path = std::nullopt;
  std::optional<std::string> config_path = std::nullopt;
  std::optional<std::string> log_path = std::nullopt;
  std::optional<std::string> config = std::nullopt;
};

// Who asked for a start. Privileged (LocalSystem, or an elevated administrator): any paths. Anyone
// else: the installed core with its default files and nothing else, and only from an install
// directory that only administrators can change. No operation takes a caller by default: a
// forgotten one must not compile.
struct Caller {
  bool privileged = false;

  // The service itself, or a caller with the same rights.
  static Caller service() { return Caller{true}; }
};

// The four paths of a start, with the defaults beside `install_dir`.
CoreLaunch resolve_launch(const std::string& install_dir, const StartOptions& options);

// The service's own files in `install_dir`: the defaults of resolve_launch.
CoreFiles core_files(const std::string& install_dir);

// Why `caller` may not start this launch (the refusal as the client sees it), or nothing.
// Reads descriptors through the backend; writes nothing.
std::optional<Error> start_refusal(CoreBackend& backend, const std::string& install_dir,
                                   const CoreLaunch& launch, const Caller& caller);

Result<void> start_core(CoreState& state, const StartOptions& options, const Caller& caller);
void stop_core(CoreState& state);
CoreStatus query_core_status(CoreState& state);

// Existence check, fixed command line, process creation.
Result<ChildProcess> spawn_core(CoreBackend& backend, const CoreLaunch& launch);
std::string core_command_line(const CoreLaunch& launch);

// Ends the child (exit code 1), waits for it and releases it.
void terminate_child(CoreBackend& backend, ChildProcess child);
// Closes the handles of the held child, if any, without ending it.
void release_child(std::optional<ChildProcess>& child);

// spawn_core for a launch in flight: a standard exception thrown below becomes a "spawn core"
// error like any other failed creation.
Result<ChildProcess> launch_core(CoreBackend& backend, const CoreLaunch& launch);

// "exit code: N", in hex when the top bit is set.
std::string exit_status_text(std::uint32_t code);

}  // namespace corvid
