#pragma once
// What the log needs from the operating system; one implementation per platform.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"

namespace corvid::log_platform {

using FileHandle = std::intptr_t;

std::string join_log_path(const std::string& dir);
// Opened for appending only, created when missing, never truncated.
std::optional<FileHandle> open_append(const std::string& path);
void close_file(FileHandle file);
// Repeats until every byte is taken; errors are ignored.
void write_all(FileHandle file, std::string_view bytes);
void write_stderr(std::string_view bytes);
std::uint64_t filetime_now();

}  // namespace corvid::log_platform
