#pragma once
// Windows path rules on plain UTF-8 text, so they run and are tested on any host.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

namespace corvid {

// An absolute path reduced for comparison: one prefix form ("c:", "\\server\share"), "." and ".."
// resolved, components folded to lower case (ASCII). Empty when the path is not absolute or holds
// a component whose meaning Windows would change (trailing dots or blanks, "." or ".." in a
// verbatim path), so that a comparison never says "inside" when Windows might not agree.
struct NormalPath {
  std::string prefix;
  std::vector<std::string> components;

  bool operator==(const NormalPath&) const = default;
};
std::optional<NormalPath> normalize_path(std::string_view path);

// The components of `path` below the directory `dir`, normalised, when `path` lies strictly
// inside it (comparing whole components); empty otherwise.
std::optional<std::vector<std::string>> components_below(std::string_view dir,
                                                         std::string_view path);
// Whether `path` lies strictly inside the directory `dir`, comparing whole components.
bool is_inside(std::string_view dir, std::string_view path);
// Whether both name the same entry.
bool is_same_path(std::string_view a, std::string_view b);

}  // namespace corvid
