#pragma once
// Writing a whole buffer to a file, pipe or console handle; reading a whole file.

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "common/error.h"
#include "common/file_identity.h"

namespace corvid {

// Repeats WriteFile until every byte is taken, the handle takes none, or a write fails: how many
// bytes were taken (fewer than given when the handle stopped taking them), or the failed write as
// an OS error.
Result<std::size_t> write_all(HANDLE handle, std::string_view bytes);

// The bytes of the file at `path` (UTF-8), opened for reading while others may read, write or
// delete it; or the failed call as an OS error.
Result<std::string> read_file(const std::string& path);

// Which file the handle is, and its size; or the failed call as an OS error.
Result<FileIdentity> identity_of(HANDLE file);
// Which file or directory `path` names now (links followed), opened for no access so that no
// sharing mode is in the way; or the failed call as an OS error.
Result<FileIdentity> identity_of(const std::string& path);

}  // namespace corvid
