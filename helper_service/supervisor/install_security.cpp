#include "supervisor/install_security.h"

#include <cstdio>

#include "common/shown_text.h"
#include "common/path_rules.h"

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

constexpr std::uint8_t kObjectInherit = 0x01;     // OBJECT_INHERIT_ACE
constexpr std::uint8_t kContainerInherit = 0x02;  // CONTAINER_INHERIT_ACE
constexpr std::uint8_t kInheritOnly = 0x08;       // INHERIT_ONLY_ACE

// Anything that changes the object's contents, names or access.
constexpr std::uint32_t kInstalledForbidden = kWriteData | kAppendData | kWriteEa | kDeleteChild |
                                              kWriteAttributes | kDelete | kWriteDac | kWriteOwner |
                                              kGenericAll | kGenericWrite;
// Above the install directory adding entries is harmless (C:\ lets users make folders); renaming
// or removing what lies below, or taking over the access list, is not.
constexpr std::uint32_t kAncestorForbidden =
    kDeleteChild | kDelete | kWriteDac | kWriteOwner | kGenericAll;
// Adding a file or a folder to a directory.
constexpr std::uint32_t kCreateEntries = kWriteData | kAppendData | kGenericWrite | kGenericAll;

bool is_administrative(const std::string& sid) {
  return sid == kLocalSystemSid || sid == kAdministratorsSid || sid == kTrustedInstallerSid;
}

std::string hex(std::uint32_t mask) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", mask);
  return text;
}

std::string shown_sid(const std::string& sid) {
  return sid.empty() ? std::string("an unreadable SID") : sid;
}

}  // namespace

std::optional<std::string> admin_only_violation(const SecuritySnapshot& snapshot,
                                                ProtectedRole role, std::string_view also_trusted) {
  const auto trusted = [&](const std::string& sid) {
    return is_administrative(sid) || (!also_trusted.empty() && sid == also_trusted);
  };
  if (!trusted(snapshot.owner)) {
    return "owned by " + (snapshot.owner.empty() ? std::string("no one") : snapshot.owner);
  }
  if (!snapshot.dacl)
    return std::string("no access list: everyone has full access");
  const std::vector<AccessEntry>& dacl = *snapshot.dacl;
  // CREATOR OWNER stands for whoever creates an entry: harmless only where no one else may.
  bool others_create = false;
  for (const AccessEntry& entry : dacl) {
    if (entry.kind == AccessEntry::Kind::kAllow && (entry.flags & kInheritOnly) == 0 &&
        entry.sid != kCreatorOwnerSid && !trusted(entry.sid) && (entry.mask & kCreateEntries) != 0)
      others_create = true;
  }
  const std::uint32_t forbidden =
      role == ProtectedRole::kInstalled ? kInstalledForbidden : kAncestorForbidden;
  for (const AccessEntry& entry : dacl) {
    if (entry.kind != AccessEntry::Kind::kAllow || trusted(entry.sid))
      continue;
    const bool creator_owner = entry.sid == kCreatorOwnerSid;
    // An inherit-only entry grants nothing on this object; CREATOR OWNER applies only to what a
    // holder creates.
    if ((entry.flags & kInheritOnly) == 0 && !creator_owner) {
      if (const std::uint32_t granted = entry.mask & forbidden; granted != 0)
        return "allows " + shown_sid(entry.sid) + " " + hex(granted);
    }
    // What the service or the core creates inside the install directory (the log directory, the
    // core's log) takes this entry on: it would be theirs to change, and to redirect.
    if (role != ProtectedRole::kInstalled ||
        (entry.flags & (kObjectInherit | kContainerInherit)) == 0 ||
        (creator_owner && !others_create))
      continue;
    if (const std::uint32_t granted = entry.mask & kInstalledForbidden; granted != 0)
      return "allows " + shown_sid(entry.sid) + " " + hex(granted) + " on what is created in it";
  }
  return std::nullopt;
}

std::vector<std::pair<std::string, ProtectedRole>> protected_paths(
    const std::string& install_dir, const std::vector<std::string>& inside) {
  std::vector<std::pair<std::string, ProtectedRole>> paths;
  paths.emplace_back(install_dir, ProtectedRole::kInstalled);
  for (const std::string& path : inside)
    paths.emplace_back(path, ProtectedRole::kInstalled);
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

Result<void> judge_install(const std::string& install_dir, const std::vector<std::string>& inside,
                           const SecurityReader& read, std::string_view also_trusted) {
  const std::string refusal =
      "install directory is writable by non-administrators: " + shown_text(install_dir);
  for (const auto& [path, role] : protected_paths(install_dir, inside)) {
    const Result<SecuritySnapshot> snapshot = read(path);
    if (!snapshot) {
      // Fails closed: what cannot be read cannot be shown to be admin-only.
      std::vector<std::string> causes{shown_text(path) + ": " + snapshot.error().message};
      causes.insert(causes.end(), snapshot.error().causes.begin(), snapshot.error().causes.end());
      return std::unexpected(Error(refusal, std::move(causes)));
    }
    if (const std::optional<std::string> why = admin_only_violation(*snapshot, role, also_trusted))
      return std::unexpected(Error(refusal, shown_text(path) + ": " + *why));
  }
  return {};
}

}  // namespace corvid
