#include "supervisor/install_security.h"

#include <cstdio>

#include "common/winpath.h"

namespace corvid {

namespace {

// Access rights, as Windows defines them for files and directories.
constexpr std::uint32_t kWriteData = 0x0002;    // FILE_WRITE_DATA, FILE_ADD_FILE
constexpr std::uint32_t kAppendData = 0x0004;   // FILE_APPEND_DATA, FILE_ADD_SUBDIRECTORY
constexpr std::uint32_t kWriteEa = 0x0010;      // FILE_WRITE_EA
constexpr std::uint32_t kDeleteChild = 0x0040;  // FILE_DELETE_CHILD
constexpr std::uint32_t kWriteAttributes = 0x0100;
constexpr std::uint32_t kDelete = 0x00010000;
constexpr std::uint32_t kWriteDac = 0x00040000;
constexpr std::uint32_t kWriteOwner = 0x00080000;
constexpr std::uint32_t kGenericAll = 0x10000000;
constexpr std::uint32_t kGenericWrite = 0x40000000;

constexpr std::uint8_t kInheritOnly = 0x08;  // INHERIT_ONLY_ACE

// Anything that changes the object's contents, names or access.
constexpr std::uint32_t kInstalledForbidden = kWriteData | kAppendData | kWriteEa | kDeleteChild |
                                              kWriteAttributes | kDelete | kWriteDac | kWriteOwner |
                                              kGenericAll | kGenericWrite;
// Above the install directory adding entries is harmless (C:\ lets users make folders); renaming
// or removing what lies below, or taking over the access list, is not.
constexpr std::uint32_t kAncestorForbidden =
    kDeleteChild | kDelete | kWriteDac | kWriteOwner | kGenericAll;

bool is_administrative(const std::string& sid) {
  return sid == kLocalSystemSid || sid == kAdministratorsSid || sid == kTrustedInstallerSid;
}

std::string hex(std::uint32_t mask) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", mask);
  return text;
}

}  // namespace

std::optional<std::string> admin_only_violation(const SecuritySnapshot& snapshot,
                                                ProtectedRole role) {
  if (!is_administrative(snapshot.owner)) {
    return "owned by " + (snapshot.owner.empty() ? std::string("no one") : snapshot.owner);
  }
  if (!snapshot.dacl)
    return std::string("no access list: everyone has full access");
  const std::uint32_t forbidden =
      role == ProtectedRole::kInstalled ? kInstalledForbidden : kAncestorForbidden;
  for (const AccessEntry& entry : *snapshot.dacl) {
    if (entry.kind != AccessEntry::Kind::kAllow)
      continue;
    // An inherit-only entry grants nothing on this object; CREATOR OWNER applies only to what a
    // holder creates, and creating is what the other entries decide.
    if ((entry.flags & kInheritOnly) != 0 || entry.sid == kCreatorOwnerSid)
      continue;
    if (is_administrative(entry.sid))
      continue;
    const std::uint32_t granted = entry.mask & forbidden;
    if (granted != 0) {
      return "allows " + (entry.sid.empty() ? std::string("an unreadable SID") : entry.sid) + " " +
             hex(granted);
    }
  }
  return std::nullopt;
}

std::vector<std::pair<std::string, ProtectedRole>> protected_paths(const std::string& install_dir,
                                                                   const std::string& core_path) {
  std::vector<std::pair<std::string, ProtectedRole>> paths;
  paths.emplace_back(install_dir, ProtectedRole::kInstalled);
  if (!core_path.empty())
    paths.emplace_back(core_path, ProtectedRole::kInstalled);
  std::optional<std::string> parent = parent_path(install_dir);
  while (parent && !parent->empty()) {
    paths.emplace_back(*parent, ProtectedRole::kAncestor);
    std::optional<std::string> next = parent_path(*parent);
    if (next && *next == *parent)
      break;
    parent = std::move(next);
  }
  return paths;
}

}  // namespace corvid
