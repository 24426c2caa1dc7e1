#pragma once
// Windows path rules on plain UTF-8 text, so they run and are tested on any host.

#include <optional>
#include <string>
#include <string_view>

namespace corvid {

// A drive or UNC prefix with a root ("C:\x", "\\server\share"), or a verbatim path ("\\?\...").
bool is_absolute_path(std::string_view path);

// Appends `name` to `base` the Windows way: a separator goes between them unless `base` is empty,
// ends in one or is a bare drive ("C:"); a name with its own drive or UNC prefix replaces the base;
// a rooted name without a drive keeps only the base's drive or share.
std::string join_path(std::string_view base, std::string_view name);

// The path without its last component; empty when the path has none (a bare root or prefix).
std::optional<std::string> parent_path(std::string_view path);

}  // namespace corvid
