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
};

std::shared_ptr<CoreBackend> make_windows_backend();

}  // namespace corvid
