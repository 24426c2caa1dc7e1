#include <windows.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "channel/pipe_server_win.h"
#include "common/exe_dir.h"
#include "common/os_error.h"
#include "common/handle_win.h"
#include "log/log.h"
#include "host/service.h"
#include "supervisor/backend_win.h"
#include "supervisor/watchdog.h"

namespace corvid {

namespace {

constexpr SIZE_T kWorkerStack = 2 * 1024 * 1024;

DWORD WINAPI worker_entry(LPVOID parameter) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(parameter));
  (*body)();
  return 0;
}

// Without its workers the helper is useless: failing to start one ends the process.
void spawn_detached(std::function<void()> body) {
  auto* parameter = new std::function<void()>(std::move(body));
  // Detached: the handle is released at once.
  const WinHandle thread(CreateThread(nullptr, kWorkerStack, worker_entry, parameter,
                                      STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
  if (!thread) {
    const DWORD code = GetLastError();
    write_stderr("failed to spawn thread: " + os_error_text(code) + "\n");
    std::abort();
  }
}

}  // namespace

void start_workers(const std::shared_ptr<CoreState>& state,
                   const std::shared_ptr<std::atomic<bool>>& stop_flag) {
  spawn_detached([state, stop_flag] { run_pipe_server(state, stop_flag); });
  spawn_detached([state, stop_flag] { run_core_watchdog(stop_flag, state); });
}

RunMode select_mode(int argc, const wchar_t* const* argv) {
  if (argc < 2)
    return RunMode::kService;
  const std::wstring_view word = argv[1];
  if (word == L"install")
    return RunMode::kInstall;
  if (word == L"uninstall")
    return RunMode::kUninstall;
  if (word == L"console")
    return RunMode::kConsole;
  return RunMode::kService;
}

Result<void> run_service_dispatcher() {
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(kServiceName), service_main},
                                  {nullptr, nullptr}};
  if (Result<void> started = check_win32(StartServiceCtrlDispatcherW(table), winapi_error);
      !started)
    return std::unexpected(context("failed to start service dispatcher", started.error()));
  return {};
}

Result<void> run_console() {
  CORVID_TRY_ASSIGN(const std::string dir, exe_dir());
  init_log(dir);
  log_line("running in console mode");
  log_line(start_entry(GetCurrentProcessId()));
  auto stop_flag = std::make_shared<std::atomic<bool>>(false);
  auto state = std::make_shared<CoreState>(make_windows_backend(), stop_flag);
  protect_core_config(*state->backend);
  start_workers(state, stop_flag);
  // Diagnosis mode runs until it is killed; it never reads the flag.
  for (;;)
    Sleep(500);
}

int run_mode(RunMode mode) {
  Result<void> outcome;
  switch (mode) {
    case RunMode::kService:
      outcome = run_service_dispatcher();
      break;
    case RunMode::kInstall:
      outcome = install_service();
      break;
    case RunMode::kUninstall:
      outcome = uninstall_service();
      break;
    case RunMode::kConsole:
      outcome = run_console();
      break;
  }
  if (outcome)
    return 0;
  write_stderr("Error: " + detailed_text(outcome.error()) + "\n");
  return 1;
}

}  // namespace corvid
