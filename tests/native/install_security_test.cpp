// The judgement of one security descriptor: may anyone but LocalSystem, Administrators and
// TrustedInstaller change the install directory, the core, or a directory above them?
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "supervisor/install_security.h"

namespace corvid {
namespace {

using Kind = AccessEntry::Kind;

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

// `install` trusts the account that runs it: its own folders pass for it, nobody else's.
TEST(InstallSecurity, AnAlsoTrustedSidCountsAsAnAdministrator) {
  const SecuritySnapshot own{kSomeone, std::vector<AccessEntry>{
                                           {Kind::kAllow, 0x03, 0x001f01ff, "S-1-5-18"},
                                           {Kind::kAllow, 0x03, 0x001f01ff, kSomeone},
                                           {Kind::kAllow, 0x03, 0x001200a9, "S-1-1-0"},
                                       }};
  for (ProtectedRole role : {ProtectedRole::kInstalled, ProtectedRole::kAncestor}) {
    EXPECT_EQ(admin_only_violation(own, role, kSomeone), std::nullopt);
    EXPECT_EQ(admin_only_violation(own, role), "owned by S-1-5-21-1-2-3-1001");
    EXPECT_EQ(admin_only_violation(own, role, "S-1-5-21-1-2-3-1002"),
              "owned by S-1-5-21-1-2-3-1001");
  }
  // Trusting one user trusts no group the user is in.
  EXPECT_EQ(
      admin_only_violation(admins_and({{Kind::kAllow, 0x03, 0x001301bf, kAuthenticatedUsers}}),
                           ProtectedRole::kInstalled, kSomeone),
      "allows S-1-5-11 0x00010116");
}

TEST(InstallSecurity, TheDirectoryWhatIsInsideAndEveryParentAreProtected) {
  using Paths = std::vector<std::pair<std::string, ProtectedRole>>;
  const auto installed = ProtectedRole::kInstalled;
  const auto ancestor = ProtectedRole::kAncestor;
  EXPECT_EQ(
      protected_paths(R"(C:\Program Files\Corvid)", {R"(C:\Program Files\Corvid\clash-rs.exe)",
                                                     R"(C:\Program Files\Corvid\log)"}),
      (Paths{{R"(C:\Program Files\Corvid)", installed},
             {R"(C:\Program Files\Corvid\clash-rs.exe)", installed},
             {R"(C:\Program Files\Corvid\log)", installed},
             {R"(C:\Program Files)", ancestor},
             {R"(C:\)", ancestor}}));
  EXPECT_EQ(protected_paths(R"(C:\App)", {}),
            (Paths{{R"(C:\App)", installed}, {R"(C:\)", ancestor}}));
  EXPECT_EQ(
      protected_paths(R"(\\?\C:\A\B)", {}),
      (Paths{{R"(\\?\C:\A\B)", installed}, {R"(\\?\C:\A)", ancestor}, {R"(\\?\C:\)", ancestor}}));
  EXPECT_EQ(protected_paths(R"(\\srv\share\App)", {}),
            (Paths{{R"(\\srv\share\App)", installed}, {R"(\\srv\share\)", ancestor}}));
  EXPECT_EQ(protected_paths(R"(C:\)", {}), (Paths{{R"(C:\)", installed}}));
}

// The one judgement a start and `install` share: every path read in order, the first failure
// reported with the path, nothing read after it.
TEST(InstallSecurity, JudgingAnInstallReadsEveryPathAndReportsTheFirstFailure) {
  const std::string dir = R"(C:\Program Files\Corvid)";
  const std::string exe = dir + R"(\corvid_helper_service.exe)";
  struct Case {
    const char* name;
    std::map<std::string, Result<SecuritySnapshot>> descriptors;  // others: admins_and({})
    std::string also_trusted;
    std::optional<std::string> cause;
    std::size_t reads;
  };
  const Result<SecuritySnapshot> users_write = admins_and({{Kind::kAllow, 0, 0x00000002, kUsers}});
  const Result<SecuritySnapshot> owned = admins_and({}, kSomeone);
  const Case cases[] = {
      {"admin-only", {}, "", std::nullopt, 4},
      {"a writable executable",
       {{exe, users_write}},
       "",
       exe + ": allows S-1-5-32-545 0x00000002",
       2},
      {"a folder that hands its users write access to what is created in it",
       {{dir, admins_and({{Kind::kAllow, 0x0a, 0x001f01ff, kUsers}})}},
       "",
       dir + ": allows S-1-5-32-545 0x000d0156 on what is created in it",
       1},
      {"a root where any user may add files", {{R"(C:\)", users_write}}, "", std::nullopt, 4},
      {"a root any user may delete in",
       {{R"(C:\)", admins_and({{Kind::kAllow, 0, 0x00010000, kUsers}})}},
       "",
       R"(C:\: allows S-1-5-32-545 0x00010000)",
       4},
      {"owned by the installing user",
       {{dir, owned}, {R"(C:\Program Files)", owned}},
       kSomeone,
       std::nullopt,
       4},
      {"owned by another user",
       {{R"(C:\Program Files)", owned}},
       "S-1-5-21-1-2-3-1002",
       R"(C:\Program Files: owned by S-1-5-21-1-2-3-1001)",
       3},
      {"unreadable",
       {{exe,
         std::unexpected(Error("GetNamedSecurityInfoW failed", "Access is denied. (os error 5)"))}},
       "",
       exe + ": GetNamedSecurityInfoW failed",
       2},
  };
  for (const Case& c : cases) {
    std::vector<std::string> reads;
    const SecurityReader read = [&](const std::string& path) -> Result<SecuritySnapshot> {
      reads.push_back(path);
      const auto it = c.descriptors.find(path);
      return it == c.descriptors.end() ? Result<SecuritySnapshot>(admins_and({})) : it->second;
    };
    const Result<void> judged = judge_install(dir, {exe}, read, c.also_trusted);
    EXPECT_EQ(reads.size(), c.reads) << c.name;
    if (!c.cause) {
      EXPECT_TRUE(judged.has_value()) << detailed_text(judged.error());
      continue;
    }
    ASSERT_FALSE(judged.has_value()) << c.name;
    const Error* refusal = &judged.error();
    EXPECT_EQ(refusal->message,
              R"(install directory is writable by non-administrators: C:\Program Files\Corvid)")
        << c.name;
    ASSERT_FALSE(refusal->causes.empty()) << c.name;
    EXPECT_EQ(refusal->causes[0], *c.cause) << c.name;
  }
}

}  // namespace
}  // namespace corvid
