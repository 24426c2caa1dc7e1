// corvidctl: sends one request to the helper service's control pipe and prints the response;
// shows the helper's log; checks an installation.
#include <windows.h>
#include <shellapi.h>

#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "channel/message.h"
#include "common/module_path.h"
#include "common/os_error.h"
#include "common/io_win.h"
#include "console_io_win.h"
#include "corvid_version.h"
#include "doctor_win.h"
#include "exit_codes.h"
#include "log_command_win.h"
#include "pipe_client_win.h"
#include "response_text.h"

namespace {

using namespace corvid::corvidctl;
namespace client = corvid::pipe_client;

constexpr std::string_view kUsage =
    R"(corvidctl: send one request to the Corvid helper service (\\.\pipe\corvid-helper)
and print its answer; show the helper's log.

Usage:
  corvidctl [--json] ping   [--id ID]
  corvidctl [--json] status [--id ID]
  corvidctl [--json] stop   [--id ID]
  corvidctl [--json] start  [--id ID] [--config TEXT | --config-file FILE] [--work-dir DIR]
                            [--core-path FILE] [--config-path FILE] [--log-path FILE]
  corvidctl [--json] send LINE
  corvidctl log [-n N] [--follow] [--utc] [--file PATH]
  corvidctl [--json] doctor
  corvidctl --version
  corvidctl --help

On a console the answer is put in words: "ok", "core running, pid N", "core not running",
or the error text. With --json, or when standard output is not a console (a file, a
pipe), the response line is printed exactly as received.

Options (also written --name=VALUE):
  --json              print the response line as received, also on a console
  --id ID             the request's id; the response carries it back
  --config TEXT       the proxy core's configuration text
  --config-file FILE  the configuration text is read from FILE, byte for byte (UTF-8)
  --work-dir DIR      the core's working directory (default: the helper's directory)
  --core-path FILE    the core executable (default: clash-rs.exe in the working directory)
  --config-path FILE  where the configuration is written (default: config.json there)
  --log-path FILE     the core's own log file (default: log\clash.log there)
A field that is not given is left out of the request.

send LINE writes LINE as it stands, with a line feed appended unless it already ends
with one. It takes no options. Long requests are written in messages of 4096 bytes.

If the pipe is busy, corvidctl waits for it up to 10 s; it waits 30 s for the response.

log prints the last entries of the helper log, corvid-helper.log beside the installed
service's program, each with its time as local date and time and its offset from UTC
(2026-12-07 04:00:00.000 +01:00). The helper renames a log that reaches 10 MiB to
corvid-helper.log.1 and starts a new one; entries are read from both, oldest first.
  -n N                how many entries (default 20; 0 for none)
  --follow, -f        then print new entries as they come, until Ctrl+C (exit status 0)
  --utc               times in UTC (2026-12-07 03:00:00.000 UTC)
  --file PATH         read this log file instead (a copy sent by a user, say), and
                      PATH.1 before it

doctor checks the installation, one line each, passed or FAILED with the reason:
the service corvid-helper is installed, starts automatically, runs, and is the
helper beside corvidctl; its folder, the helper, the core and every folder above
them can be changed by administrators only (the helper's own rule for starting a
core for a standard user); clash-rs.exe is there; the pipe is there and its owner
is trusted; a ping answers (and how fast); the core's status; the failures among
the helper log's last entries. With --json: one JSON object.

--version prints corvidctl's version, which is the helper's it came with.

Exit status:
  0  the response says "ok": true (log: the entries were printed; doctor: every
     check passed)
  1  the helper refused: the response says "ok": false
  2  no helper answers: no pipe, a pipe that stayed busy, no complete response, or
     one that is not a JSON object with "ok"; log: the service is not installed or
     its log cannot be read
  3  a bad command line, or a file named on it cannot be read
  4  the pipe is not the helper's: it is owned by someone other than LocalSystem,
     Administrators or yourself, and nothing was sent to it
  5  doctor: at least one check failed
)";

std::vector<std::string> arguments() {
  std::vector<std::string> result = corvid::command_line_arguments();
  if (!result.empty())
    result.erase(result.begin());
  return result;
}

corvid::Result<std::string> read_whole_file(const std::string& path) {
  corvid::Result<std::string> bytes = corvid::read_file(path);
  if (!bytes)
    bytes.error().message = "cannot read " + path + ": " + bytes.error().message;
  return bytes;
}

struct Command {
  enum class Kind { kHelp, kVersion, kRequest, kLog, kDoctor } kind = Kind::kRequest;
  std::string line;   // the request line to send
  bool json = false;  // the response line as received, whatever standard output is
  LogOptions log;

  static Command of(Kind kind) {
    Command command;
    command.kind = kind;
    return command;
  }
  static Command request(std::string line, bool json) {
    Command command;
    command.line = std::move(line);
    command.json = json;
    return command;
  }
};

// A count of entries: decimal digits only.
std::optional<std::size_t> parse_count(std::string_view text) {
  std::size_t value = 0;
  const char* end = text.data() + text.size();
  if (text.empty() || text[0] < '0' || text[0] > '9')
    return std::nullopt;
  const std::from_chars_result parsed = std::from_chars(text.data(), end, value);
  if (parsed.ec != std::errc() || parsed.ptr != end)
    return std::nullopt;
  return value;
}

corvid::Result<Command> parse_log_command(const std::vector<std::string>& args) {
  Command command = Command::of(Command::Kind::kLog);
  bool count_given = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      command.kind = Command::Kind::kHelp;
      return command;
    }
    if (arg == "--follow" || arg == "-f") {
      command.log.follow = true;
      continue;
    }
    if (arg == "--utc") {
      command.log.utc = true;
      continue;
    }
    std::optional<std::string> value;
    std::string_view name;
    if (arg == "-n" || arg == "--file") {
      name = arg;
      if (i + 1 >= args.size()) {
        return std::unexpected(corvid::Error(arg + " needs a value"));
      }
      value = args[++i];
    } else if (arg.starts_with("--file=")) {
      name = "--file";
      value = arg.substr(7);
    } else if (arg.starts_with("-n") && arg.size() > 2) {
      name = "-n";
      value = arg.substr(arg[2] == '=' ? 3 : 2);
    } else {
      return std::unexpected(corvid::Error("unknown option for log: " + arg));
    }
    if (name == "-n") {
      const std::optional<std::size_t> count = parse_count(*value);
      if (!count) {
        return std::unexpected(corvid::Error("-n takes a number of entries, 0 or more: " + *value));
      }
      if (count_given) {
        return std::unexpected(corvid::Error("-n given twice"));
      }
      count_given = true;
      command.log.count = *count;
    } else {
      if (command.log.file) {
        return std::unexpected(corvid::Error("--file given twice"));
      }
      command.log.file = std::move(*value);
    }
  }
  return command;
}

// The command for the command line, or the reason it is not usable.
corvid::Result<Command> parse_command(std::vector<std::string> args) {
  bool json = false;
  if (!args.empty() && args[0] == "--json") {
    json = true;
    args.erase(args.begin());
  }
  if (args.empty()) {
    return std::unexpected(corvid::Error("no command given (try corvidctl --help)"));
  }
  const std::string word = args[0];
  if (word == "--help" || word == "-h" || word == "/?" || word == "help")
    return Command::of(Command::Kind::kHelp);
  if (word == "--version" || word == "version") {
    if (args.size() != 1) {
      return std::unexpected(corvid::Error(word + " takes no arguments"));
    }
    return Command::of(Command::Kind::kVersion);
  }
  if (word == "doctor") {
    for (std::size_t i = 1; i < args.size(); ++i) {
      if (args[i] == "--help" || args[i] == "-h")
        return Command::of(Command::Kind::kHelp);
      if (args[i] != "--json") {
        return std::unexpected(corvid::Error("unknown option for doctor: " + args[i]));
      }
      json = true;
    }
    Command command = Command::of(Command::Kind::kDoctor);
    command.json = json;
    return command;
  }
  if (word == "log") {
    if (json) {
      return std::unexpected(corvid::Error("--json is not for log"));
    }
    return parse_log_command(args);
  }
  if (word == "send") {
    if (args.size() != 2) {
      return std::unexpected(corvid::Error("send takes exactly one argument, the line to send"));
    }
    return Command::request(client::with_line_feed(args[1]), json);
  }
  const bool is_start = word == "start";
  if (!is_start && word != "ping" && word != "status" && word != "stop") {
    return std::unexpected(corvid::Error("unknown command: " + word + " (try corvidctl --help)"));
  }

  corvid::Request request;
  request.action = word;
  std::optional<std::string> config_file;
  struct Option {
    std::string_view name;
    std::optional<std::string>* target;
    bool start_only;
  };
  const Option options[] = {
      {"--id", &request.id, false},
      {"--config", &request.config, true},
      {"--config-file", &config_file, true},
      {"--work-dir", &request.work_dir, true},
      {"--core-path", &request.core_path, true},
      {"--config-path", &request.config_path, true},
      {"--log-path", &request.log_path, true},
  };
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h")
      return Command::of(Command::Kind::kHelp);
    if (arg == "--json") {
      json = true;
      continue;
    }
    const std::size_t equals = arg.find('=');
    const std::string_view name = equals == std::string::npos
                                      ? std::string_view(arg)
                                      : std::string_view(arg).substr(0, equals);
    const Option* option = nullptr;
    for (const Option& candidate : options) {
      if (candidate.name == name)
        option = &candidate;
    }
    if (option == nullptr) {
      return std::unexpected(corvid::Error("unknown option for " + word + ": " + arg));
    }
    if (option->start_only && !is_start) {
      return std::unexpected(corvid::Error(std::string(name) + " is only for start"));
    }
    if (option->target->has_value()) {
      return std::unexpected(corvid::Error(std::string(name) + " given twice"));
    }
    if (equals != std::string::npos) {
      *option->target = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      *option->target = args[++i];
    } else {
      return std::unexpected(corvid::Error(std::string(name) + " needs a value"));
    }
  }
  if (config_file) {
    if (request.config) {
      return std::unexpected(corvid::Error("give either --config or --config-file, not both"));
    }
    corvid::Result<std::string> text = read_whole_file(*config_file);
    if (!text)
      return std::unexpected(std::move(text.error()));
    request.config = std::move(*text);
  }
  corvid::Result<std::string> line = corvid::encode_request(request);
  if (!line)
    return std::unexpected(std::move(line.error()));
  return Command::request(std::move(*line), json);
}

int run() {
  const corvid::Result<Command> command = parse_command(arguments());
  if (!command) {
    // A usage error is one line; what encoding a request refused is its short text.
    print_error(corvid::short_text(command.error()));
    return kExitUsage;
  }
  if (command->kind == Command::Kind::kHelp) {
    write_std(STD_OUTPUT_HANDLE, kUsage);
    return kExitOk;
  }
  if (command->kind == Command::Kind::kVersion) {
    write_std(STD_OUTPUT_HANDLE, "corvidctl " + std::string(corvid::kVersion) + "\n");
    return kExitOk;
  }
  if (command->kind == Command::Kind::kLog)
    return run_log(command->log);
  if (command->kind == Command::Kind::kDoctor)
    return run_doctor(command->json);

  std::expected<std::string, client::ExchangeError> response = client::exchange(command->line);
  if (!response) {
    print_error(response.error().message);
    if (!response.error().partial.empty())
      print_error("received: " + response.error().partial);
    return response.error().kind == client::ExchangeError::Kind::kNotTheHelper ? kExitUntrusted
                                                                               : kExitNoAnswer;
  }
  // Scripts read the line as it came; a person at a console reads words.
  const std::optional<std::string> words =
      command->json || !stdout_is_console() ? std::nullopt : human_text(*response);
  write_std(STD_OUTPUT_HANDLE, words ? *words + "\n" : *response);
  const std::optional<bool> ok = response_ok(*response);
  if (!ok) {
    print_error("the response is not a JSON object with a boolean \"ok\"");
    return kExitNoAnswer;
  }
  return *ok ? kExitOk : kExitNotOk;
}

}  // namespace

int main() {
  return run();
}
