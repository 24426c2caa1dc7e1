#pragma once
// The seam between the supervisor's portable logic and the operating system: everything a start,
// a stop, a poll and the watchdog need from it, and the core they launch. Two implementations:
// the Windows one (backend_win.h), the product, and the test double of the native tests.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "supervisor/install_security.h"
#include "supervisor/start_policy.h"

namespace corvid {

// What a poll saw; a poll that could not tell is an error (os_error of the failed call).
struct PollResult {
  enum class State { kRunning, kExited } state = State::kRunning;
  std::uint32_t exit_code = 0;  // when kExited
};

// A launched core. The child carries its own operations, each backend its own kind of child, so
// no backend ever casts one back to its record. Dropping it releases what the backend keeps of it
// and ends what still runs: on Windows the core's job goes with its last handle, and the job kills
// every process in it. A drop does not wait for the end; where the next step needs the core gone,
// end it first (terminate_and_wait).
class ChildProcess {
 public:
  // What one backend keeps of a launched core, and what it does with it.
  class Platform {
   public:
    virtual ~Platform() = default;
    virtual Result<PollResult> poll() = 0;
    virtual bool terminate_and_wait(std::chrono::milliseconds limit) = 0;
    virtual std::uint32_t process_id() = 0;
  };

  explicit ChildProcess(std::unique_ptr<Platform> platform) : platform_(std::move(platform)) {}

  // Polls without waiting.
  Result<PollResult> poll() { return platform_->poll(); }
  // Ends the core with exit code 1 (on Windows its whole job, so what it started ends too), then
  // waits for it up to `limit`: whether it has ended. Ending an ended core is harmless.
  bool terminate_and_wait(std::chrono::milliseconds limit) {
    return platform_->terminate_and_wait(limit);
  }
  // 0 when the id cannot be read.
  std::uint32_t process_id() { return platform_->process_id(); }

 private:
  std::unique_ptr<Platform> platform_;
};

// Everything the supervisor needs from the operating system besides the child's own operations,
// the reads of the install judgement (InstallReader) among them.
class CoreBackend : public InstallReader {
 public:
  virtual ~CoreBackend() = default;

  // The directory of the helper's own executable.
  virtual Result<std::string> install_dir() = 0;
  // Creates a directory and its missing ancestors; one that is there already counts as made. A
  // start ignores a failure: the core reports a directory it cannot use.
  virtual Result<void> create_directories(const std::string& path) = 0;
  // Writes the configuration to `path` without ever writing into the file there: a new file beside
  // it, created with kCoreConfigSddl's access list (owned by LocalSystem where the process may set
  // that owner) and shared with no one, takes the bytes, is flushed and is renamed over `path`
  // through its handle. A handle opened on the old file reads the old bytes only. When the old
  // file cannot be replaced (held open without delete sharing), the new one is removed and the
  // old one stays. On failure the OS error (os_error, or "failed to write whole buffer"), under
  // "cannot replace <path>: ..." when the rename failed.
  virtual Result<void> write_file(const std::string& path, std::string_view bytes) = 0;
  // The file work of a start for a caller who is not privileged, through handles rather than
  // names, so that nothing in the way can redirect it: the install directory and `log` must be
  // plain directories (no reparse point), and `log` is created when missing; when `config` is
  // given, config.json must be a plain file (no reparse point, no second link) that is the one in
  // the install directory, and only then is the configuration written as write_file writes it.
  // Every check comes before anything is
  // written. An entry that is not what it should be is a refusal (ErrorKind::kRefusal) whose
  // subject is the StartField whose default it is, whose message names the entry and says what it
  // is, and which keeps the OS error code when a failed open is the reason; it leaves every file as
  // it was. Anything else is a failure, as write_file.
  virtual Result<void> prepare_core_files(const CoreFiles& files,
                                          std::optional<std::string_view> config) = 0;
  // Gives an existing configuration file kCoreConfigSddl's access list (and LocalSystem as its
  // owner, where the process may), unless it is a reparse point or has a second name; a missing
  // one stays missing.
  virtual Result<void> protect_config(const std::string& path) = 0;
  // Whether the file-system entry exists (links followed).
  virtual bool exists(const std::string& path) = 0;
  // Creates the process with the given command line in `work_dir`; on failure the OS error
  // (os_error).
  virtual Result<ChildProcess> create_process(const std::string& core_path,
                                              const std::string& command_line,
                                              const std::string& work_dir) = 0;
  // Who is logged on in a Windows session: the user's SID, nothing when no user is (logged off,
  // or a session that is gone), or an error when it cannot tell (the service may not ask, as in
  // console mode).
  virtual Result<std::optional<std::string>> session_user(std::uint32_t session) = 0;
  virtual void sleep_for(std::chrono::milliseconds duration) = 0;
};

}  // namespace corvid
