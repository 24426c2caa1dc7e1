#include "common/exe_dir.h"

#include <optional>

#include "common/path_rules.h"

namespace corvid {

Result<std::string> exe_dir() {
  CORVID_TRY_ASSIGN(const std::string path, current_exe());
  std::optional<std::string> parent = parent_path(path);
  if (!parent || parent->empty())
    return std::unexpected(Error("invalid exe path"));
  return *parent;
}

}  // namespace corvid
