// corvidctl: sends one request to the helper service's control pipe and prints the response;
// shows the helper's log; checks an installation.
#include <windows.h>

#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "channel/message.h"
#include "command_line.h"
#include "common/io_win.h"
#include "common/module_path.h"
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

std::vector<std::string> arguments() {
  std::vector<std::string> result = corvid::command_line_arguments();
  if (!result.empty())
    result.erase(result.begin());
  return result;
}

// Who owns the core, asked after a status that a person reads; the status words alone when the
// helper cannot say (an older helper knows no "owner").
std::string with_owner(const std::string& status_words) {
  corvid::Request request;
  request.action = "owner";
  const corvid::Result<std::string> line = corvid::encode_request(request);
  if (!line)
    return status_words;
  const std::expected<std::string, client::ExchangeError> owner = client::exchange(*line);
  return owner ? status_with_owner(status_words, *owner) : status_words;
}

int run() {
  const corvid::Result<Command> command =
      parse_command(arguments(), [](const std::string& path) { return corvid::read_file(path); });
  if (!command) {
    // A usage error is one line; what encoding a request refused is its short text.
    print_error(corvid::short_text(command.error()));
    return kExitUsage;
  }
  switch (command->kind) {
    case Command::Kind::kHelp:
      write_std(STD_OUTPUT_HANDLE, kUsage);
      return kExitOk;
    case Command::Kind::kVersion:
      write_std(STD_OUTPUT_HANDLE, "corvidctl " + std::string(corvid::kVersion) + "\n");
      return kExitOk;
    case Command::Kind::kLog:
      return run_log(command->log);
    case Command::Kind::kDoctor:
      return run_doctor(command->json);
    case Command::Kind::kRequest:
      break;
  }

  const std::expected<std::string, client::ExchangeError> response =
      client::exchange(command->line);
  if (!response) {
    print_error(response.error().message);
    if (!response.error().partial.empty())
      print_error("received: " + response.error().partial);
    return response.error().kind == client::ExchangeError::Kind::kNotTheHelper ? kExitUntrusted
                                                                               : kExitNoAnswer;
  }
  // Scripts read the line as it came; a person at a console reads words.
  std::optional<std::string> words =
      command->json || !stdout_is_console() ? std::nullopt : human_text(*response);
  const std::optional<bool> ok = response_ok(*response);
  if (words && ok == true && command->action == "status")
    words = with_owner(*words);
  write_std(STD_OUTPUT_HANDLE, words ? *words + "\n" : *response);
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
