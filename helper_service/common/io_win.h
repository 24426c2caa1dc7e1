#pragma once
// Writing a whole buffer to a file, pipe or console handle; reading a whole file.

#include <windows.h>

#include <expected>
#include <string>
#include <string_view>

#include "common/error.h"

namespace corvid {

struct WriteOutcome {
  DWORD error = 0;       // GetLastError of the failed WriteFile; 0 when none failed
  bool stalled = false;  // the handle took no bytes although some were left
  bool ok() const { return error == 0 && !stalled; }
};

// Repeats WriteFile until every byte is taken, the handle takes none, or a write fails.
WriteOutcome write_all(HANDLE handle, std::string_view bytes);

// The bytes of the file at `path` (UTF-8), opened for reading while others may read, write or
// delete it; or the error code of the call that failed.
Result<std::string> read_file(const std::string& path);

}  // namespace corvid
