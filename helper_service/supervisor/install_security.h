#pragma once
// Whether a path's security descriptor keeps it out of non-administrators' hands. The core runs
// as LocalSystem, so whoever can change the install directory, the core or the core's files, or
// rename a directory above them, can run code as LocalSystem. Portable: the Windows backend reads
// descriptors into this form, and the judgement is a pure function.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/error.h"
#include "common/sids.h"

namespace corvid {

// One access-control entry of a DACL.
struct AccessEntry {
  // Allow covers every allow-type entry (plain, callback, object, compound); deny entries never
  // grant; other types (audit, labels) carry no access.
  enum class Kind { kAllow, kDeny, kOther };
  Kind kind = Kind::kOther;
  // The entry's inheritance flags: OBJECT_INHERIT_ACE 0x01, CONTAINER_INHERIT_ACE 0x02,
  // INHERIT_ONLY_ACE 0x08, INHERITED_ACE 0x10.
  std::uint8_t flags = 0;
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

// The install directory, the core and the core's files must not be written to, nor may what is
// created in them inherit a right to be; a directory above them must not let anyone rename or
// replace what lies below.
enum class ProtectedRole { kInstalled, kAncestor };

// Why the snapshot lets someone other than LocalSystem, Administrators, TrustedInstaller (and
// `also_trusted`, a SID, when not empty) change the object, or what is created in it; nothing
// when it does not.
std::optional<std::string> admin_only_violation(const SecuritySnapshot& snapshot,
                                                ProtectedRole role,
                                                std::string_view also_trusted = {});

// The paths whose descriptors decide whether an install is admin-only, in the order they are
// judged: the install directory, then each of `inside` (files and directories in it: the core,
// its configuration and log), then every directory above the install directory up to its root.
std::vector<std::pair<std::string, ProtectedRole>> protected_paths(
    const std::string& install_dir, const std::vector<std::string>& inside);

// The access list config.json is given when the service writes it for a caller who is not
// privileged: LocalSystem (the core reads it) and Administrators alone, protected, so that
// nothing is inherited. The configuration can hold proxy credentials, which no other user may read.
inline constexpr const char* kCoreConfigSddl = "D:P(A;;FA;;;SY)(A;;FA;;;BA)";

// Reads the owner and access list of a path (on Windows, read_path_security).
using SecurityReader = std::function<Result<SecuritySnapshot>(const std::string& path)>;

// The one judgement of an install, for whoever needs it (a standard user's start, `install`):
// every path of protected_paths(install_dir, inside) read through `read` and judged in order,
// trusting also `also_trusted` when not empty. The first failure is the error "install directory
// is writable by non-administrators: <install_dir>" with "<path>: <why>" as its cause; a
// descriptor that cannot be read fails too (what cannot be read cannot be shown to be
// admin-only). Nothing when every path passes.
Result<void> judge_install(const std::string& install_dir, const std::vector<std::string>& inside,
                           const SecurityReader& read, std::string_view also_trusted);

}  // namespace corvid
