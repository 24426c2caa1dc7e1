#pragma once
// The Windows backend's file work for a start: directories, the configuration, and a standard
// user's files reached through handles (CoreBackend says what each does).

#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "supervisor/start_policy.h"

namespace corvid::core_files_win {

Result<void> create_directories(const std::string& path);
Result<void> write_file(const std::string& path, std::string_view bytes);
Result<void> prepare(const CoreFiles& files, std::optional<std::string_view> config);
Result<void> protect_config(const std::string& path);

}  // namespace corvid::core_files_win
