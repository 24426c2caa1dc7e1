#pragma once
// Where the running executable lives: the install directory, beside which the helper keeps its
// log and finds the core.

#include <string>

#include "common/error.h"

namespace corvid {

// The full path of the running executable ("current_exe" and the system's text on failure).
Result<std::string> current_exe();

// The directory of the running executable ("current_exe" or "invalid exe path" on failure).
Result<std::string> exe_dir();

}  // namespace corvid
