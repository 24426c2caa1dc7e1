#pragma once
// Reads Windows security descriptors into the portable form the install check judges.

#include <windows.h>

#include <string>

#include "common/error.h"
#include "supervisor/install_security.h"

namespace corvid {

// The owner and DACL of a descriptor (absolute or self-relative).
Result<SecuritySnapshot> snapshot_of(PSECURITY_DESCRIPTOR descriptor);

// The owner and DACL of a file or directory, as stored on it.
Result<SecuritySnapshot> read_path_security(const std::string& path);

}  // namespace corvid
