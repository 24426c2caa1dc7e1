#pragma once
// Writing a whole buffer to a file, pipe or console handle; reading a whole file.

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "common/error.h"

namespace corvid {

// Repeats WriteFile until every byte is taken, the handle takes none, or a write fails: how many
// bytes were taken (fewer than given when the handle stopped taking them), or the failed write as
// an OS error.
Result<std::size_t> write_all(HANDLE handle, std::string_view bytes);

// The bytes of the file at `path` (UTF-8), opened for reading while others may read, write or
// delete it; or the failed call as an OS error.
Result<std::string> read_file(const std::string& path);

}  // namespace corvid
