// Tries to serve under a pipe name from a process of its own, as a local user who wants the
// helper's clients would: one instance with each maximum a creator may ask for. Prints the
// outcome of each try ("<maximum> <0 or the error code>") and exits with the number of instances
// it could make.
//
// corvid_pipe_squatter.exe PIPE_NAME
#include <windows.h>

#include <cstdio>
#include <initializer_list>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2)
    return 100;
  int made = 0;
  for (const DWORD maximum : {DWORD{1}, DWORD{4}, DWORD{PIPE_UNLIMITED_INSTANCES}}) {
    const HANDLE pipe =
        CreateNamedPipeW(argv[1], PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE,
                         maximum, 4096, 4096, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
      std::printf("%lu %lu\n", maximum, GetLastError());
      continue;
    }
    std::printf("%lu 0\n", maximum);
    ++made;
    CloseHandle(pipe);
  }
  return made;
}
