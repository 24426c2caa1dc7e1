#pragma once
// Whether an install is out of non-administrators' hands. The core runs as LocalSystem, so whoever
// can change the install directory or anything in it, or rename a directory above it, can run
// code as LocalSystem. Portable: the Windows reader (security_win.h) reads entries into this form,
// and the judgement is a pure function of what it reads.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

// Who may own and change an install: LocalSystem, Administrators and TrustedInstaller. A set
// rather than a rule, so that a test can add the one account Wine makes the owner of everything.
using TrustedSids = std::vector<std::string>;
const TrustedSids& administrative_sids();

// Why the snapshot lets someone other than `trusted` change the object, or what is created in it;
// nothing when it does not.
std::optional<std::string> admin_only_violation(const SecuritySnapshot& snapshot,
                                                ProtectedRole role,
                                                const TrustedSids& trusted = administrative_sids());

// The access list config.json is given when the service writes it for a caller who is not
// privileged: LocalSystem (the core reads it) and Administrators alone, protected, so that
// nothing is inherited. The configuration can hold proxy credentials, which no other user may read.
inline constexpr const char* kCoreConfigSddl = "D:P(A;;FA;;;SY)(A;;FA;;;BA)";

// One file-system entry as the judgement of an install reads it: the entry itself, never what a
// link at its name leads to.
struct InstallEntry {
  // The reparse tag when the entry is a reparse point (a junction, a mount point, a symbolic
  // link, a compressed or deduplicated file, ...).
  std::optional<std::uint32_t> reparse_tag = std::nullopt;
  SecuritySnapshot security;

  bool operator==(const InstallEntry&) const = default;
};

// The kind of volume a path lies on (GetDriveTypeW).
enum class VolumeKind { kFixed, kRemovable, kRemote, kOther };

// What the judgement of an install reads from the system: on Windows security_win.h's reader,
// in the supervisor a CoreBackend, in tests a double.
class InstallReader {
 public:
  virtual ~InstallReader() = default;
  // The entry at `path` itself (a reparse point there is not followed); nothing when there is no
  // such entry.
  virtual Result<std::optional<InstallEntry>> read_entry(const std::string& path) = 0;
  // The names of the entries directly in the directory, "." and ".." left out.
  virtual Result<std::vector<std::string>> list_entries(const std::string& dir) = 0;
  virtual Result<VolumeKind> volume_kind(const std::string& path) = 0;
};

// The one judgement of an install, for a standard user's start, `install` and `corvidctl doctor`
// alike. The install directory must lie on a fixed volume of this machine (a drive letter's, not
// a share's); then it, every entry directly in it (the core loads DLLs from there, and the app
// keeps its own files), `log\clash.log` when there is one, and every directory above it up to
// the root are read, in that order, each once. Each must be a plain entry (no reparse point but a
// compressed or deduplicated file, so that the path judged is where the entry really is) that
// only `trusted` can change (admin_only_violation). The first failure is the error "install
// directory is writable by non-administrators: <install_dir>" with "<path>: <why>" as its cause; a
// path that cannot be read fails too (what cannot be read cannot be shown to be admin-only).
Result<void> judge_install(const std::string& install_dir, InstallReader& reader,
                           const TrustedSids& trusted = administrative_sids());

}  // namespace corvid
