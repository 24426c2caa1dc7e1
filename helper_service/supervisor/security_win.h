#pragma once
// Reads Windows security descriptors, entries and volumes into the portable form the judgement of
// an install (install_security.h) takes.

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "common/error.h"
#include "supervisor/install_security.h"

namespace corvid {

// The owner and DACL of a descriptor (absolute or self-relative).
Result<SecuritySnapshot> snapshot_of(PSECURITY_DESCRIPTOR descriptor);

// The entry itself (opened with FILE_FLAG_OPEN_REPARSE_POINT, so a link is not followed): its
// reparse tag and its descriptor, read through one handle. Nothing when it is not there.
Result<std::optional<InstallEntry>> read_install_entry(const std::string& path);
// The names in the directory, listed through a handle of the directory itself.
Result<std::vector<std::string>> list_directory_entries(const std::string& dir);
// The kind of the volume the path lies on (GetVolumePathNameW, GetDriveTypeW).
Result<VolumeKind> volume_kind_of(const std::string& path);

// The judgement's reader on the system's own files, for `install` and `corvidctl doctor`.
InstallReader& windows_install_reader();

}  // namespace corvid
