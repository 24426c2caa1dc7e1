#pragma once
// corvidctl log: the last entries of the helper log (reaching back into the file the helper
// rotated it to), and new ones as they come, across rotations.

#include "command_line.h"

namespace corvid::corvidctl {

// Prints the entries; returns corvidctl's exit code. Errors go to standard error.
int run_log(const LogOptions& options);

}  // namespace corvid::corvidctl
