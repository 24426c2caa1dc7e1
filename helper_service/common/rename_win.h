#pragma once
// Renaming a file through its handle over whatever bears the new name.

#include <windows.h>

#include <string>

#include "common/error.h"

namespace corvid {

// Renames `file` (opened with DELETE access) to `to` (UTF-8), replacing a file of that name. POSIX
// semantics first (Windows 10 1709 and later, on NTFS): they replace a file that others hold open
// with delete sharing, whose handles keep the old file. Elsewhere the classic rename, which fails
// while the old file is open. On failure the OS error of the classic rename.
Result<void> rename_over(HANDLE file, const std::string& to);

}  // namespace corvid
