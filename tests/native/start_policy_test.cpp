// Which starts a caller may ask for. Anyone in Users may connect to the pipe and the core runs as
// LocalSystem, so an unprivileged caller gets the installed core only, with its files inside an
// install directory only administrators can change.
#include <gtest/gtest.h>

#include "common/winpath.h"
#include "fake_backend.h"
#include "log_capture.h"
#include "supervisor/core.h"

namespace corvid {
namespace {

using testing::FakeBackend;
using testing::LogCapture;

const std::string kDir = FakeBackend::kInstallDir;
const std::string kCore = kDir + R"(\clash-rs.exe)";

TEST(PathPolicy, InsideTheInstallDirectory) {
  struct Case {
    const char* dir;
    const char* path;
    bool inside;
  };
  const Case cases[] = {
      {R"(C:\App)", R"(C:\App\clash-rs.exe)", true},
      {R"(C:\App)", R"(C:\App\bin\core.exe)", true},
      {R"(C:\App)", R"(c:\app\CLASH-RS.EXE)", true},
      {R"(C:\App)", R"(C:/App/clash-rs.exe)", true},
      {R"(C:\App\)", R"(C:\App\clash-rs.exe)", true},
      {R"(C:\App)", R"(C:\App)", false},
      {R"(C:\App)", R"(C:\App\)", false},
      {R"(C:\App)", R"(C:\App\.)", false},
      {R"(C:\App)", R"(C:\App2\clash-rs.exe)", false},
      {R"(C:\App)", R"(C:\Ap\clash-rs.exe)", false},
      {R"(C:\App)", R"(C:\App\..\Users\me\evil.exe)", false},
      {R"(C:\App)", R"(C:\Users\..\App\clash-rs.exe)", true},
      {R"(C:\App)", R"(C:\App\sub\..\..\evil.exe)", false},
      {R"(C:\App)", R"(D:\App\clash-rs.exe)", false},
      {R"(C:\App)", R"(\\srv\share\App\clash-rs.exe)", false},
      {R"(C:\App)", R"(\\?\C:\App\clash-rs.exe)", true},
      {R"(C:\App)", R"(\\?\C:\App\..\evil.exe)", false},
      {R"(C:\App)", R"(\\.\C:\App\clash-rs.exe)", false},
      {R"(C:\App)", R"(App\clash-rs.exe)", false},
      {R"(C:\App)", R"(\App\clash-rs.exe)", false},
      {R"(C:\App)", R"(C:App\clash-rs.exe)", false},
      {R"(C:\App)", R"(C:\App.\clash-rs.exe)", false},
      {R"(C:\App)", R"(C:\App\clash-rs.exe.)", false},
      {R"(C:\App)", R"(C:\App\...\..\..\evil.exe)", false},
      {R"(\\srv\share\App)", R"(\\?\UNC\srv\share\App\core.exe)", true},
      {R"(\\srv\share\App)", R"(\\SRV\Share\app\core.exe)", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(is_inside(c.dir, c.path), c.inside) << c.dir << " / " << c.path;
}

// One start on a fresh backend; a refusal must leave no trace at all.
struct Outcome {
  std::optional<std::string> error;  // detailed text; empty: started
  std::shared_ptr<FakeBackend> os;
};

Outcome start_fresh(const StartOptions& options, const Caller& caller,
                    const std::function<void(FakeBackend&)>& setup = {}) {
  auto os = std::make_shared<FakeBackend>();
  if (setup)
    setup(*os);
  CoreState state{os};
  const LogCapture log;
  const Result<void> result = start_core(state, options, caller);
  if (result)
    return {std::nullopt, os};
  // Nothing changed: no state, no process, no directory, no file; one log entry says why.
  EXPECT_FALSE(state.keep_running);
  EXPECT_FALSE(state.launch.has_value());
  EXPECT_FALSE(state.child.has_value());
  EXPECT_TRUE(os->processes().empty());
  EXPECT_TRUE(os->directories().empty());
  EXPECT_TRUE(os->written_by().empty());
  const std::string detailed = detailed_text(result.error());
  EXPECT_EQ(log.entries(), std::vector<std::string>{"start failed: " + detailed});
  return {detailed, os};
}

const Caller kUser{false};

TEST(StartPolicy, AnUnprivilegedCallerRunsOnlyTheInstalledCore) {
  struct Case {
    std::optional<std::string> core_path;
    std::optional<std::string> error;  // empty: started
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt},
      {kCore, std::nullopt},
      {R"(c:\PROGRAM FILES\corvid\CLASH-RS.exe)", std::nullopt},
      {R"(C:/Program Files/Corvid/clash-rs.exe)", std::nullopt},
      {R"(\\?\C:\Program Files\Corvid\clash-rs.exe)", std::nullopt},
      {kDir + R"(\log\..\clash-rs.exe)", std::nullopt},
      {kDir + R"(\.\clash-rs.exe)", std::nullopt},
      // Other files inside the install directory are not the core.
      {kDir + R"(\x.bat)", R"(core path not allowed: C:\Program Files\Corvid\x.bat)"},
      {kDir + R"(\bin\clash-rs.exe)",
       R"(core path not allowed: C:\Program Files\Corvid\bin\clash-rs.exe)"},
      {kDir + R"(\corvid_helper_service.exe)",
       R"(core path not allowed: C:\Program Files\Corvid\corvid_helper_service.exe)"},
      {kDir, R"(core path not allowed: C:\Program Files\Corvid)"},
      {kDir + R"(\CLASH-~1.EXE)", R"(core path not allowed: C:\Program Files\Corvid\CLASH-~1.EXE)"},
      {kCore + "::$DATA", R"(core path not allowed: C:\Program Files\Corvid\clash-rs.exe::$DATA)"},
      {kCore + ".", R"(core path not allowed: C:\Program Files\Corvid\clash-rs.exe.)"},
      {kCore + " ", R"(core path not allowed: C:\Program Files\Corvid\clash-rs.exe )"},
      {R"(C:\Program Files\Corvid\..\clash-rs.exe)",
       R"(core path not allowed: C:\Program Files\Corvid\..\clash-rs.exe)"},
      {R"(C:\Program Files\Corvid2\clash-rs.exe)",
       R"(core path not allowed: C:\Program Files\Corvid2\clash-rs.exe)"},
      {R"(C:\Users\me\evil.exe)", R"(core path not allowed: C:\Users\me\evil.exe)"},
      {R"(\\srv\share\clash-rs.exe)", R"(core path not allowed: \\srv\share\clash-rs.exe)"},
      {R"(\\.\C:\Program Files\Corvid\clash-rs.exe)",
       R"(core path not allowed: \\.\C:\Program Files\Corvid\clash-rs.exe)"},
      {R"(\\?\GLOBALROOT\Device\HarddiskVolume3\Program Files\Corvid\clash-rs.exe)",
       R"(core path not allowed: \\?\GLOBALROOT\Device\HarddiskVolume3\Program Files\Corvid\clash-rs.exe)"},
      {"clash-rs.exe", "core path not allowed: clash-rs.exe"},
      {"", "core path not allowed: "},
  };
  for (const Case& c : cases) {
    const std::string label = c.core_path.value_or("(default)");
    const Outcome outcome = start_fresh({.core_path = c.core_path}, kUser, [&](FakeBackend& os) {
      if (c.core_path)
        os.add_existing(*c.core_path);
    });
    EXPECT_EQ(outcome.error, c.error) << label;
    if (!c.error) {
      ASSERT_EQ(outcome.os->processes().size(), 1u) << label;
      EXPECT_EQ(outcome.os->processes()[0].core_path, c.core_path.value_or(kCore)) << label;
    }
  }
}

// Each of the core's files, with every other field at its default.
StartOptions with_field(const std::string& field, const std::string& path) {
  StartOptions options;
  if (field == "work dir") {
    options.work_dir = path;
    options.core_path = kCore;  // the default core would follow the working directory
  } else if (field == "config path") {
    options.config_path = path;
    options.config = "port: 7890";
  } else {
    options.log_path = path;
  }
  return options;
}

TEST(StartPolicy, TheCoresFilesStayInsideTheInstallDirectory) {
  struct Case {
    std::string path;
    bool work_dir_ok;
    bool file_ok;  // config and log paths
  };
  const Case cases[] = {
      // inside
      {kDir + R"(\data)", true, true},
      {kDir + R"(\data\sub\a.yaml)", true, true},
      {R"(c:\program files\CORVID\a.yaml)", true, true},
      {R"(C:/Program Files/Corvid/a.yaml)", true, true},
      {R"(\\?\C:\Program Files\Corvid\a.yaml)", true, true},
      {kDir + R"(\log\..\a.yaml)", true, true},
      // equal to
      {kDir, true, false},
      {kDir + "\\", true, false},
      {R"(\\?\C:\Program Files\Corvid)", true, false},
      // the helper's own files are not the core's
      {kCore, true, false},
      {kDir + R"(\CLASH-RS.EXE)", true, false},
      {kDir + R"(\corvid-helper.log)", true, false},
      // nor anything Windows runs or loads, beside the app's own programs
      {kDir + R"(\x.bat)", true, false},
      {kDir + R"(\flutter_windows.DLL)", true, false},
      {kDir + R"(\plugins\a.exe)", true, false},
      {kDir + R"(\app.exe.config)", true, false},
      {kDir + R"(\app.exe.manifest)", true, false},
      {kDir + R"(\app.exe.local)", true, false},
      {kDir + R"(\run.cmd)", true, false},
      {kDir + R"(\a.dll.yaml)", true, true},
      {kDir + R"(\dll)", true, true},
      {kDir + R"(\log\clash.log)", true, true},
      // names that a comparison of names cannot see through: streams and short names
      {kCore + "::$DATA", false, false},
      {kDir + R"(\a.yaml:evil)", false, false},
      {kDir + R"(\CLASH-~1.EXE)", false, false},
      {kDir + R"(\a.yaml.)", false, false},
      // beside
      {R"(C:\Program Files\Corvid2\a.yaml)", false, false},
      {R"(C:\Program Files\Corvi)", false, false},
      // above
      {R"(C:\Program Files)", false, false},
      {R"(C:\Program Files\a.yaml)", false, false},
      {R"(C:\)", false, false},
      // far
      {R"(C:\Windows\System32\evil.dll)", false, false},
      {R"(C:\Users\me\a.yaml)", false, false},
      {R"(D:\Program Files\Corvid\a.yaml)", false, false},
      // escapes
      {kDir + R"(\..\a.yaml)", false, false},
      {kDir + R"(\data\..\..\Corvid2\a.yaml)", false, false},
      {R"(\\?\C:\Program Files\Corvid\..\a.yaml)", false, false},
      // UNC and device forms
      {R"(\\attacker\share\a.yaml)", false, false},
      {R"(\\?\UNC\attacker\share\a.yaml)", false, false},
      {R"(\\.\C:\Program Files\Corvid\a.yaml)", false, false},
      {R"(\\.\pipe\corvid-helper)", false, false},
      {R"(\\?\GLOBALROOT\Device\HarddiskVolume3\Program Files\Corvid\a.yaml)", false, false},
      // device names, which Windows opens in any directory
      {kDir + R"(\CON)", false, false},
      {kDir + R"(\nul.log)", false, false},
      {kDir + R"(\Com1 .yaml)", false, false},
      {kDir + R"(\LPT9\a.yaml)", false, false},
      {kDir + "\\com\xc2\xb9", false, false},
      {kDir + R"(\CONOUT$)", false, false},
      {kDir + R"(\console.log)", true, true},
      {kDir + R"(\com10)", true, true},
      // drive-relative forms
      {R"(C:Program Files\Corvid\a.yaml)", false, false},
  };
  for (const std::string field : {"work dir", "config path", "log path"}) {
    for (const Case& c : cases) {
      const bool ok = field == "work dir" ? c.work_dir_ok : c.file_ok;
      const Outcome outcome = start_fresh(with_field(field, c.path), kUser);
      if (ok) {
        EXPECT_EQ(outcome.error, std::nullopt) << field << ": " << c.path;
      } else {
        EXPECT_EQ(outcome.error, field + " not allowed: " + c.path) << field << ": " << c.path;
      }
    }
  }
}

TEST(StartPolicy, RelativeFilesAreJudgedWhereTheyResolve) {
  struct Case {
    StartOptions options;
    std::optional<std::string> error;
  };
  const Case cases[] = {
      {{.config_path = R"(cfg\a.yaml)", .config = "x"}, std::nullopt},
      {{.log_path = R"(logs\c.log)"}, std::nullopt},
      {{.config_path = R"(..\a.yaml)", .config = "x"},
       R"(config path not allowed: C:\Program Files\Corvid\..\a.yaml)"},
      {{.log_path = R"(..\..\Windows\System32\c.log)"},
       R"(log path not allowed: C:\Program Files\Corvid\..\..\Windows\System32\c.log)"},
      {{.log_path = R"(\Windows\System32\c.log)"},
       R"(log path not allowed: C:\Windows\System32\c.log)"},
      // Relative to a working directory that is itself inside.
      {{.work_dir = kDir + R"(\data)", .core_path = kCore, .config_path = "a.yaml", .config = "x"},
       std::nullopt},
      // An empty working directory leaves every default relative: refused at the working
      // directory, before the files.
      {{.work_dir = "", .core_path = kCore}, "work dir not allowed: "},
      {{.config_path = "", .config = "x"}, R"(config path not allowed: C:\Program Files\Corvid\)"},
      {{.log_path = "NUL"}, R"(log path not allowed: C:\Program Files\Corvid\NUL)"},
      // The first field refused is the one reported.
      {{.work_dir = R"(D:\w)", .core_path = R"(D:\w\clash-rs.exe)"},
       R"(core path not allowed: D:\w\clash-rs.exe)"},
      {{.work_dir = R"(D:\w)", .core_path = kCore}, R"(work dir not allowed: D:\w)"},
      {{.config_path = R"(D:\a.yaml)", .log_path = R"(D:\c.log)"},
       R"(config path not allowed: D:\a.yaml)"},
  };
  for (const Case& c : cases) {
    const Outcome outcome = start_fresh(c.options, kUser);
    EXPECT_EQ(outcome.error, c.error) << c.error.value_or("(started)");
  }
}

TEST(StartPolicy, APrivilegedCallerIsNeverRefusedForLocation) {
  const std::string far[] = {R"(C:\Users\me\x)", R"(\\srv\share\x)", R"(D:\x)", kDir + R"(\..\x)",
                             R"(\\.\C:\x)"};
  for (const std::string& path : far) {
    for (const std::string field : {"work dir", "config path", "log path"}) {
      const Outcome outcome = start_fresh(with_field(field, path), Caller::service());
      EXPECT_EQ(outcome.error, std::nullopt) << field << ": " << path;
      // No descriptor is read for a privileged caller.
      EXPECT_TRUE(outcome.os->security_reads().empty()) << field << ": " << path;
    }
    const Outcome outcome = start_fresh({.core_path = path}, Caller::service(),
                                        [&](FakeBackend& os) { os.add_existing(path); });
    EXPECT_EQ(outcome.error, std::nullopt) << "core path: " << path;
  }
  // Even one that leaves every install-directory rule behind.
  const Outcome outcome = start_fresh({}, Caller::service(), [](FakeBackend& os) {
    os.set_security(kDir, SecuritySnapshot{"S-1-5-21-1-2-3-1001", std::nullopt});
  });
  EXPECT_EQ(outcome.error, std::nullopt);
}

TEST(StartPolicy, ControlCharactersAreRefusedForEveryCaller) {
  struct Case {
    std::string field;
    std::string path;
    std::string shown;
  };
  const Case cases[] = {
      {"config path", kDir + "\\a\nb.yaml", kDir + R"(\a\u000ab.yaml)"},
      {"log path", kDir + "\\a\r\n[SystemTime { intervals: 1 }] core started.log",
       kDir + R"(\a\u000d\u000a[SystemTime { intervals: 1 }] core started.log)"},
      {"log path", kDir + "\\a\tb.log", kDir + R"(\a\u0009b.log)"},
      {"work dir", kDir + "\\d\x01", kDir + R"(\d\u0001)"},
      {"work dir", kDir + "\\d\x1f", kDir + R"(\d\u001f)"},
      {"config path", kDir + "\\a\x7f.yaml", kDir + R"(\a\u007f.yaml)"},
      {"config path", kDir + "\\a\xc2\x85.yaml", kDir + R"(\a\u0085.yaml)"},
      {"log path", kDir + "\\a\u2028.log", kDir + R"(\a\u2028.log)"},
      {"log path", kDir + "\\a\u2029.log", kDir + R"(\a\u2029.log)"},
      // Only the refused characters are written as escapes; the rest stays as given.
      {"config path", kDir + "\\caf\u00e9\u2027\n.yaml", kDir + "\\caf\u00e9\u2027\\u000a.yaml"},
      {"work dir", std::string(kDir + "\\a") + '\0' + "b", kDir + R"(\a\u0000b)"},
  };
  for (const Case& c : cases) {
    for (const Caller& caller : {kUser, Caller::service()}) {
      const Outcome outcome = start_fresh(with_field(c.field, c.path), caller);
      EXPECT_EQ(outcome.error, c.field + " not allowed: " + c.shown)
          << c.shown << (caller.privileged ? " (privileged)" : "");
    }
  }
  const Outcome core = start_fresh({.core_path = kDir + "\\clash-rs.exe\n"}, Caller::service());
  EXPECT_EQ(core.error, R"(core path not allowed: C:\Program Files\Corvid\clash-rs.exe\u000a)");
  // Characters that merely resemble them pass.
  const Outcome near =
      start_fresh(with_field("config path", kDir + "\\a\u00a0\xc2\x80\u2027\u202a.yaml"), kUser);
  EXPECT_EQ(near.error, std::nullopt);
}

class StartPolicyTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeBackend> os = std::make_shared<FakeBackend>();
  CoreState state{os};
};

// The log file that the core creates as LocalSystem must not become a program the next start may
// run: the core may not write it, and were it there, it would not be run.
TEST_F(StartPolicyTest, ABatchFileWrittenByTheCoreIsNeverRun) {
  ASSERT_TRUE(start_core(state, {}, kUser).has_value());
  const std::uint32_t pid = *os->newest_pid();
  const CoreLaunch first = *state.launch;
  const auto written = start_core(state, {.log_path = kDir + R"(\x.bat)"}, kUser);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(detailed_text(written.error()),
            R"(log path not allowed: C:\Program Files\Corvid\x.bat)");
  os->add_existing(kDir + R"(\x.bat)");

  const auto second = start_core(state, {.core_path = kDir + R"(\x.bat)"}, kUser);
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(detailed_text(second.error()),
            R"(core path not allowed: C:\Program Files\Corvid\x.bat)");
  EXPECT_EQ(os->processes().size(), 1u);
  EXPECT_FALSE(os->process(pid).exited);
  EXPECT_EQ(state.launch, first);
}

TEST_F(StartPolicyTest, ARefusedStartLeavesTheHeldCoreAndItsFilesAlone) {
  ASSERT_TRUE(start_core(state, {.config = "first"}, kUser).has_value());
  const std::uint32_t pid = *os->newest_pid();
  const CoreLaunch before = *state.launch;
  const std::vector<std::string> directories = os->directories();
  struct Refused {
    StartOptions options;
    const char* entry;
  };
  const Refused refused[] = {
      {{.core_path = R"(C:\Temp\x.exe)", .config = "evil"},
       R"(start failed: core path not allowed: C:\Temp\x.exe)"},
      {{.work_dir = R"(C:\Temp)", .core_path = kCore, .config = "evil"},
       R"(start failed: work dir not allowed: C:\Temp)"},
      {{.config_path = R"(C:\Windows\System32\drivers\etc\hosts)", .config = "evil"},
       R"(start failed: config path not allowed: C:\Windows\System32\drivers\etc\hosts)"},
      {{.log_path = R"(C:\Windows\System32\x.log)", .config = "evil"},
       R"(start failed: log path not allowed: C:\Windows\System32\x.log)"},
      // The line feed is shown escaped: the entry stays one line.
      {{.log_path = kDir + "\\a\nb.log", .config = "evil"},
       R"(start failed: log path not allowed: C:\Program Files\Corvid\a\u000ab.log)"},
  };
  for (const Refused& r : refused) {
    const LogCapture log;
    const Result<void> result = start_core(state, r.options, kUser);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(log.entries(), std::vector<std::string>{r.entry});
  }
  os->set_security(kDir, SecuritySnapshot{"S-1-5-21-1-2-3-1001", std::nullopt});
  EXPECT_FALSE(start_core(state, {.config = "evil"}, kUser).has_value());

  EXPECT_EQ(os->processes().size(), 1u);
  EXPECT_FALSE(os->process(pid).exited);
  EXPECT_TRUE(state.child.has_value());
  EXPECT_TRUE(state.keep_running);
  EXPECT_EQ(state.launch, before);
  EXPECT_EQ(os->directories(), directories);
  EXPECT_EQ(os->file(kDir + R"(\config.json)"), "first");
  EXPECT_FALSE(os->file(R"(C:\Windows\System32\drivers\etc\hosts)").has_value());
}

// Owned by a user, or granting a user write access: what a per-user install looks like.
SecuritySnapshot user_writable() {
  return {kAdministratorsSid,
          std::vector<AccessEntry>{{AccessEntry::Kind::kAllow, 0x03, 0x001f01ff, kLocalSystemSid},
                                   {AccessEntry::Kind::kAllow, 0x03, 0x001301bf, "S-1-5-11"}}};
}

TEST_F(StartPolicyTest, TheInstallMustBeAdminOnly) {
  struct Case {
    std::string name;
    std::string path;
    Result<SecuritySnapshot> snapshot;
    std::optional<std::string> cause;  // empty: started
  };
  const SecuritySnapshot user_owned{
      "S-1-5-21-1-2-3-1001", std::vector<AccessEntry>{{AccessEntry::Kind::kAllow, 0x03, 0x001f01ff,
                                                       "S-1-5-21-1-2-3-1001"}}};
  const SecuritySnapshot users_may_delete_child{
      "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
      std::vector<AccessEntry>{{AccessEntry::Kind::kAllow, 0x00, 0x00000040, "S-1-5-32-545"}}};
  const SecuritySnapshot users_may_add{
      kLocalSystemSid,
      std::vector<AccessEntry>{{AccessEntry::Kind::kAllow, 0x00, 0x00000006, "S-1-5-11"},
                               {AccessEntry::Kind::kAllow, 0x0b, 0x001301bf, "S-1-5-11"}}};
  const std::string refused =
      "install directory is writable by non-administrators: C:\\Program Files\\Corvid\n\n"
      "Caused by:\n";
  const Case cases[] = {
      {"admin-only everywhere", kDir, FakeBackend::admin_only_snapshot(), std::nullopt},
      {"per-user install", kDir, user_owned,
       R"(    C:\Program Files\Corvid: owned by S-1-5-21-1-2-3-1001)"},
      {"modify for authenticated users", kDir, user_writable(),
       R"(    C:\Program Files\Corvid: allows S-1-5-11 0x00010116)"},
      {"a writable core", kCore, user_writable(),
       R"(    C:\Program Files\Corvid\clash-rs.exe: allows S-1-5-11 0x00010116)"},
      {"a parent that lets users rename the install directory", R"(C:\Program Files)",
       users_may_delete_child, R"(    C:\Program Files: allows S-1-5-32-545 0x00000040)"},
      {"a root where users may add folders", R"(C:\)", users_may_add, std::nullopt},
      {"a root where users may delete", R"(C:\)", user_writable(),
       R"(    C:\: allows S-1-5-11 0x00010000)"},
      {"no access list", R"(C:\)", SecuritySnapshot{kAdministratorsSid, std::nullopt},
       R"(    C:\: no access list: everyone has full access)"},
      {"an unreadable descriptor", kDir,
       std::unexpected(Error("GetNamedSecurityInfoW failed", "Access is denied. (os error 5)")),
       "    0: C:\\Program Files\\Corvid: GetNamedSecurityInfoW failed\n"
       "    1: Access is denied. (os error 5)"},
  };
  for (const Case& c : cases) {
    const Outcome outcome = start_fresh(
        {.config = "x"}, kUser, [&](FakeBackend& fake) { fake.set_security(c.path, c.snapshot); });
    if (c.cause) {
      EXPECT_EQ(outcome.error, refused + *c.cause) << c.name;
    } else {
      EXPECT_EQ(outcome.error, std::nullopt) << c.name;
      EXPECT_EQ(outcome.os->file(kDir + R"(\config.json)"), "x") << c.name;
    }
  }
}

TEST_F(StartPolicyTest, TheInstallDirectoryTheCoreAndEveryParentAreRead) {
  ASSERT_TRUE(start_core(state, {}, kUser).has_value());
  const std::vector<std::string> expected = {kDir, kCore, R"(C:\Program Files)", R"(C:\)"};
  EXPECT_EQ(os->security_reads(), expected);
}

// A missing core is reported as missing; no one but an administrator could have added it.
TEST_F(StartPolicyTest, AMissingCoreIsNotFoundRatherThanRefused) {
  os->remove_existing(kCore);
  const auto result = start_core(state, {}, kUser);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(detailed_text(result.error()),
            R"(core not found: C:\Program Files\Corvid\clash-rs.exe)");
  const std::vector<std::string> expected = {kDir, R"(C:\Program Files)", R"(C:\)"};
  EXPECT_EQ(os->security_reads(), expected);
}

TEST_F(StartPolicyTest, FilesInsideTheInstallDirectoryAreWrittenForAnUnprivilegedCaller) {
  ASSERT_TRUE(
      start_core(state,
                 {.config_path = R"(cfg\a.yaml)", .log_path = R"(logs\c.log)", .config = "a"},
                 kUser)
          .has_value());
  EXPECT_EQ(os->file(kDir + R"(\cfg\a.yaml)"), "a");
  const std::vector<std::string> directories = {kDir + R"(\logs)", kDir + R"(\cfg)"};
  EXPECT_EQ(os->directories(), directories);
}

}  // namespace
}  // namespace corvid
