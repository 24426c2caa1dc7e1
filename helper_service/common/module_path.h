#pragma once
// The full path of the running executable.

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "common/error.h"

namespace corvid {

// The path as UTF-8, or the failed lookup as an OS error (its text and code).
Result<std::string> running_executable_path();

// The program's command line split as CommandLineToArgvW splits it (the program first), as UTF-8;
// empty when it cannot be split.
std::vector<std::string> command_line_arguments();

}  // namespace corvid
