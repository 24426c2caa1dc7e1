// corvidctl's command line: the request each command sends, the log's options, every usage error,
// and the help, whose exit statuses docs/protocol.md lists too.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "command_line.h"
#include "exit_codes.h"

namespace corvid::corvidctl {
namespace {

using Kind = Command::Kind;

const std::map<std::string, std::string> kFiles = {
    {"config.yaml", "port: 7890\nname: \"caf\xC3\xA9\"\n"},
    {"latin1.yaml", "name: caf\xE9\n"},
};

Result<Command> parse(const std::vector<std::string>& args) {
  return parse_command(args, [](const std::string& path) -> Result<std::string> {
    const auto found = kFiles.find(path);
    if (found == kFiles.end())
      return std::unexpected(Error("The system cannot find the file specified."));
    return found->second;
  });
}

std::string describe(const std::vector<std::string>& args) {
  std::string text = "corvidctl";
  for (const std::string& arg : args)
    text += " [" + arg + "]";
  return text;
}

TEST(CommandLine, EachCommandAndOptionAsked) {
  struct Case {
    std::vector<std::string> args;
    Kind kind;
    std::string line;  // the request line sent
    bool json = false;
  };
  const Case cases[] = {
      {{"ping"},
       Kind::kRequest,
       R"({"action":"ping"})"
       "\n"},
      {{"status", "--id", ""},
       Kind::kRequest,
       R"({"action":"status","id":""})"
       "\n"},
      {{"owner", "--id", "o"},
       Kind::kRequest,
       R"({"action":"owner","id":"o"})"
       "\n"},
      {{"stop", "--id=9"},
       Kind::kRequest,
       R"({"action":"stop","id":"9"})"
       "\n"},
      {{"start"},
       Kind::kRequest,
       R"({"action":"start"})"
       "\n"},
      {{"start", "--id", "z", "--config", "mode: rule\tx", "--work-dir", "C:\\work dir",
        "--core-path", "core.exe", "--config-path", "c\\config.yaml", "--log-path=l.log"},
       Kind::kRequest,
       R"({"action":"start","config":"mode: rule\tx","config_path":"c\\config.yaml","core_path":"core.exe","id":"z","log_path":"l.log","work_dir":"C:\\work dir"})"
       "\n"},
      {{"start", "--config-file", "config.yaml", "--id", "f"},
       Kind::kRequest,
       R"({"action":"start","config":"port: 7890\nname: \"caf)"
       "\xC3\xA9"
       R"(\"\n","id":"f"})"
       "\n"},
      // --json before the command or after it, once or twice.
      {{"--json", "ping", "--id", "7"},
       Kind::kRequest,
       R"({"action":"ping","id":"7"})"
       "\n",
       true},
      {{"ping", "--json", "--id=8"},
       Kind::kRequest,
       R"({"action":"ping","id":"8"})"
       "\n",
       true},
      {{"--json", "stop", "--json"},
       Kind::kRequest,
       R"({"action":"stop"})"
       "\n",
       true},
      // send: the line as it stands, with one line feed.
      {{"send", "abc"}, Kind::kRequest, "abc\n"},
      {{"send", "abc\n"}, Kind::kRequest, "abc\n"},
      {{"send", " {\"action\": \"ping\"}\r"}, Kind::kRequest, " {\"action\": \"ping\"}\r\n"},
      {{"send", "a\nb"}, Kind::kRequest, "a\nb\n"},
      {{"--json", "send", R"({"id":"x","action":"PING"})"},
       Kind::kRequest,
       R"({"id":"x","action":"PING"})"
       "\n",
       true},
      {{"doctor"}, Kind::kDoctor, ""},
      {{"doctor", "--json"}, Kind::kDoctor, "", true},
      {{"--json", "doctor"}, Kind::kDoctor, "", true},
      {{"--version"}, Kind::kVersion, ""},
      {{"version"}, Kind::kVersion, ""},
      {{"--help"}, Kind::kHelp, ""},
      {{"-h"}, Kind::kHelp, ""},
      {{"/?"}, Kind::kHelp, ""},
      {{"help"}, Kind::kHelp, ""},
      {{"start", "--config", "x", "--help"}, Kind::kHelp, ""},
      {{"doctor", "-h"}, Kind::kHelp, ""},
      {{"log", "--help"}, Kind::kHelp, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(describe(c.args));
    const Result<Command> command = parse(c.args);
    ASSERT_TRUE(command) << command.error().message;
    EXPECT_EQ(command->kind, c.kind);
    EXPECT_EQ(command->line, c.line);
    EXPECT_EQ(command->json, c.json);
  }
  EXPECT_EQ(parse({"status"})->action, "status");
  EXPECT_EQ(parse({"send", R"({"action":"status"})"})->action, "") << "a sent line is the user's";
}

TEST(CommandLine, LogOptions) {
  struct Case {
    std::vector<std::string> args;
    std::size_t count;
    bool follow;
    bool utc;
    std::optional<std::string> file;
  };
  const Case cases[] = {
      {{"log"}, 20, false, false, std::nullopt},
      {{"log", "-n", "3", "--file", "x.log"}, 3, false, false, "x.log"},
      {{"log", "--file=x.log", "-n2"}, 2, false, false, "x.log"},
      {{"log", "-n=0", "--follow", "--utc"}, 0, true, true, std::nullopt},
      {{"log", "-f", "-n", "1000000"}, 1000000, true, false, std::nullopt},
      {{"log", "--file", "-n"}, 20, false, false, "-n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(describe(c.args));
    const Result<Command> command = parse(c.args);
    ASSERT_TRUE(command) << command.error().message;
    EXPECT_EQ(command->kind, Kind::kLog);
    EXPECT_EQ(command->log.count, c.count);
    EXPECT_EQ(command->log.follow, c.follow);
    EXPECT_EQ(command->log.utc, c.utc);
    EXPECT_EQ(command->log.file, c.file);
  }
}

TEST(CommandLine, EachUsageErrorSaysWhatIsWrong) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "no command given (try corvidctl --help)"},
      {{"--json"}, "no command given (try corvidctl --help)"},
      {{"--json", "--json", "ping"}, "unknown command: --json (try corvidctl --help)"},
      {{"restart"}, "unknown command: restart (try corvidctl --help)"},
      {{"--version", "x"}, "--version takes no arguments"},
      {{"doctor", "--id"}, "unknown option for doctor: --id"},
      {{"ping", "--config", "x"}, "--config is only for start"},
      {{"owner", "--config-file", "config.yaml"}, "--config-file is only for start"},
      {{"status", "--work-dir", "C:\\"}, "--work-dir is only for start"},
      {{"ping", "--id"}, "--id needs a value"},
      {{"ping", "--id", "1", "--id", "2"}, "--id given twice"},
      {{"start", "--log-path=a", "--log-path", "b"}, "--log-path given twice"},
      {{"ping", "--bogus"}, "unknown option for ping: --bogus"},
      {{"ping", "extra"}, "unknown option for ping: extra"},
      {{"start", "--config", "a", "--config-file", "config.yaml"},
       "give either --config or --config-file, not both"},
      {{"start", "--config-file", "missing.yaml"},
       "cannot read missing.yaml: The system cannot find the file specified."},
      {{"send"}, "send takes exactly one argument, the line to send"},
      {{"send", "a", "b"}, "send takes exactly one argument, the line to send"},
      {{"send", "{}", "--json"}, "send takes exactly one argument, the line to send"},
      {{"log", "-n", "-1"}, "-n takes a number of entries, 0 or more: -1"},
      {{"log", "-n", "x"}, "-n takes a number of entries, 0 or more: x"},
      {{"log", "-n", "1.5"}, "-n takes a number of entries, 0 or more: 1.5"},
      {{"log", "-n", "+2"}, "-n takes a number of entries, 0 or more: +2"},
      {{"log", "-n", ""}, "-n takes a number of entries, 0 or more: "},
      {{"log", "-n", "99999999999999999999999"},
       "-n takes a number of entries, 0 or more: 99999999999999999999999"},
      {{"log", "-n"}, "-n needs a value"},
      {{"log", "--file"}, "--file needs a value"},
      {{"log", "-n", "1", "-n", "2"}, "-n given twice"},
      {{"log", "--file", "a", "--file=b"}, "--file given twice"},
      {{"log", "--id", "1"}, "unknown option for log: --id"},
      {{"log", "extra"}, "unknown option for log: extra"},
      {{"--json", "log"}, "--json is not for log"},
  };
  for (const auto& [args, text] : cases) {
    SCOPED_TRACE(describe(args));
    const Result<Command> command = parse(args);
    ASSERT_FALSE(command);
    EXPECT_EQ(short_text(command.error()), text);
  }
  // A configuration that is not UTF-8 cannot be sent: the request's encoder says why.
  const Result<Command> latin1 = parse({"start", "--config-file", "latin1.yaml"});
  ASSERT_FALSE(latin1);
  EXPECT_NE(short_text(latin1.error()), "");
}

TEST(CommandLine, HelpDescribesTheCommandsAndTheOutput) {
  for (const char* text : {"ping",
                           "status",
                           "owner",
                           "stop",
                           "start",
                           "send",
                           "--config-file",
                           "--work-dir",
                           "--core-path",
                           "--config-path",
                           "--log-path",
                           "--id",
                           "--json",
                           "corvidctl log [-n N] [--follow] [--utc] [--file PATH]",
                           "\"core running, pid N\"",
                           "\"core not running\"",
                           "owned by",
                           "default 20",
                           "corvid-helper.log",
                           "corvid-helper.log.1",
                           "--utc",
                           "corvidctl [--json] doctor",
                           "corvidctl --version"}) {
    EXPECT_NE(kUsage.find(text), std::string::npos) << text;
  }
}

// Each status means one thing, and the help and docs/protocol.md say which, under its number.
TEST(CommandLine, HelpAndTheProtocolPageListEachExitStatus) {
  struct Status {
    int code;
    const char* help;
    const char* doc;
  };
  const Status statuses[] = {
      {kExitOk, "  0  the response says \"ok\": true", "| 0 | the response says `\"ok\": true`"},
      {kExitNotOk, "  1  the helper refused", "| 1 | the helper refused"},
      {kExitNoAnswer, "  2  no helper answers", "| 2 | no helper answers"},
      {kExitUsage, "  3  a bad command line", "| 3 | a bad command line"},
      {kExitUntrusted, "  4  the pipe is not the helper's", "| 4 | the pipe is not the helper's"},
      {kExitDoctorFailed, "  5  doctor: at least one check failed", "| 5 | `doctor`: at least one"},
  };
  std::ifstream file("protocol.md", std::ios::binary);
  const std::string doc((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(doc.empty()) << "protocol.md is not beside the test program";
  std::set<int> codes;
  for (const Status& status : statuses) {
    SCOPED_TRACE(status.help);
    EXPECT_TRUE(codes.insert(status.code).second) << "two meanings share " << status.code;
    EXPECT_NE(kUsage.find(status.help), std::string::npos);
    EXPECT_NE(doc.find(status.doc), std::string::npos);
    EXPECT_EQ(std::string(status.help).substr(2, 1), std::to_string(status.code));
  }
}

}  // namespace
}  // namespace corvid::corvidctl
