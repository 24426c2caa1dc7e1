#include <windows.h>
#include <shellapi.h>

#include "common/handle_win.h"
#include "host/service.h"

int main() {
  // First of all: a library loaded later (by the system on the helper's behalf too) comes from
  // System32 only, never from the install or current directory. A failure leaves the default
  // search order, which is no reason not to run.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  int argc = 0;
  corvid::RunMode mode = corvid::RunMode::kService;
  {
    const corvid::LocalMemory<LPWSTR*> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    mode = corvid::select_mode(argv ? argc : 0, argv.get());
  }
  // The detached workers may still run: end the process without running static destructors
  // under their feet.
  ExitProcess(static_cast<UINT>(corvid::run_mode(mode)));
}
