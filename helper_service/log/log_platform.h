#pragma once
// What the log needs from the operating system; one implementation per platform.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "common/file_identity.h"

namespace corvid::log_platform {

using FileHandle = std::intptr_t;

std::string join_log_path(const std::string& dir);
// Opened for appending only, created when missing, never truncated; others may read, write,
// rename and delete it meanwhile.
std::optional<FileHandle> open_append(const std::string& path);
void close_file(FileHandle file);
// Repeats until every byte is taken; errors are ignored.
void write_all(FileHandle file, std::string_view bytes);
void write_stderr(std::string_view bytes);
std::uint64_t filetime_now();

std::optional<FileIdentity> held_file_state(FileHandle file);
// The held file's size alone: far cheaper than its whole state where a volume has to be asked
// (under Wine, a millisecond each time), and all that changes while the file is held.
std::optional<std::uint64_t> held_file_size(FileHandle file);
// The file that `path` names now; empty when there is none.
std::optional<FileIdentity> named_file_state(const std::string& path);
// Renames the file that `file` is to `to`, replacing a file there, provided `from` still names
// that file; an error when it does not or the rename fails.
Result<void> rename_held_file(FileHandle file, const std::string& from, const std::string& to);

}  // namespace corvid::log_platform
