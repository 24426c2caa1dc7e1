#pragma once
// corvidctl log: the last entries of the helper log (reaching back into the file the helper
// rotated it to), and new ones as they come, across rotations.

#include <cstddef>
#include <optional>
#include <string>

namespace corvid::corvidctl {

struct LogOptions {
  std::size_t count = 20;
  bool follow = false;
  // Times in UTC rather than local time with its offset.
  bool utc = false;
  // Read this file instead of the installed service's log.
  std::optional<std::string> file;
};

// Prints the entries; returns corvidctl's exit code. Errors go to standard error.
int run_log(const LogOptions& options);

}  // namespace corvid::corvidctl
