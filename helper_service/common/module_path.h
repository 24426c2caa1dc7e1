#pragma once
// The full path of the running executable.

#include <cstdint>
#include <expected>
#include <string>

namespace corvid {

// The path as UTF-8, or the GetLastError code of the failed lookup.
std::expected<std::string, std::uint32_t> running_executable_path();

}  // namespace corvid
