// The judgement of one security descriptor: may anyone but LocalSystem, Administrators and
// TrustedInstaller change the install directory, the core, or a directory above them?
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fake_backend.h"
#include "supervisor/install_security.h"

namespace corvid {
namespace {

using Kind = AccessEntry::Kind;
using testing::FakeBackend;

constexpr const char* kUsers = "S-1-5-32-545";
constexpr const char* kAuthenticatedUsers = "S-1-5-11";
constexpr const char* kSomeone = "S-1-5-21-1-2-3-1001";
constexpr const char* kTrustedInstaller =
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
constexpr std::uint8_t kContainerAndObjectInherit = 0x03;
constexpr std::uint8_t kInheritOnly = 0x08;

// Full control for LocalSystem and Administrators, and `extra` after them.
SecuritySnapshot admins_and(std::vector<AccessEntry> extra, std::string owner = "S-1-5-32-544") {
  std::vector<AccessEntry> dacl = {
      {Kind::kAllow, kContainerAndObjectInherit, 0x001f01ff, "S-1-5-18"},
      {Kind::kAllow, kContainerAndObjectInherit, 0x001f01ff, "S-1-5-32-544"},
  };
  dacl.insert(dacl.end(), extra.begin(), extra.end());
  return {std::move(owner), std::move(dacl)};
}

TEST(InstallSecurity, TheOwnerMustBeAnAdministrator) {
  struct Case {
    std::string owner;
    std::optional<std::string> violation;
  };
  const Case cases[] = {
      {"S-1-5-18", std::nullopt},
      {"S-1-5-32-544", std::nullopt},
      {kTrustedInstaller, std::nullopt},
      {kSomeone, "owned by S-1-5-21-1-2-3-1001"},
      {kUsers, "owned by S-1-5-32-545"},
      {"S-1-3-0", "owned by S-1-3-0"},
      // A look-alike of TrustedInstaller with one digit changed.
      {"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478465",
       "owned by S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478465"},
      {"", "owned by no one"},
  };
  for (const Case& c : cases) {
    for (ProtectedRole role : {ProtectedRole::kInstalled, ProtectedRole::kAncestor}) {
      EXPECT_EQ(admin_only_violation(admins_and({}, c.owner), role), c.violation) << c.owner;
    }
  }
}

TEST(InstallSecurity, ANullAccessListFailsAndAnEmptyOnePasses) {
  for (ProtectedRole role : {ProtectedRole::kInstalled, ProtectedRole::kAncestor}) {
    EXPECT_EQ(admin_only_violation({"S-1-5-18", std::nullopt}, role),
              "no access list: everyone has full access");
    EXPECT_EQ(admin_only_violation({"S-1-5-18", std::vector<AccessEntry>{}}, role), std::nullopt);
  }
}

// Each right on its own, granted to Users, on the install directory or the core and on a
// directory above it.
TEST(InstallSecurity, WhichRightsAreTooMuch) {
  struct Case {
    const char* right;
    std::uint32_t mask;
    bool installed_fails;
    bool ancestor_fails;
  };
  const Case cases[] = {
      {"read data / list", 0x00000001, false, false},
      {"write data / add file", 0x00000002, true, false},
      {"append data / add subdirectory", 0x00000004, true, false},
      {"read extended attributes", 0x00000008, false, false},
      {"write extended attributes", 0x00000010, true, false},
      {"execute / traverse", 0x00000020, false, false},
      {"delete child", 0x00000040, true, true},
      {"read attributes", 0x00000080, false, false},
      {"write attributes", 0x00000100, true, false},
      {"delete", 0x00010000, true, true},
      {"read control", 0x00020000, false, false},
      {"WRITE_DAC", 0x00040000, true, true},
      {"WRITE_OWNER", 0x00080000, true, true},
      {"synchronize", 0x00100000, false, false},
      {"GENERIC_ALL", 0x10000000, true, true},
      {"GENERIC_EXECUTE", 0x20000000, false, false},
      {"GENERIC_WRITE", 0x40000000, true, false},
      {"GENERIC_READ", 0x80000000, false, false},
      {"read and execute", 0x001200a9, false, false},
      {"modify", 0x001301bf, true, true},
      {"full control", 0x001f01ff, true, true},
  };
  for (const Case& c : cases) {
    const SecuritySnapshot snapshot =
        admins_and({{Kind::kAllow, kContainerAndObjectInherit, c.mask, kUsers}});
    EXPECT_EQ(admin_only_violation(snapshot, ProtectedRole::kInstalled).has_value(),
              c.installed_fails)
        << c.right;
    EXPECT_EQ(admin_only_violation(snapshot, ProtectedRole::kAncestor).has_value(),
              c.ancestor_fails)
        << c.right;
  }
}

TEST(InstallSecurity, TheReasonNamesWhoAndWhichRights) {
  EXPECT_EQ(admin_only_violation(admins_and({{Kind::kAllow, 0, 0x001301bf, kAuthenticatedUsers}}),
                                 ProtectedRole::kInstalled),
            "allows S-1-5-11 0x00010116");
  EXPECT_EQ(admin_only_violation(admins_and({{Kind::kAllow, 0, 0x001301bf, kAuthenticatedUsers}}),
                                 ProtectedRole::kAncestor),
            "allows S-1-5-11 0x00010000");
  // The first offending entry is named.
  EXPECT_EQ(admin_only_violation(admins_and({{Kind::kAllow, 0, 0x00000002, kUsers},
                                             {Kind::kAllow, 0, 0x001f01ff, kSomeone}}),
                                 ProtectedRole::kInstalled),
            "allows S-1-5-32-545 0x00000002");
  EXPECT_EQ(admin_only_violation(admins_and({{Kind::kAllow, 0, 0x00000002, ""}}),
                                 ProtectedRole::kInstalled),
            "allows an unreadable SID 0x00000002");
}

TEST(InstallSecurity, EntriesThatGrantNothingHere) {
  struct Case {
    const char* name;
    AccessEntry entry;
    bool fails;
  };
  const Case cases[] = {
      {"CREATOR OWNER full control", {Kind::kAllow, 0, 0x001f01ff, "S-1-3-0"}, false},
      {"a deny entry", {Kind::kDeny, 0, 0x001f01ff, kUsers}, false},
      {"an entry of another type", {Kind::kOther, 0, 0x001f01ff, kUsers}, false},
      {"TrustedInstaller full control", {Kind::kAllow, 0, 0x001f01ff, kTrustedInstaller}, false},
      // Inheritance flags other than inherit-only do not stop an entry from applying here.
      {"inherited full control for Users", {Kind::kAllow, 0x10, 0x001f01ff, kUsers}, true},
      {"no-propagate full control for Users", {Kind::kAllow, 0x04, 0x001f01ff, kUsers}, true},
      {"CREATOR GROUP full control", {Kind::kAllow, 0, 0x001f01ff, "S-1-3-1"}, true},
      {"OWNER RIGHTS full control", {Kind::kAllow, 0, 0x001f01ff, "S-1-3-4"}, true},
      {"Everyone full control", {Kind::kAllow, 0, 0x001f01ff, "S-1-1-0"}, true},
  };
  for (const Case& c : cases) {
    for (ProtectedRole role : {ProtectedRole::kInstalled, ProtectedRole::kAncestor}) {
      EXPECT_EQ(admin_only_violation(admins_and({c.entry}), role).has_value(), c.fails) << c.name;
    }
  }
  // A deny entry before an allow entry does not make up for it.
  EXPECT_TRUE(admin_only_violation(admins_and({{Kind::kDeny, 0, 0x001f01ff, kUsers},
                                               {Kind::kAllow, 0, 0x001f01ff, kUsers}}),
                                   ProtectedRole::kInstalled)
                  .has_value());
}

// What the install directory passes on to what is created in it (the log directory, the core's
// log) counts as if granted there: the service and the core create those as LocalSystem, and a
// user who may change them may redirect the core's writes. Above the install directory only the
// directory itself matters: its own entries were inherited when it was made.
TEST(InstallSecurity, InheritableEntriesCountForWhatIsCreatedInside) {
  constexpr std::uint8_t kObjectInherit = 0x01;
  constexpr std::uint8_t kContainerInherit = 0x02;
  constexpr std::uint8_t kOiCi = kObjectInherit | kContainerInherit;
  const AccessEntry users_may_add{Kind::kAllow, 0, 0x00000006, kUsers};
  struct Case {
    const char* name;
    std::vector<AccessEntry> entries;
    std::optional<std::string> installed;  // the violation on the install directory
  };
  const Case cases[] = {
      {"CIIO full control for Users",
       {{Kind::kAllow, kContainerInherit | kInheritOnly, 0x001f01ff, kUsers}},
       "allows S-1-5-32-545 0x000d0156 on what is created in it"},
      {"OICIIO write data for Users",
       {{Kind::kAllow, kOiCi | kInheritOnly, 0x00000002, kUsers}},
       "allows S-1-5-32-545 0x00000002 on what is created in it"},
      {"OIIO GENERIC_WRITE for Authenticated Users",
       {{Kind::kAllow, kObjectInherit | kInheritOnly, 0x40000000, kAuthenticatedUsers}},
       "allows S-1-5-11 0x40000000 on what is created in it"},
      {"CIIO GENERIC_ALL for someone",
       {{Kind::kAllow, kContainerInherit | kInheritOnly, 0x10000000, kSomeone}},
       "allows S-1-5-21-1-2-3-1001 0x10000000 on what is created in it"},
      {"OICIIO delete for Users",
       {{Kind::kAllow, kOiCi | kInheritOnly, 0x00010000, kUsers}},
       "allows S-1-5-32-545 0x00010000 on what is created in it"},
      {"OICI Users read and execute", {{Kind::kAllow, kOiCi, 0x001200a9, kUsers}}, std::nullopt},
      {"OICIIO Users GENERIC_READ and GENERIC_EXECUTE",
       {{Kind::kAllow, kOiCi | kInheritOnly, 0xa0000000, kUsers}},
       std::nullopt},
      {"inherit-only but inheriting nowhere",
       {{Kind::kAllow, kInheritOnly, 0x001f01ff, kUsers}},
       std::nullopt},
      {"a deny entry that would be inherited",
       {{Kind::kDeny, kOiCi, 0x001f01ff, kUsers}},
       std::nullopt},
      // CREATOR OWNER is whoever creates an entry: only administrators, as long as no one else
      // may create any.
      {"OICIIO GENERIC_ALL for CREATOR OWNER",
       {{Kind::kAllow, kOiCi | kInheritOnly, 0x10000000, "S-1-3-0"}},
       std::nullopt},
      {"CREATOR OWNER where Users may add files",
       {{Kind::kAllow, kOiCi | kInheritOnly, 0x10000000, "S-1-3-0"}, users_may_add},
       "allows S-1-3-0 0x10000000 on what is created in it"},
      {"CREATOR OWNER where Users may add files only below",
       {{Kind::kAllow, kOiCi | kInheritOnly, 0x10000000, "S-1-3-0"},
        {Kind::kAllow, kOiCi | kInheritOnly, 0x00000006, kUsers}},
       "allows S-1-5-32-545 0x00000006 on what is created in it"},
  };
  for (const Case& c : cases) {
    const SecuritySnapshot snapshot = admins_and(c.entries);
    EXPECT_EQ(admin_only_violation(snapshot, ProtectedRole::kInstalled), c.installed) << c.name;
    EXPECT_EQ(admin_only_violation(snapshot, ProtectedRole::kAncestor), std::nullopt) << c.name;
  }
}

// The trusted set is the administrative accounts'; a test adds the one account Wine makes the
// owner of everything.
TEST(InstallSecurity, OnlyTheTrustedSetCountsAsAdministrators) {
  const SecuritySnapshot own{kSomeone, std::vector<AccessEntry>{
                                           {Kind::kAllow, 0x03, 0x001f01ff, "S-1-5-18"},
                                           {Kind::kAllow, 0x03, 0x001f01ff, kSomeone},
                                           {Kind::kAllow, 0x03, 0x001200a9, "S-1-1-0"},
                                       }};
  TrustedSids with_someone = administrative_sids();
  with_someone.push_back(kSomeone);
  for (ProtectedRole role : {ProtectedRole::kInstalled, ProtectedRole::kAncestor}) {
    EXPECT_EQ(admin_only_violation(own, role, with_someone), std::nullopt);
    EXPECT_EQ(admin_only_violation(own, role), "owned by S-1-5-21-1-2-3-1001");
  }
  // Trusting one user trusts no group the user is in.
  EXPECT_EQ(
      admin_only_violation(admins_and({{Kind::kAllow, 0x03, 0x001301bf, kAuthenticatedUsers}}),
                           ProtectedRole::kInstalled, with_someone),
      "allows S-1-5-11 0x00010116");
}

// The one judgement a start, `install` and doctor share: the volume, the directory, every entry
// in it, the core's log, every directory above it, each read once and in that order, the first
// failure reported with its path, nothing read after it.
TEST(InstallSecurity, JudgingAnInstallReadsEveryPathAndReportsTheFirstFailure) {
  const std::string dir = FakeBackend::kInstallDir;
  const std::string core = dir + R"(\clash-rs.exe)";
  const std::string dll = dir + R"(\wintun.dll)";
  const std::string exe = dir + R"(\corvid_helper_service.exe)";
  const std::string log = dir + R"(\log\clash.log)";
  const std::string above = R"(C:\Program Files)";
  struct Case {
    const char* name;
    std::function<void(FakeBackend&)> setup;
    std::optional<std::string> cause;
    std::vector<std::string> reads;
  };
  const Result<SecuritySnapshot> users_write = admins_and({{Kind::kAllow, 0, 0x00000002, kUsers}});
  // An administrator's own profile folder, as `install` used to trust it.
  const Result<SecuritySnapshot> admins_own = admins_and({}, "S-1-5-21-1-2-3-500");
  const std::vector<std::string> all = {dir, core, exe, dir + R"(\log)", dll, log, above, R"(C:\)"};
  const Case cases[] = {
      {"admin-only", [](FakeBackend&) {}, std::nullopt, all},
      {"a DLL beside the core that users may write",
       [&](FakeBackend& os) { os.set_security(dll, users_write); },
       dll + ": allows S-1-5-32-545 0x00000002",
       {dir, core, exe, dir + R"(\log)", dll}},
      {"a compressed executable", [&](FakeBackend& os) { os.set_reparse_tag(exe, 0x80000017); },
       std::nullopt, all},
      {"a symbolic link beside the core",
       [&](FakeBackend& os) { os.set_reparse_tag(dll, 0xa000000c); },
       dll + ": is a reparse point (tag 0xa000000c)",
       {dir, core, exe, dir + R"(\log)", dll}},
      {"a folder that hands its users write access to what is created in it",
       [&](FakeBackend& os) {
         os.set_security(dir, admins_and({{Kind::kAllow, 0x0a, 0x001f01ff, kUsers}}));
       },
       dir + ": allows S-1-5-32-545 0x000d0156 on what is created in it",
       {dir}},
      {"the administrator's own folder",
       [&](FakeBackend& os) { os.set_security(dir, admins_own); },
       dir + ": owned by S-1-5-21-1-2-3-500",
       {dir}},
      {"an install directory that is a junction",
       [&](FakeBackend& os) { os.set_reparse_tag(dir, 0xa0000003); },
       dir + ": is a reparse point (tag 0xa0000003)",
       {dir}},
      // Vendor -> D:\apps\vendor: D:\apps and D:\ would never be judged.
      {"a junctioned directory above",
       [&](FakeBackend& os) { os.set_reparse_tag(above, 0xa0000003); },
       above + ": is a reparse point (tag 0xa0000003)",
       {dir, core, exe, dir + R"(\log)", dll, log, above}},
      {"a core log users may change",
       [&](FakeBackend& os) { os.set_security(log, users_write); },
       log + ": allows S-1-5-32-545 0x00000002",
       {dir, core, exe, dir + R"(\log)", dll, log}},
      {"a root where any user may add files",
       [&](FakeBackend& os) { os.set_security(R"(C:\)", users_write); }, std::nullopt, all},
      {"a root any user may delete in",
       [&](FakeBackend& os) {
         os.set_security(R"(C:\)", admins_and({{Kind::kAllow, 0, 0x00010000, kUsers}}));
       },
       R"(C:\: allows S-1-5-32-545 0x00010000)", all},
      {"a removable volume",
       [](FakeBackend& os) { os.set_volume_kind(VolumeKind::kRemovable); },
       dir + ": is on a removable volume",
       {}},
      {"a mapped network drive",
       [](FakeBackend& os) { os.set_volume_kind(VolumeKind::kRemote); },
       dir + ": is on a network share",
       {}},
      {"an unreadable entry",
       [&](FakeBackend& os) {
         os.set_security(exe,
                         std::unexpected(Error("GetSecurityInfo failed", "Access is denied.")));
       },
       exe + ": GetSecurityInfo failed",
       {dir, core, exe}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeBackend os;
    for (const std::string& path : {exe, dll, log})
      os.add_existing(path);
    c.setup(os);
    const Result<void> judged = judge_install(dir, os);
    EXPECT_EQ(os.security_reads(), c.reads);
    if (!c.cause) {
      EXPECT_TRUE(judged.has_value()) << detailed_text(judged.error());
      continue;
    }
    ASSERT_FALSE(judged.has_value());
    EXPECT_EQ(judged.error().message,
              R"(install directory is writable by non-administrators: C:\Program Files\Corvid)");
    ASSERT_FALSE(judged.error().causes.empty());
    EXPECT_EQ(judged.error().causes[0], *c.cause);
  }
}

// A share's "Administrators" are the server's: refused by its form, before anything is read.
TEST(InstallSecurity, AnInstallOffThisMachinesDrivesIsRefusedByItsForm) {
  const std::pair<std::string, std::string> cases[] = {
      {R"(\\srv\share\Corvid)", "is on a network share"},
      {R"(\\?\UNC\srv\share\Corvid)", "is on a network share"},
      {R"(\\.\C:\Corvid)", "is not on a drive of this machine"},
      {R"(\\?\Volume{0b1c2d3e-0000-0000-0000-100000000000}\Corvid)",
       "is not on a drive of this machine"},
      {R"(Corvid)", "is not a full path"},
  };
  for (const auto& [dir, why] : cases) {
    FakeBackend os;
    os.set_install_dir(dir);
    const Result<void> judged = judge_install(dir, os);
    ASSERT_FALSE(judged.has_value()) << dir;
    EXPECT_EQ(judged.error().causes, std::vector<std::string>{dir + ": " + why});
    EXPECT_TRUE(os.security_reads().empty()) << dir;
  }
  // The verbatim form of a drive path is a drive path.
  FakeBackend os;
  os.set_install_dir(R"(\\?\C:\Corvid)");
  EXPECT_TRUE(judge_install(R"(\\?\C:\Corvid)", os).has_value());
  EXPECT_EQ(os.security_reads(), (std::vector<std::string>{R"(\\?\C:\Corvid)", R"(\\?\C:\)"}));
}

}  // namespace
}  // namespace corvid
