#include <windows.h>
#include <shellapi.h>

#include "host/service.h"

int main() {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  const corvid::RunMode mode = corvid::select_mode(argv != nullptr ? argc : 0, argv);
  if (argv != nullptr)
    LocalFree(argv);
  // The detached workers may still run: end the process without running static destructors
  // under their feet.
  ExitProcess(static_cast<UINT>(corvid::run_mode(mode)));
}
