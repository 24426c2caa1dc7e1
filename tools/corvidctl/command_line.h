#pragma once
// corvidctl's command line: what each word and option asks for, and its usage errors. Portable:
// a file named on the command line is read through the reader passed in.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace corvid::corvidctl {

// What `corvidctl --help` prints.
extern const std::string_view kUsage;

struct LogOptions {
  std::size_t count = 20;
  bool follow = false;
  // Times in UTC rather than local time with its offset.
  bool utc = false;
  // Read this file instead of the installed service's log.
  std::optional<std::string> file;
};

struct Command {
  enum class Kind { kHelp, kVersion, kRequest, kLog, kDoctor };
  Kind kind = Kind::kRequest;
  std::string action;  // the request's action; empty for `send`, whose line is the user's
  std::string line;    // the request line to send
  bool json = false;   // the response line as received, whatever standard output is
  LogOptions log;
};

// The whole content of a file, or why it cannot be read.
using FileReader = std::function<Result<std::string>(const std::string& path)>;

// The command for the arguments after the program's name, or the reason it is not usable: one
// line for a person, or what encoding the request refused.
Result<Command> parse_command(std::vector<std::string> args, const FileReader& read_file);

}  // namespace corvid::corvidctl
