// The judgement of one security descriptor: may anyone but LocalSystem, Administrators and
// TrustedInstaller change the install directory, the core, or a directory above them?
#include <gtest/gtest.h>

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
      {"inherit-only full control for Users",
       {Kind::kAllow, kContainerAndObjectInherit | kInheritOnly, 0x001f01ff, kUsers},
       false},
      {"inherit-only GENERIC_ALL for CREATOR OWNER",
       {Kind::kAllow, kContainerAndObjectInherit | kInheritOnly, 0x10000000, "S-1-3-0"},
       false},
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

TEST(InstallSecurity, TheDirectoryTheCoreAndEveryParentAreProtected) {
  using Paths = std::vector<std::pair<std::string, ProtectedRole>>;
  const auto installed = ProtectedRole::kInstalled;
  const auto ancestor = ProtectedRole::kAncestor;
  EXPECT_EQ(
      protected_paths(R"(C:\Program Files\Corvid)", R"(C:\Program Files\Corvid\clash-rs.exe)"),
      (Paths{{R"(C:\Program Files\Corvid)", installed},
             {R"(C:\Program Files\Corvid\clash-rs.exe)", installed},
             {R"(C:\Program Files)", ancestor},
             {R"(C:\)", ancestor}}));
  EXPECT_EQ(protected_paths(R"(C:\App)", ""),
            (Paths{{R"(C:\App)", installed}, {R"(C:\)", ancestor}}));
  EXPECT_EQ(
      protected_paths(R"(\\?\C:\A\B)", ""),
      (Paths{{R"(\\?\C:\A\B)", installed}, {R"(\\?\C:\A)", ancestor}, {R"(\\?\C:\)", ancestor}}));
  EXPECT_EQ(protected_paths(R"(\\srv\share\App)", ""),
            (Paths{{R"(\\srv\share\App)", installed}, {R"(\\srv\share\)", ancestor}}));
  EXPECT_EQ(protected_paths(R"(C:\)", ""), (Paths{{R"(C:\)", installed}}));
}

}  // namespace
}  // namespace corvid
