#pragma once
// Whether a path's security descriptor keeps it out of non-administrators' hands. The core runs
// as LocalSystem, so whoever can change the install directory, the core, or rename a directory
// above them can run code as LocalSystem. Portable: the Windows backend reads descriptors into
// this form, and the judgement is a pure function.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/sids.h"

namespace corvid {

// One access-control entry of a DACL.
struct AccessEntry {
  // Allow covers every allow-type entry (plain, callback, object, compound); deny entries never
  // grant; other types (audit, labels) carry no access.
  enum class Kind { kAllow, kDeny, kOther };
  Kind kind = Kind::kOther;
  std::uint8_t flags = 0;  // the entry's inheritance flags (INHERIT_ONLY_ACE = 0x08)
  std::uint32_t mask = 0;
  std::string sid;  // "S-1-5-32-544"; empty when it could not be read

  bool operator==(const AccessEntry&) const = default;
};

struct SecuritySnapshot {
  std::string owner;  // empty: no owner
  // Absent: a NULL DACL, which gives everyone full access.
  std::optional<std::vector<AccessEntry>> dacl;

  bool operator==(const SecuritySnapshot&) const = default;
};

// The install directory and the core must not be written to; a directory above them must not
// let anyone rename or replace what lies below.
enum class ProtectedRole { kInstalled, kAncestor };

// Why the snapshot lets someone other than LocalSystem, Administrators or TrustedInstaller change
// the object; nothing when it does not.
std::optional<std::string> admin_only_violation(const SecuritySnapshot& snapshot,
                                                ProtectedRole role);

// The paths whose descriptors decide whether the install is admin-only: the install directory,
// the core (when given), then every directory above the install directory up to its root.
std::vector<std::pair<std::string, ProtectedRole>> protected_paths(const std::string& install_dir,
                                                                   const std::string& core_path);

}  // namespace corvid
