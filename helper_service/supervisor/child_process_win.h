#pragma once
// A core the Windows backend launches: its process, its primary thread and its job.

#include <windows.h>

#include <memory>
#include <string>

#include "common/handle_win.h"
#include "supervisor/backend.h"

namespace corvid {

class WindowsChild final : public ChildProcess::Platform {
 public:
  // Creates the core suspended, puts it into a job of its own and only then lets it run, so that
  // nothing it starts can escape the job; on failure the OS error (os_error).
  static Result<std::unique_ptr<WindowsChild>> create(const std::string& core_path,
                                                      const std::string& command_line,
                                                      const std::string& work_dir);

  Result<PollResult> poll() override;
  bool terminate_and_wait(std::chrono::milliseconds limit) override;
  std::uint32_t process_id() override;

  HANDLE process() const { return process_.get(); }
  HANDLE thread() const { return thread_.get(); }
  HANDLE job() const { return job_.get(); }

 private:
  WindowsChild(HANDLE process, HANDLE thread);
  Result<void> run_in_own_job();

  WinHandle process_;
  WinHandle thread_;
  // The core's own job, which ends every process in it once its last handle is closed: this
  // one, held only here. Whether the helper lets go of the core or ends for any reason (a crash,
  // a kill, a closed console), the core and whatever it started end with it.
  WinHandle job_;
};

}  // namespace corvid
