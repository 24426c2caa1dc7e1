// The entry point: which run mode a command line selects, and what the executable reports when
// it is started from a console without the Service Control Manager.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "common/os_error.h"
#include "common/utf.h"
#include "host/service.h"
#include "host_support.h"
#include "test_support_win.h"

namespace corvid {
namespace {

using test::HelperCopy;
using test::ProgramResult;

std::string mode_name(RunMode mode) {
  switch (mode) {
    case RunMode::kService:
      return "service";
    case RunMode::kInstall:
      return "install";
    case RunMode::kUninstall:
      return "uninstall";
    case RunMode::kConsole:
      return "console";
  }
  return "?";
}

TEST(SelectModeTest, OnlyTheWholeFirstArgumentInExactLetterCaseSelectsAMode) {
  struct Case {
    std::vector<std::wstring> args;  // after the program name
    RunMode mode;
  };
  const Case cases[] = {
      {{}, RunMode::kService},
      {{L"install"}, RunMode::kInstall},
      {{L"uninstall"}, RunMode::kUninstall},
      {{L"console"}, RunMode::kConsole},
      // Only the first argument counts; the rest is ignored in every mode.
      {{L"console", L"extra", L"words"}, RunMode::kConsole},
      {{L"install", L"console"}, RunMode::kInstall},
      {{L"uninstall", L"install"}, RunMode::kUninstall},
      {{L"bogus", L"console"}, RunMode::kService},
      {{L"", L"install"}, RunMode::kService},
      // Letter case matters.
      {{L"CONSOLE"}, RunMode::kService},
      {{L"Console"}, RunMode::kService},
      {{L"INSTALL"}, RunMode::kService},
      {{L"Uninstall"}, RunMode::kService},
      // The whole argument, nothing around it.
      {{L"console "}, RunMode::kService},
      {{L" console"}, RunMode::kService},
      {{L"--console"}, RunMode::kService},
      {{L"-install"}, RunMode::kService},
      {{L"/uninstall"}, RunMode::kService},
      {{L"consoles"}, RunMode::kService},
      {{L"consol"}, RunMode::kService},
      {{L"install\tx"}, RunMode::kService},
      {{L"un install"}, RunMode::kService},
      {{L""}, RunMode::kService},
      {{L"service"}, RunMode::kService},
  };
  for (const Case& c : cases) {
    std::vector<const wchar_t*> argv{L"C:\\inst dir\\corvid_helper_service.exe"};
    for (const std::wstring& arg : c.args)
      argv.push_back(arg.c_str());
    std::string shown;
    for (const std::wstring& arg : c.args)
      shown += " [" + from_wide(arg) + "]";
    EXPECT_EQ(mode_name(select_mode(static_cast<int>(argv.size()), argv.data())), mode_name(c.mode))
        << "arguments:" << shown;
  }
}

TEST(SelectModeTest, NoArgumentVectorAtAllIsServiceMode) {
  // The entry point passes a count of 0 and no vector when the command line can't be split.
  EXPECT_EQ(select_mode(0, nullptr), RunMode::kService);
}

// What a console start prints when the dispatcher can't reach the Service Control Manager.
std::string dispatcher_report() {
  return "Error: failed to start service dispatcher\n"
         "\n"
         "Caused by:\n"
         "    0: IO error in winapi call\n"
         "    1: " +
         test::os_error_for(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) + "\n";
}

TEST(EntryTest, TheOsTextOfTheDispatcherFailureIsTheSystemsOwn) {
  // The report below is only as good as this text: the system has a message for the code, so
  // the report cannot be the fallback for a code without one.
  const std::string text = test::os_error_for(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  EXPECT_TRUE(text.ends_with(" (os error 1063)")) << text;
  EXPECT_EQ(os_error_text(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT), text);
}

// Wine's dispatcher, when not started by its Service Control Manager, opens the control pipe of
// the service started last (numbered by the value ServiceCurrent) and, while that service still
// runs, waits 10 s for the busy pipe before it fails as Windows fails at once. Numbering a pipe
// no service has while the test runs gives Windows' behaviour; the value is put back after.
class NoServiceCurrent {
 public:
  NoServiceCurrent() {
    if (!test::running_under_wine() ||
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key_) !=
            ERROR_SUCCESS)
      return;
    DWORD size = sizeof saved_;
    saved_valid_ = RegQueryValueExW(key_, nullptr, nullptr, nullptr,
                                    reinterpret_cast<BYTE*>(&saved_), &size) == ERROR_SUCCESS;
    const DWORD none = 0x7fffffff;
    RegSetValueExW(key_, nullptr, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&none), sizeof none);
  }
  ~NoServiceCurrent() {
    if (saved_valid_)
      RegSetValueExW(key_, nullptr, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&saved_),
                     sizeof saved_);
    if (key_ != nullptr)
      RegCloseKey(key_);
  }
  NoServiceCurrent(const NoServiceCurrent&) = delete;
  NoServiceCurrent& operator=(const NoServiceCurrent&) = delete;

 private:
  static constexpr const wchar_t* kKey = L"System\\CurrentControlSet\\Control\\ServiceCurrent";
  HKEY key_ = nullptr;
  DWORD saved_ = 0;
  bool saved_valid_ = false;
};

TEST(EntryTest, ServiceModeFromAConsoleReportsTheDispatcherFailureAndExitsWithOne) {
  HelperCopy helper("entry dispatcher", /*with_core=*/false);
  ASSERT_TRUE(helper.ready());
  const NoServiceCurrent no_service_current;
  // Every one of these falls through to service mode.
  const std::vector<std::vector<std::string>> command_lines = {
      {}, {"CONSOLE"}, {"Console", "x"}, {"console "}, {"INSTALL"}, {"bogus", "console"},
  };
  // Side by side, in case a dispatcher waits after all.
  std::vector<std::future<ProgramResult>> runs;
  for (const std::vector<std::string>& args : command_lines) {
    runs.push_back(std::async(std::launch::async, [&helper, args] {
      return test::run_program(helper.exe(), args, std::chrono::seconds(90));
    }));
  }
  for (std::size_t i = 0; i < runs.size(); ++i) {
    std::string shown;
    for (const std::string& arg : command_lines[i])
      shown += " [" + arg + "]";
    const ProgramResult result = runs[i].get();
    ASSERT_TRUE(result.started) << result.start_error;
    EXPECT_EQ(result.exit_code, 1u) << "arguments:" << shown;
    EXPECT_EQ(result.err, dispatcher_report()) << "arguments:" << shown;
    EXPECT_EQ(result.out, "") << "arguments:" << shown;
  }
  // The dispatcher never ran service_main, so no log was opened.
  EXPECT_FALSE(test::is_file(helper.log_path()));
}

}  // namespace
}  // namespace corvid
