#include "command_line.h"

#include <charconv>
#include <utility>

#include "channel/message.h"

namespace corvid::corvidctl {

const std::string_view kUsage =
    R"usage(corvidctl: send one request to the Corvid helper service (\\.\pipe\corvid-helper)
and print its answer; show the helper's log.

Usage:
  corvidctl [--json] ping   [--id ID]
  corvidctl [--json] status [--id ID]
  corvidctl [--json] owner  [--id ID]
  corvidctl [--json] stop   [--id ID]
  corvidctl [--json] start  [--id ID] [--config TEXT | --config-file FILE] [--work-dir DIR]
                            [--core-path FILE] [--config-path FILE] [--log-path FILE]
  corvidctl [--json] send LINE
  corvidctl log [-n N] [--follow] [--utc] [--file PATH]
  corvidctl [--json] doctor
  corvidctl --version
  corvidctl --help

On a console the answer is put in words: "ok", "core running, pid N", "core not running",
or the error text. status then asks the helper who owns the core and adds it ("core
running, pid N, owned by S-1-5-21-... (session 2)"); owner asks only that. With --json,
or when standard output is not a console (a file, a pipe), the response line is printed
exactly as received, and status sends nothing more.

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

doctor first says who is asking and what: corvidctl's version, the registered helper's,
the Windows build, the user and whether elevated. Then it checks the installation, one
line each, passed or FAILED with the reason: the versions are the same; the service
corvid-helper is installed, starts automatically, runs, and is the helper beside
corvidctl; its folder, the helper, the core and every folder above them can be changed
by administrators only (the helper's own rule for starting a core for a standard user);
clash-rs.exe is there; the pipe is there, its owner is trusted and its server is the
service; a ping answers (and how fast); the core's status and owner, failing for a core
the helper keeps relaunching (with the end of the core's own log, log\clash.log); the
failures among the helper log's last entries. With --json: one JSON object.

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
     Administrators or yourself, or served by another process than the running
     service's, and nothing was sent to it
  5  doctor: at least one check failed
)usage";

namespace {

Result<Command> refused(std::string reason) {
  return std::unexpected(Error(std::move(reason)));
}

Command command_of(Command::Kind kind, bool json = false) {
  Command command;
  command.kind = kind;
  command.json = json;
  return command;
}

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

Result<Command> parse_log_command(const std::vector<std::string>& args) {
  Command command = command_of(Command::Kind::kLog);
  bool count_given = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h")
      return command_of(Command::Kind::kHelp);
    if (arg == "--follow" || arg == "-f") {
      command.log.follow = true;
      continue;
    }
    if (arg == "--utc") {
      command.log.utc = true;
      continue;
    }
    std::string value;
    bool count = false;
    if (arg == "-n" || arg == "--file") {
      if (i + 1 >= args.size())
        return refused(arg + " needs a value");
      count = arg == "-n";
      value = args[++i];
    } else if (arg.starts_with("--file=")) {
      value = arg.substr(7);
    } else if (arg.starts_with("-n") && arg.size() > 2) {
      count = true;
      value = arg.substr(arg[2] == '=' ? 3 : 2);
    } else {
      return refused("unknown option for log: " + arg);
    }
    if (count) {
      const std::optional<std::size_t> parsed = parse_count(value);
      if (!parsed)
        return refused("-n takes a number of entries, 0 or more: " + value);
      if (count_given)
        return refused("-n given twice");
      count_given = true;
      command.log.count = *parsed;
    } else {
      if (command.log.file)
        return refused("--file given twice");
      command.log.file = std::move(value);
    }
  }
  return command;
}

Result<Command> parse_request_command(const std::vector<std::string>& args, bool json,
                                      const FileReader& read_file) {
  const std::string& word = args[0];
  const bool is_start = word == "start";
  if (!is_start && word != "ping" && word != "status" && word != "stop" && word != "owner")
    return refused("unknown command: " + word + " (try corvidctl --help)");

  Request request;
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
      return command_of(Command::Kind::kHelp);
    if (arg == "--json") {
      json = true;
      continue;
    }
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const Option* option = nullptr;
    for (const Option& candidate : options) {
      if (candidate.name == name)
        option = &candidate;
    }
    if (option == nullptr)
      return refused("unknown option for " + word + ": " + arg);
    if (option->start_only && !is_start)
      return refused(name + " is only for start");
    if (option->target->has_value())
      return refused(name + " given twice");
    if (equals != std::string::npos) {
      *option->target = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      *option->target = args[++i];
    } else {
      return refused(name + " needs a value");
    }
  }
  if (config_file) {
    if (request.config)
      return refused("give either --config or --config-file, not both");
    Result<std::string> text = read_file(*config_file);
    if (!text)
      return refused("cannot read " + *config_file + ": " + text.error().message);
    request.config = std::move(*text);
  }
  Command command = command_of(Command::Kind::kRequest, json);
  command.action = word;
  CORVID_TRY_ASSIGN(command.line, encode_request(request));
  return command;
}

}  // namespace

Result<Command> parse_command(std::vector<std::string> args, const FileReader& read_file) {
  bool json = false;
  if (!args.empty() && args[0] == "--json") {
    json = true;
    args.erase(args.begin());
  }
  if (args.empty())
    return refused("no command given (try corvidctl --help)");
  const std::string& word = args[0];
  if (word == "--help" || word == "-h" || word == "/?" || word == "help")
    return command_of(Command::Kind::kHelp);
  if (word == "--version" || word == "version") {
    if (args.size() != 1)
      return refused(word + " takes no arguments");
    return command_of(Command::Kind::kVersion);
  }
  if (word == "doctor") {
    for (std::size_t i = 1; i < args.size(); ++i) {
      if (args[i] == "--help" || args[i] == "-h")
        return command_of(Command::Kind::kHelp);
      if (args[i] != "--json")
        return refused("unknown option for doctor: " + args[i]);
      json = true;
    }
    return command_of(Command::Kind::kDoctor, json);
  }
  if (word == "log") {
    if (json)
      return refused("--json is not for log");
    return parse_log_command(args);
  }
  if (word == "send") {
    if (args.size() != 2)
      return refused("send takes exactly one argument, the line to send");
    // The line as it stands, ended by one line feed.
    Command command = command_of(Command::Kind::kRequest, json);
    command.line = args[1];
    if (!command.line.ends_with('\n'))
      command.line += '\n';
    return command;
  }
  return parse_request_command(args, json, read_file);
}

}  // namespace corvid::corvidctl
