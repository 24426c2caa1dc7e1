#pragma once
// Writing a whole buffer to a file, pipe or console handle.

#include <windows.h>

#include <string_view>

namespace corvid {

struct WriteOutcome {
  DWORD error = 0;       // GetLastError of the failed WriteFile; 0 when none failed
  bool stalled = false;  // the handle took no bytes although some were left
  bool ok() const { return error == 0 && !stalled; }
};

// Repeats WriteFile until every byte is taken, the handle takes none, or a write fails.
WriteOutcome write_all(HANDLE handle, std::string_view bytes);

}  // namespace corvid
