#pragma once
// The Windows implementation of the supervisor's operating-system seam.

#include <windows.h>

#include <memory>

#include "common/win_handle.h"
#include "supervisor/core.h"

namespace corvid {

// What the Windows backend keeps of a launched core.
struct WindowsChild final : ChildHandles {
  WinHandle process;
  WinHandle thread;
  // The core's own job, which ends every process in it once its last handle is closed: this
  // one, held only here. Whether the helper lets go of the core or ends for any reason (a crash,
  // a kill, a closed console), the core and whatever it started end with it.
  WinHandle job;
};

std::shared_ptr<CoreBackend> make_windows_backend();

}  // namespace corvid
