// A stand-in for the proxy core, for tests and the demo.
//
// Every run appends one JSON line to "fake-core-runs.log" beside this executable:
//   {"pid":1234,"cwd":"C:\\inst dir","command_line":"\"C:\\inst dir\\clash-rs.exe\" -d ...",
//    "argv":["C:\\inst dir\\clash-rs.exe","-d",...]}
// (one line; argv as CommandLineToArgvW splits the command line, texts in UTF-8).
//
// What it then does comes from the file named by its "-c" argument, one directive a line
// (blank lines, lines starting with '#' and unknown lines are ignored). First, in the order
// given:
//   print TEXT write TEXT and a line feed to standard output, then to standard error
//   spawn      start a copy of itself that runs until terminated; the copy records its run too,
//              with the command line "<this executable>" --spawned-by <this pid>
// Then one of these (later lines win):
//   run        run until terminated (also when the file is missing or says nothing)
//   exit N     exit at once with code N (decimal, or hex with 0x)
//   sleep MS   run for MS milliseconds, then exit with the code of "exit" (0 without one)
#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/module_path.h"
#include "common/utf.h"
#include "common/handle_win.h"
#include "common/io_win.h"

namespace {

using corvid::from_wide;

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  out += '"';
}

std::wstring own_directory() {
  const corvid::Result<std::string> path = corvid::running_executable_path();
  if (!path)
    return L".";
  const std::wstring wide = corvid::to_wide(*path);
  const std::size_t cut = wide.find_last_of(L"\\/");
  return cut == std::wstring::npos ? L"." : wide.substr(0, cut);
}

std::wstring current_directory() {
  const DWORD size = GetCurrentDirectoryW(0, nullptr);
  std::wstring dir(size, L'\0');
  const DWORD length = GetCurrentDirectoryW(size, dir.data());
  dir.resize(length < size ? length : 0);
  return dir;
}

// One write of the whole line, so that concurrent runs never interleave inside a line.
void record_run(const std::vector<std::wstring>& argv) {
  std::string line = "{\"pid\":" + std::to_string(GetCurrentProcessId()) + ",\"cwd\":";
  append_json_string(line, from_wide(current_directory()));
  line += ",\"command_line\":";
  append_json_string(line, from_wide(GetCommandLineW()));
  line += ",\"argv\":[";
  for (std::size_t i = 0; i < argv.size(); ++i) {
    if (i != 0)
      line += ',';
    append_json_string(line, from_wide(argv[i]));
  }
  line += "]}\n";

  const std::wstring path = own_directory() + L"\\fake-core-runs.log";
  const corvid::WinHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file)
    return;
  DWORD written = 0;
  WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

std::optional<std::uint32_t> parse_number(std::string_view text) {
  const std::string digits(text);
  if (digits.empty())
    return std::nullopt;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(digits.c_str(), &end, 0);
  if (*end != '\0' || value > 0xFFFFFFFFull)
    return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

std::string_view trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && blank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && blank(text.back()))
    text.remove_suffix(1);
  return text;
}

// The first steps, in order: a line to print, or (empty) a copy to start.
using Step = std::optional<std::string>;

struct Behaviour {
  std::vector<Step> steps;
  bool forever = true;
  std::uint32_t sleep_ms = 0;
  std::uint32_t exit_code = 0;
};

Behaviour read_behaviour(std::string_view config) {
  Behaviour behaviour;
  while (!config.empty()) {
    const std::size_t end = config.find('\n');
    const std::string_view line = trim(config.substr(0, end));
    config = end == std::string_view::npos ? std::string_view() : config.substr(end + 1);
    const std::size_t space = line.find(' ');
    const std::string_view word = line.substr(0, space);
    const std::string_view value =
        space == std::string_view::npos ? std::string_view() : trim(line.substr(space + 1));
    if (word == "print") {
      behaviour.steps.emplace_back(std::string(value));
    } else if (word == "spawn") {
      behaviour.steps.emplace_back(std::nullopt);
    } else if (word == "run") {
      behaviour.forever = true;
    } else if (const auto number = parse_number(value); number && word == "exit") {
      behaviour.forever = false;
      behaviour.exit_code = *number;
    } else if (number && word == "sleep") {
      behaviour.forever = false;
      behaviour.sleep_ms = *number;
    }
  }
  return behaviour;
}

void write_line(DWORD which, const std::string& line) {
  const HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
    return;
  DWORD written = 0;
  WriteFile(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void spawn_copy() {
  std::vector<wchar_t> exe(MAX_PATH * 4);
  const DWORD length = GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size()));
  if (length == 0 || length >= exe.size())
    return;
  std::wstring command_line = L"\"" + std::wstring(exe.data(), length) + L"\" --spawned-by " +
                              std::to_wstring(GetCurrentProcessId());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (CreateProcessW(exe.data(), command_line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                     nullptr, nullptr, &startup, &info)) {
    // Left running: only ending its job ends it.
    const corvid::WinHandle thread(info.hThread);
    const corvid::WinHandle process(info.hProcess);
  }
}

}  // namespace

int main() {
  std::vector<std::wstring> argv;
  for (const std::string& arg : corvid::command_line_arguments())
    argv.push_back(corvid::to_wide(arg));

  record_run(argv);

  std::string config;
  for (std::size_t i = 1; i + 1 < argv.size(); ++i) {
    if (argv[i] == L"-c") {
      // A missing or unreadable file says nothing: run.
      config = corvid::read_file(corvid::from_wide(argv[i + 1])).value_or(std::string());
      break;
    }
  }
  const Behaviour behaviour = read_behaviour(config);
  for (const Step& step : behaviour.steps) {
    if (step) {
      write_line(STD_OUTPUT_HANDLE, *step + "\n");
      write_line(STD_ERROR_HANDLE, *step + "\n");
    } else {
      spawn_copy();
    }
  }
  if (behaviour.forever) {
    for (;;)
      Sleep(INFINITE);
  }
  Sleep(behaviour.sleep_ms);
  ExitProcess(behaviour.exit_code);
}
