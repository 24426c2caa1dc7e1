// The service's own files for a standard user's start, through the Windows backend on real files:
// handles, not names, so that nothing in the install directory can redirect a write. Hard links
// and the final path of a handle work under Wine 8; reparse points (symbolic links, junctions)
// cannot be made there, and file access lists are not stored, so those show only on Windows.
#include <gtest/gtest.h>
#include <windows.h>

#include <sddl.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/utf.h"
#include "common/handle_win.h"
#include "supervisor/backend_win.h"
#include "supervisor/core.h"
#include "supervisor/security_win.h"
#include "test_support_win.h"

namespace corvid {
namespace {

using test::TempDir;

class CoreFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root.path().empty());
    ASSERT_FALSE(elsewhere.path().empty());
    install = root / "inst dir \xC3\xA9";
    ASSERT_TRUE(test::make_directory(install));
    files = core_files(install);
  }

  TempDir root{"corvid files"};
  TempDir elsewhere{"corvid elsewhere"};
  std::string install;
  CoreFiles files;
  std::shared_ptr<CoreBackend> backend = make_windows_backend();
};

// Reparse points cannot be made under Wine 8; on Windows a symbolic link (an administrator, or
// developer mode) shows that what a name leads to is never followed.
TEST_F(CoreFilesTest, ReparsePointsAreRefused) {
  const std::string target = elsewhere / "target";
  ASSERT_TRUE(test::make_directory(target));
  ASSERT_TRUE(test::write_file(target + "\\file", "kept"));
  struct Case {
    std::string link;
    std::string to;
    DWORD flags;
    StartField field;
  };
  const Case cases[] = {
      {files.config_path, target + "\\file", 0, StartField::kConfigPath},
      {files.log_dir, target, SYMBOLIC_LINK_FLAG_DIRECTORY, StartField::kLogPath},
  };
  for (const Case& c : cases) {
    // Wine 8 answers success and makes nothing.
    const BOOL made = CreateSymbolicLinkW(to_wide(c.link).c_str(), to_wide(c.to).c_str(),
                                          c.flags | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    const DWORD attributes = GetFileAttributesW(to_wide(c.link).c_str());
    if (!made || attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
      std::printf("no symbolic link made here: only Windows shows the reparse point refusal\n");
      return;
    }
    const Result<void> prepared = backend->prepare_core_files(files, "evil");
    ASSERT_FALSE(prepared.has_value()) << c.link;
    EXPECT_EQ(prepared.error(),
              refusal(static_cast<int>(c.field), c.link + ": is a reparse point"));
    EXPECT_EQ(test::read_file(target + "\\file"), "kept");
    if (c.flags != 0)
      RemoveDirectoryW(to_wide(c.link).c_str());
    else
      DeleteFileW(to_wide(c.link).c_str());
  }
}

// Access is checked when a handle is opened: a reader that opened config.json while it was
// readable must not read the next configuration. The new one replaces the name, not the bytes.
TEST_F(CoreFilesTest, AReaderOfTheOldConfigurationReadsOnlyTheOldBytes) {
  ASSERT_TRUE(test::write_file(files.config_path, "old secret"));
  const WinHandle reader(CreateFileW(to_wide(files.config_path).c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(reader.valid());
  const Result<void> written = backend->prepare_core_files(files, "new secret");
  if (!written && test::running_under_wine()) {
    std::printf("Wine does not rename over an open file: only Windows shows the reader's view\n");
    return;
  }
  ASSERT_TRUE(written.has_value()) << detailed_text(written.error());
  EXPECT_EQ(test::read_file(files.config_path), "new secret");
  char bytes[64] = {};
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(reader.get(), bytes, sizeof bytes, &read, nullptr));
  EXPECT_EQ(std::string(bytes, read), "old secret");
}

// At the service's start an existing configuration is protected, unless it is a second name of
// another file, whose access list must not change.
TEST_F(CoreFilesTest, AnExistingConfigurationIsProtectedUnlessItIsASecondName) {
  EXPECT_TRUE(backend->protect_config(files.config_path).has_value()) << "missing: nothing to do";
  ASSERT_TRUE(test::write_file(files.config_path, "by an earlier build"));
  EXPECT_TRUE(backend->protect_config(files.config_path).has_value());
  ASSERT_TRUE(DeleteFileW(to_wide(files.config_path).c_str()));
  const std::string other = elsewhere / "user file";
  ASSERT_TRUE(test::write_file(other, "x"));
  ASSERT_TRUE(CreateHardLinkW(to_wide(files.config_path).c_str(), to_wide(other).c_str(), nullptr));
  EXPECT_FALSE(backend->protect_config(files.config_path).has_value());
}

// The access list the configuration gets, as a descriptor: Wine stores none on files, so it is
// shown on the text it is built from.
TEST(CoreConfigAccess, OnlyLocalSystemAndAdministratorsAndNothingInherited) {
  LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      to_wide(kCoreConfigSddl).c_str(), SDDL_REVISION_1, descriptor.put(), nullptr));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
  EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "inherited entries would let others in";
  const Result<SecuritySnapshot> snapshot = snapshot_of(descriptor.get());
  ASSERT_TRUE(snapshot.has_value());
  const std::vector<AccessEntry> expected = {
      {AccessEntry::Kind::kAllow, 0, 0x001f01ff, kLocalSystemSid},
      {AccessEntry::Kind::kAllow, 0, 0x001f01ff, kAdministratorsSid},
  };
  EXPECT_EQ(snapshot->dacl, std::optional(expected));
}

// The Windows backend with every descriptor read as admin-only, as on a Program Files install:
// a standard user's start on real files, end to end.
class AdminOnlyDescriptors final : public test::WindowsBackendWrapper {
 public:
  explicit AdminOnlyDescriptors(std::string dir) : dir_(std::move(dir)) {}
  Result<std::string> install_dir() override { return dir_; }
  Result<std::optional<InstallEntry>> read_entry(const std::string& path) override {
    Result<std::optional<InstallEntry>> entry = os_->read_entry(path);
    if (entry && *entry) {
      (*entry)->security = SecuritySnapshot{
          kAdministratorsSid, std::vector<AccessEntry>{
                                  {AccessEntry::Kind::kAllow, 0x03, 0x001f01ff, kLocalSystemSid},
                                  {AccessEntry::Kind::kAllow, 0x03, 0x001f01ff, kAdministratorsSid},
                              }};
    }
    return entry;
  }

 private:
  std::string dir_;
};

TEST_F(CoreFilesTest, AStandardUsersStartThroughAHardLinkIsRefusedWithNothingChanged) {
  ASSERT_FALSE(test::install_fake_core(install).empty());
  CoreState state{std::make_shared<AdminOnlyDescriptors>(install)};
  const Caller user{false};
  const std::string other = elsewhere / "icudtl.dat";
  ASSERT_TRUE(test::write_file(other, "data"));
  ASSERT_TRUE(CreateHardLinkW(to_wide(files.config_path).c_str(), to_wide(other).c_str(), nullptr));

  const Result<void> refused = start_core(state, {.config = "run\n"}, user);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(detailed_text(refused.error()), "config path not allowed: " + files.config_path +
                                                "\n\nCaused by:\n    " + files.config_path +
                                                ": has 2 links");
  EXPECT_EQ(test::read_file(other), "data");
  EXPECT_FALSE(state.keep_running);
  EXPECT_FALSE(state.launch.has_value());
  EXPECT_TRUE(test::read_core_runs(install).empty());

  // Without the link the same start writes the file and runs the core.
  ASSERT_TRUE(DeleteFileW(to_wide(files.config_path).c_str()));
  const Result<void> started = start_core(state, {.config = "run\n"}, user);
  ASSERT_TRUE(started.has_value()) << detailed_text(started.error());
  EXPECT_EQ(test::read_file(files.config_path), "run\n");
  EXPECT_EQ(test::wait_for_core_runs(install, 1).size(), 1u);
  EXPECT_EQ(test::read_file(other), "data");
  stop_core(state);
}

}  // namespace
}  // namespace corvid
