// A test-only program that drives the helper log in a process of its own, since the log sink is
// set once per process. Its arguments are steps, done in order:
//   init DIR          init_log(DIR)
//   init-limit DIR N  init_log(DIR, N): the log rotated at N bytes
//   init-exe-dir      init_log(exe_dir())
//   line MESSAGE      log_line(MESSAGE)
//   lines N PREFIX    log_line("PREFIX i") for i = 0..N-1
//   print-exe-dir     writes exe_dir() (or "error: " and its detailed text) and "\n" to stdout
//   signal PATH       creates the file PATH (a turn handed to another writer)
//   await PATH        waits up to 30 s until the file PATH exists; exit status 3 if it does not
//   probe PATH        writes "held\n" to stdout when PATH can't be opened without sharing,
//                     "free\n" when it can
// Exit status 2 on unknown steps.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "common/exe_dir.h"
#include "common/module_path.h"
#include "common/utf.h"
#include "common/handle_win.h"
#include "log/log.h"

namespace {

void print(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
            nullptr);
}

}  // namespace

int main() {
  std::vector<std::string> args = corvid::command_line_arguments();
  if (args.empty())
    return 2;
  args.erase(args.begin());

  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& step = args[i];
    const bool has_value = i + 1 < args.size();
    if (step == "init" && has_value) {
      corvid::init_log(args[++i]);
    } else if (step == "init-limit" && i + 2 < args.size()) {
      corvid::init_log(args[i + 1], std::stoull(args[i + 2]));
      i += 2;
    } else if (step == "signal" && has_value) {
      const corvid::WinHandle file(CreateFileW(corvid::to_wide(args[++i]).c_str(), GENERIC_WRITE, 0,
                                               nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                               nullptr));
      if (!file)
        return 3;
    } else if (step == "await" && has_value) {
      const std::wstring path = corvid::to_wide(args[++i]);
      int waited = 0;
      while (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES && waited < 3000) {
        Sleep(10);
        ++waited;
      }
      if (waited == 3000)
        return 3;
    } else if (step == "init-exe-dir") {
      corvid::init_log(corvid::exe_dir().value_or(""));
    } else if (step == "line" && has_value) {
      corvid::log_line(args[++i]);
    } else if (step == "lines" && i + 2 < args.size()) {
      const int lines = std::stoi(args[i + 1]);
      const std::string prefix = args[i + 2];
      i += 2;
      for (int n = 0; n < lines; ++n)
        corvid::log_line(prefix + " " + std::to_string(n));
    } else if (step == "print-exe-dir") {
      const corvid::Result<std::string> dir = corvid::exe_dir();
      print(dir ? *dir + "\n" : "error: " + corvid::detailed_text(dir.error()) + "\n");
    } else if (step == "probe" && has_value) {
      const corvid::WinHandle file(CreateFileW(corvid::to_wide(args[++i]).c_str(), GENERIC_READ, 0,
                                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                               nullptr));
      print(file ? "free\n" : "held\n");
    } else {
      return 2;
    }
  }
  return 0;
}
