// corvidctl: sends one request to the helper service's control pipe and prints the response.
#include <windows.h>
#include <shellapi.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "channel/message.h"
#include "common/module_path.h"
#include "common/os_error.h"
#include "common/utf.h"
#include "common/win_handle.h"
#include "common/win_io.h"
#include "pipe_client.h"

namespace {

using corvid::from_wide;
using corvid::to_wide;
namespace client = corvid::pipe_client;

constexpr int kExitOk = 0;
constexpr int kExitNotOk = 1;
constexpr int kExitNoAnswer = 2;
constexpr int kExitUsage = 3;

constexpr std::string_view kUsage =
    R"(corvidctl: send one request to the Corvid helper service (\\.\pipe\corvid-helper)
and print its response line on standard output, as received.

Usage:
  corvidctl ping   [--id ID]
  corvidctl status [--id ID]
  corvidctl stop   [--id ID]
  corvidctl start  [--id ID] [--config TEXT | --config-file FILE] [--work-dir DIR]
                   [--core-path FILE] [--config-path FILE] [--log-path FILE]
  corvidctl send LINE
  corvidctl --help

Options (also written --name=VALUE):
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

Exit status:
  0  the response says "ok": true
  1  the response says "ok": false
  2  no helper service; a pipe that is not the helper's (one owned by anyone but
     LocalSystem, Administrators or yourself: nothing is sent to it); no response;
     or a response that is not a JSON object with "ok"
  3  a bad command line, or the configuration file cannot be read
)";

bool is_console(HANDLE handle) {
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != 0;
}

// A console gets the text as UTF-16; files and pipes get the bytes unchanged.
void write_to(DWORD which, std::string_view text) {
  HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
    return;
  if (is_console(handle)) {
    const std::wstring wide = to_wide(text);
    DWORD written = 0;
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  corvid::write_all(handle, text);
}

void print_error(std::string_view message) {
  write_to(STD_ERROR_HANDLE, "corvidctl: " + std::string(message) + "\n");
}

std::vector<std::string> arguments() {
  std::vector<std::string> result = corvid::command_line_arguments();
  if (!result.empty())
    result.erase(result.begin());
  return result;
}

std::optional<std::string> read_whole_file(const std::string& path, std::string& error) {
  const corvid::WinHandle file(CreateFileW(to_wide(path).c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    error = "cannot read " + path + ": " + corvid::os_error_text(GetLastError());
    return std::nullopt;
  }
  std::string bytes;
  char buffer[65536];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr)) {
      error = "cannot read " + path + ": " + corvid::os_error_text(GetLastError());
      return std::nullopt;
    }
    if (read == 0)
      break;
    bytes.append(buffer, read);
  }
  return bytes;
}

struct Command {
  bool help = false;
  std::string line;  // the request line to send
};

// The request line for the command line, or the reason it is not usable.
std::optional<Command> parse_command(const std::vector<std::string>& args, std::string& error) {
  if (args.empty()) {
    error = "no command given (try corvidctl --help)";
    return std::nullopt;
  }
  const std::string& word = args[0];
  if (word == "--help" || word == "-h" || word == "/?" || word == "help")
    return Command{true, {}};
  if (word == "send") {
    if (args.size() != 2) {
      error = "send takes exactly one argument, the line to send";
      return std::nullopt;
    }
    return Command{false, client::with_line_feed(args[1])};
  }
  const bool is_start = word == "start";
  if (!is_start && word != "ping" && word != "status" && word != "stop") {
    error = "unknown command: " + word + " (try corvidctl --help)";
    return std::nullopt;
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
      return Command{true, {}};
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
      error = "unknown option for " + word + ": " + arg;
      return std::nullopt;
    }
    if (option->start_only && !is_start) {
      error = std::string(name) + " is only for start";
      return std::nullopt;
    }
    if (option->target->has_value()) {
      error = std::string(name) + " given twice";
      return std::nullopt;
    }
    if (equals != std::string::npos) {
      *option->target = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      *option->target = args[++i];
    } else {
      error = std::string(name) + " needs a value";
      return std::nullopt;
    }
  }
  if (config_file) {
    if (request.config) {
      error = "give either --config or --config-file, not both";
      return std::nullopt;
    }
    request.config = read_whole_file(*config_file, error);
    if (!request.config)
      return std::nullopt;
  }
  corvid::Result<std::string> line = corvid::encode_request(request);
  if (!line) {
    error = corvid::short_text(line.error());
    return std::nullopt;
  }
  return Command{false, std::move(*line)};
}

int run() {
  std::string error;
  const std::optional<Command> command = parse_command(arguments(), error);
  if (!command) {
    print_error(error);
    return kExitUsage;
  }
  if (command->help) {
    write_to(STD_OUTPUT_HANDLE, kUsage);
    return kExitOk;
  }

  std::expected<std::string, client::ExchangeError> response = client::exchange(command->line);
  if (!response) {
    print_error(response.error().message);
    if (!response.error().partial.empty())
      print_error("received: " + response.error().partial);
    return kExitNoAnswer;
  }
  write_to(STD_OUTPUT_HANDLE, *response);
  const std::optional<bool> ok = client::response_ok(*response);
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
