#pragma once
// The Windows implementation of the supervisor's operating-system seam.

#include <memory>
#include <string>

#include "supervisor/backend.h"
#include "supervisor/child_process_win.h"

namespace corvid {

// The product's backend: its children are WindowsChild, its file work core_files_win's.
std::shared_ptr<CoreBackend> make_windows_backend();

}  // namespace corvid
