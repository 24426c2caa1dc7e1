#include "supervisor/install_security.h"

#include <algorithm>
#include <cstdio>

#include "common/path_rules.h"
#include "common/product_names.h"
#include "common/shown_text.h"

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

std::string hex(std::uint32_t mask) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", mask);
  return text;
}

std::string shown_sid(const std::string& sid) {
  return sid.empty() ? std::string("an unreadable SID") : sid;
}

// Reparse points that keep a file's data elsewhere but never send its name elsewhere: Windows'
// own compression (compact /exe, CompactOS) and deduplication put them on ordinary installed
// files. Every other one (a junction, a mount point, a symbolic link, a tag not known here) may
// lead anywhere.
bool stays_where_named(std::uint32_t tag) {
  constexpr std::uint32_t kDedup = 0x80000013;  // IO_REPARSE_TAG_DEDUP
  constexpr std::uint32_t kWof = 0x80000017;    // IO_REPARSE_TAG_WOF
  return tag == kDedup || tag == kWof;
}

// Why a path's form alone puts it off this machine's own drives: a share's "Administrators" are
// the server's, and a device or volume path names no drive whose volume can be asked about.
std::optional<std::string> off_this_machine(const std::string& dir) {
  const std::optional<NormalPath> normal = normalize_path(dir);
  if (!normal)
    return std::string("is not a full path");
  const std::string& prefix = normal->prefix;
  if (prefix.size() == 2 && prefix[1] == ':')
    return std::nullopt;
  if (prefix.size() > 2 && prefix[2] != '.' && prefix[2] != '?')
    return std::string("is on a network share");
  return std::string("is not on a drive of this machine");
}

std::string volume_text(VolumeKind kind) {
  switch (kind) {
    case VolumeKind::kFixed:
      break;
    case VolumeKind::kRemovable:
      return "is on a removable volume";
    case VolumeKind::kRemote:
      return "is on a network share";
    case VolumeKind::kOther:
      break;
  }
  return "is not on a fixed local volume";
}

// Every directory above `dir`, nearest first, up to its root.
std::vector<std::string> ancestors_of(const std::string& dir) {
  std::vector<std::string> ancestors;
  std::optional<std::string> parent = parent_path(dir);
  while (parent && !parent->empty()) {
    ancestors.push_back(*parent);
    std::optional<std::string> next = parent_path(*parent);
    if (next && *next == *parent)
      break;
    parent = std::move(next);
  }
  return ancestors;
}

}  // namespace

const TrustedSids& administrative_sids() {
  static const TrustedSids sids{kLocalSystemSid, kAdministratorsSid, kTrustedInstallerSid};
  return sids;
}

std::optional<std::string> admin_only_violation(const SecuritySnapshot& snapshot,
                                                ProtectedRole role,
                                                const TrustedSids& trusted_sids) {
  const auto trusted = [&](const std::string& sid) {
    return std::find(trusted_sids.begin(), trusted_sids.end(), sid) != trusted_sids.end();
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

Result<void> judge_install(const std::string& install_dir, InstallReader& reader,
                           const TrustedSids& trusted) {
  const auto refusal = [&](const std::string& path, const std::string& why) {
    return Error("install directory is writable by non-administrators: " + shown_text(install_dir),
                 shown_text(path) + ": " + why);
  };
  // Fails closed: what cannot be read cannot be shown to be admin-only.
  const auto unreadable = [&](const std::string& path, const Error& error) {
    Error refused = refusal(path, error.message);
    refused.causes.insert(refused.causes.end(), error.causes.begin(), error.causes.end());
    refused.os_code = error.os_code;
    return refused;
  };
  if (const std::optional<std::string> why = off_this_machine(install_dir))
    return std::unexpected(refusal(install_dir, *why));
  const Result<VolumeKind> volume = reader.volume_kind(install_dir);
  if (!volume)
    return std::unexpected(unreadable(install_dir, volume.error()));
  if (*volume != VolumeKind::kFixed)
    return std::unexpected(refusal(install_dir, volume_text(*volume)));

  // Whether the entry is there; a refusal when it is not what it must be.
  const auto judge = [&](const std::string& path, ProtectedRole role,
                         bool may_be_missing) -> Result<bool> {
    const Result<std::optional<InstallEntry>> entry = reader.read_entry(path);
    if (!entry)
      return std::unexpected(unreadable(path, entry.error()));
    if (!*entry) {
      if (may_be_missing)
        return false;
      return std::unexpected(refusal(path, "is not there"));
    }
    const std::optional<std::uint32_t> tag = (*entry)->reparse_tag;
    if (tag && !stays_where_named(*tag))
      return std::unexpected(refusal(path, "is a reparse point (tag " + hex(*tag) + ")"));
    if (const std::optional<std::string> why =
            admin_only_violation((*entry)->security, role, trusted))
      return std::unexpected(refusal(path, *why));
    return true;
  };
  CORVID_TRY(judge(install_dir, ProtectedRole::kInstalled, false));
  Result<std::vector<std::string>> names = reader.list_entries(install_dir);
  if (!names)
    return std::unexpected(unreadable(install_dir, names.error()));
  // One order wherever the judgement runs: the same install names the same first failure.
  std::sort(names->begin(), names->end());
  const std::string core_log = join_path(install_dir, kCoreLogFileName);
  const std::string log_dir = parent_path(core_log).value_or(std::string());
  bool has_log_dir = false;
  for (const std::string& name : *names) {
    const std::string path = join_path(install_dir, name);
    CORVID_TRY_ASSIGN(const bool there, judge(path, ProtectedRole::kInstalled, true));
    has_log_dir = has_log_dir || (there && is_same_path(path, log_dir));
  }
  // The core opens its log by name, as LocalSystem.
  if (has_log_dir)
    CORVID_TRY(judge(core_log, ProtectedRole::kInstalled, true));
  for (const std::string& ancestor : ancestors_of(install_dir))
    CORVID_TRY(judge(ancestor, ProtectedRole::kAncestor, false));
  return {};
}

}  // namespace corvid
