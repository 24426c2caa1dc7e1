// Reading security descriptors into the form the install check judges, on descriptors built from
// SDDL text. Wine 8 stores no descriptor on files or directories (SetNamedSecurityInfoW succeeds
// and nothing changes; every directory reads back as owned by the user with full access), so the
// verdicts on real admin-only folders show only on Windows: here they are shown on built
// descriptors, through the same conversion the service applies to what it reads from disk.
#include <gtest/gtest.h>
#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/utf.h"
#include "common/handle_win.h"
#include "supervisor/security_win.h"
#include "test_support_win.h"

namespace corvid {
namespace {

using Kind = AccessEntry::Kind;

// The SDDL text as a descriptor, read back in portable form.
SecuritySnapshot snapshot_from_sddl(const std::string& sddl) {
  LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  const bool built = ConvertStringSecurityDescriptorToSecurityDescriptorW(
                         to_wide(sddl).c_str(), SDDL_REVISION_1, descriptor.put(), nullptr) != 0;
  EXPECT_TRUE(built) << sddl << ": error " << GetLastError();
  if (!built)
    return {};
  const Result<SecuritySnapshot> snapshot = snapshot_of(descriptor.get());
  EXPECT_TRUE(snapshot.has_value()) << sddl;
  return snapshot.value_or(SecuritySnapshot{});
}

TEST(DescriptorSnapshot, OwnerAndEveryEntryAreRead) {
  const SecuritySnapshot snapshot = snapshot_from_sddl(
      "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
      "(D;;0x40;;;WD)(A;OICIIO;GA;;;CO)");
  const SecuritySnapshot expected{"S-1-5-32-544",
                                  std::vector<AccessEntry>{
                                      {Kind::kAllow, 0x03, 0x001f01ff, "S-1-5-18"},
                                      {Kind::kAllow, 0x03, 0x001f01ff, "S-1-5-32-544"},
                                      {Kind::kAllow, 0x03, 0x001200a9, "S-1-5-32-545"},
                                      {Kind::kDeny, 0x00, 0x00000040, "S-1-1-0"},
                                      {Kind::kAllow, 0x0b, 0x10000000, "S-1-3-0"},
                                  }};
  EXPECT_EQ(snapshot, expected);
}

// A well-known SID in a buffer of its own.
struct WellKnownSid {
  explicit WellKnownSid(WELL_KNOWN_SID_TYPE type) {
    DWORD size = sizeof bytes;
    EXPECT_TRUE(CreateWellKnownSid(type, nullptr, bytes, &size));
  }
  PSID get() { return bytes; }
  BYTE bytes[SECURITY_MAX_SID_SIZE];
};

// Wine's SDDL parser turns "D:NO_ACCESS_CONTROL" into an empty list, so the descriptors without
// one are built by hand: a NULL DACL, and none at all.
TEST(DescriptorSnapshot, AMissingOrNullAccessListIsReadAsNone) {
  WellKnownSid system(WinLocalSystemSid);
  for (const BOOL present : {TRUE, FALSE}) {
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorOwner(&descriptor, system.get(), FALSE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, present, nullptr, FALSE));
    const Result<SecuritySnapshot> snapshot = snapshot_of(&descriptor);
    ASSERT_TRUE(snapshot.has_value());
    EXPECT_EQ(snapshot->owner, "S-1-5-18");
    EXPECT_FALSE(snapshot->dacl.has_value()) << "present: " << present;
    EXPECT_EQ(admin_only_violation(*snapshot, ProtectedRole::kInstalled),
              "no access list: everyone has full access");
  }
}

// An object entry laid out as Windows documents it: header, mask, flags, the GUIDs the flags
// announce, then the SID.
std::vector<BYTE> object_entry(BYTE type, DWORD mask, const GUID* object, const GUID* inherited,
                               PSID sid) {
  std::vector<BYTE> entry(sizeof(ACE_HEADER));
  const auto append = [&](const void* data, std::size_t size) {
    const BYTE* bytes = static_cast<const BYTE*>(data);
    entry.insert(entry.end(), bytes, bytes + size);
  };
  const DWORD flags = (object != nullptr ? ACE_OBJECT_TYPE_PRESENT : 0) |
                      (inherited != nullptr ? ACE_INHERITED_OBJECT_TYPE_PRESENT : 0);
  append(&mask, sizeof mask);
  append(&flags, sizeof flags);
  if (object != nullptr)
    append(object, sizeof(GUID));
  if (inherited != nullptr)
    append(inherited, sizeof(GUID));
  append(sid, GetLengthSid(sid));
  ACE_HEADER header{type, 0, static_cast<WORD>(entry.size())};
  std::memcpy(entry.data(), &header, sizeof header);
  return entry;
}

// An object entry keeps its SID behind the GUIDs it carries. Wine knows object entries neither in
// SDDL nor in AddAccessAllowedObjectAce, so they are laid out by hand and added with AddAce.
TEST(DescriptorSnapshot, ObjectEntriesAreReadPastTheirGuids) {
  WellKnownSid administrators(WinBuiltinAdministratorsSid);
  WellKnownSid authenticated(WinAuthenticatedUserSid);
  WellKnownSid users(WinBuiltinUsersSid);
  WellKnownSid everyone(WinWorldSid);
  const GUID object{0xbf967aba, 0x0de6, 0x11d0, {0xa2, 0x85, 0x00, 0xaa, 0x00, 0x30, 0x49, 0xe2}};
  const GUID inherited{
      0xbf967a86, 0x0de6, 0x11d0, {0xa2, 0x85, 0x00, 0xaa, 0x00, 0x30, 0x49, 0xe2}};
  alignas(DWORD) BYTE acl_bytes[1024];
  PACL acl = reinterpret_cast<PACL>(acl_bytes);
  ASSERT_TRUE(InitializeAcl(acl, sizeof acl_bytes, ACL_REVISION_DS));
  const std::vector<BYTE> entries[] = {
      object_entry(ACCESS_ALLOWED_OBJECT_ACE_TYPE, 0x2, &object, nullptr, authenticated.get()),
      object_entry(ACCESS_ALLOWED_OBJECT_ACE_TYPE, 0x4, &object, &inherited, users.get()),
      object_entry(ACCESS_DENIED_OBJECT_ACE_TYPE, 0x10, nullptr, &inherited, everyone.get()),
      object_entry(ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE, 0x20, nullptr, nullptr, users.get()),
  };
  for (const std::vector<BYTE>& entry : entries) {
    ASSERT_TRUE(AddAce(acl, ACL_REVISION_DS, MAXDWORD, const_cast<BYTE*>(entry.data()),
                       static_cast<DWORD>(entry.size())))
        << GetLastError();
  }
  SECURITY_DESCRIPTOR descriptor;
  ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorOwner(&descriptor, administrators.get(), FALSE));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE));

  const Result<SecuritySnapshot> snapshot = snapshot_of(&descriptor);
  ASSERT_TRUE(snapshot.has_value());
  const SecuritySnapshot expected{"S-1-5-32-544", std::vector<AccessEntry>{
                                                      {Kind::kAllow, 0, 0x2, "S-1-5-11"},
                                                      {Kind::kAllow, 0, 0x4, "S-1-5-32-545"},
                                                      {Kind::kDeny, 0, 0x10, "S-1-1-0"},
                                                      {Kind::kAllow, 0, 0x20, "S-1-5-32-545"},
                                                  }};
  EXPECT_EQ(*snapshot, expected);
  EXPECT_EQ(admin_only_violation(*snapshot, ProtectedRole::kInstalled),
            "allows S-1-5-11 0x00000002");
}

TEST(DescriptorSnapshot, VerdictsOnBuiltDescriptors) {
  struct Case {
    const char* name;
    const char* sddl;
    ProtectedRole role;
    std::optional<std::string> violation;
  };
  const auto installed = ProtectedRole::kInstalled;
  const auto ancestor = ProtectedRole::kAncestor;
  const Case cases[] = {
      {"a Program Files folder", "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)",
       installed, std::nullopt},
      {"a per-user install",
       "O:S-1-5-21-1-2-3-1001D:(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-1-2-3-1001)", installed,
       "owned by S-1-5-21-1-2-3-1001"},
      {"Modify for Authenticated Users",
       "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;AU)", installed,
       "allows S-1-5-11 0x00010116"},
      {"a parent granting delete child to Users",
       "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x40;;;BU)", ancestor,
       "allows S-1-5-32-545 0x00000040"},
      {"an inherit-only CREATOR OWNER full control",
       "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;FA;;;CO)(A;OICIIO;GA;;;CO)", installed,
       std::nullopt},
      {"a TrustedInstaller-owned folder",
       "O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
       "D:PAI(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)"
       "(A;;0x1301bf;;;SY)(A;;0x1301bf;;;BA)(A;;0x1200a9;;;BU)",
       installed, std::nullopt},
      // A system drive's root: users may make folders there, nothing more.
      {"a drive root above the install",
       "O:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;OICIIO;SDGXGWGR;;;AU)"
       "(A;;0x4;;;AU)",
       ancestor, std::nullopt},
      {"the same root as the install directory itself",
       "O:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;OICIIO;SDGXGWGR;;;AU)"
       "(A;;0x4;;;AU)",
       installed, "allows S-1-5-11 0x40010000 on what is created in it"},
      // An installer's leftover: nothing on the folder itself, full control on what it will hold.
      {"an inherit-only Users full control",
       "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;CIIO;FA;;;BU)", installed,
       "allows S-1-5-32-545 0x000d0156 on what is created in it"},
      {"the same above the install directory",
       "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;CIIO;FA;;;BU)", ancestor, std::nullopt},
      {"a deny entry", "O:BAD:(D;;FA;;;WD)", installed, std::nullopt},
      {"an empty access list", "O:BAD:", installed, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(admin_only_violation(snapshot_from_sddl(c.sddl), c.role), c.violation) << c.name;
  }
}

// What this user created is this user's, on Wine (the process's primary group owns it) and on
// Windows alike, so it is never admin-only. The entry is read through a handle of its own: the
// descriptor, no reparse point, and the names in a directory, "." and ".." left out.
TEST(PathSecurity, EntriesAreReadThroughTheirOwnHandles) {
  const test::TempDir dir("corvid security");
  ASSERT_FALSE(dir.path().empty());
  ASSERT_TRUE(test::write_file(dir / "wintun.dll", "MZ"));
  ASSERT_TRUE(CreateDirectoryW(to_wide(dir / "log").c_str(), nullptr));
  const Result<std::optional<InstallEntry>> entry = read_install_entry(dir.path());
  ASSERT_TRUE(entry.has_value()) << detailed_text(entry.error());
  ASSERT_TRUE(entry->has_value());
  EXPECT_EQ((*entry)->reparse_tag, std::nullopt);
  const SecuritySnapshot& snapshot = (*entry)->security;
  EXPECT_TRUE(snapshot.owner.starts_with("S-1-5-21-")) << snapshot.owner;
  EXPECT_EQ(admin_only_violation(snapshot, ProtectedRole::kInstalled),
            "owned by " + snapshot.owner);

  Result<std::vector<std::string>> names = list_directory_entries(dir.path());
  ASSERT_TRUE(names.has_value()) << detailed_text(names.error());
  std::sort(names->begin(), names->end());
  EXPECT_EQ(*names, (std::vector<std::string>{"log", "wintun.dll"}));
  EXPECT_EQ(volume_kind_of(dir.path()), Result<VolumeKind>(VolumeKind::kFixed));
  // Missing is nothing, not a failure; a missing directory cannot be listed.
  EXPECT_EQ(read_install_entry(dir / "missing"), Result<std::optional<InstallEntry>>());
  EXPECT_EQ(read_install_entry(dir / "missing\\x"), Result<std::optional<InstallEntry>>());
  const Result<std::vector<std::string>> missing = list_directory_entries(dir / "missing");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().os_code, std::optional<std::uint32_t>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
}  // namespace corvid
