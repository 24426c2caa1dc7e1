// Which starts a caller may ask for. Anyone in Users may connect to the pipe and the core runs as
// LocalSystem, so an unprivileged caller gets the installed core with its default files and
// nothing else, from an install directory only administrators can change, through handles that
// nothing can redirect.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <utility>
#include <vector>

#include "common/path_rules.h"
#include "fake_backend.h"
#include "log_capture.h"
#include "supervisor/core.h"

namespace corvid {
namespace {

using testing::FakeBackend;
using testing::LogCapture;

const std::string kDir = FakeBackend::kInstallDir;
const std::string kCore = kDir + R"(\clash-rs.exe)";
const std::string kDefaultCommandLine =
    R"("C:\Program Files\Corvid\clash-rs.exe" -d "C:\Program Files\Corvid" )"
    R"(-c "C:\Program Files\Corvid\config.json" -l "C:\Program Files\Corvid\log\clash.log")";

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
      EXPECT_EQ(outcome.os->processes()[0].core_path, kCore) << label;
    }
  }
}

// Each of the core's paths, with every other field at its default.
StartOptions with_field(const std::string& field, const std::string& path) {
  StartOptions options;
  if (field == "core path") {
    options.core_path = path;
  } else if (field == "work dir") {
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

const std::string kFields[] = {"core path", "work dir", "config path", "log path"};

// Names an app folder really holds beside the helper: the Flutter engine and the app's compiled
// code and data, an uninstaller's data, a Node add-on, a shortcut, a DLL redirection folder, the
// helper itself and its log. No rule on names can know which of them something loads or trusts,
// so none is open to any field, given whole or relative to the install directory.
TEST(StartPolicy, NothingAnAppFolderHoldsIsOpenToAnyField) {
  const std::string names[] = {
      R"(data\app.so)",
      R"(data\icudtl.dat)",
      R"(data\flutter_assets\AssetManifest.bin)",
      "flutter_windows.dll",
      "unins000.dat",
      "x.node",
      "x.url",
      R"(app.exe.local\x)",
      "corvid_helper_service.exe",
      "corvid-helper.log",
      // Other folders and files of the core's own kind.
      "data",
      R"(log\other.log)",
      R"(logs\clash.log)",
      "config.json.bak",
      "config.yaml",
      "clash.log",
      R"(profiles\home)",
  };
  for (const std::string& name : names) {
    for (const std::string& field : kFields) {
      std::vector<std::pair<std::string, std::string>> given = {{kDir + "\\" + name, ""}};
      if (field == "config path" || field == "log path")
        given.emplace_back(name, kDir + "\\" + name);
      for (const auto& [path, resolved] : given) {
        const Outcome outcome = start_fresh(with_field(field, path), kUser, [&](FakeBackend& os) {
          os.add_existing(resolved.empty() ? path : resolved);
        });
        EXPECT_EQ(outcome.error, field + " not allowed: " + (resolved.empty() ? path : resolved))
            << field << ": " << path;
      }
    }
  }
}

// The defaults are what they are however they are written: whole or relative (joined as for
// everyone), in any case, with either separator, as a verbatim path, with "." and "..".
TEST(StartPolicy, EveryFieldsDefaultPassesInEverySpelling) {
  const std::map<std::string, std::vector<std::string>> spellings = {
      {"core path",
       {kCore, R"(c:\PROGRAM FILES\corvid\CLASH-RS.exe)", R"(C:/Program Files/Corvid/clash-rs.exe)",
        R"(\\?\C:\Program Files\Corvid\clash-rs.exe)", kDir + R"(\.\clash-rs.exe)",
        kDir + R"(\log\..\clash-rs.exe)",
        R"(C:\Program Files\..\Program Files\Corvid\clash-rs.exe)",
        R"(C:\Program Files\Corvid\\clash-rs.exe)"}},
      {"work dir",
       {kDir, kDir + "\\", R"(c:\program files\CORVID)", R"(C:/Program Files/Corvid/)",
        R"(\\?\C:\Program Files\Corvid)", kDir + R"(\.)", kDir + R"(\data\..)"}},
      {"config path",
       {kDir + R"(\config.json)", "config.json", R"(.\config.json)", "CONFIG.JSON",
        R"(log\..\config.json)", R"(c:/program files/corvid/config.json)",
        R"(\\?\C:\Program Files\Corvid\config.json)", R"(\Program Files\Corvid\config.json)"}},
      {"log path",
       {kDir + R"(\log\clash.log)", R"(log\clash.log)", "log/clash.log", R"(LOG\Clash.Log)",
        R"(.\log\.\clash.log)", R"(C:/Program Files/Corvid/log/clash.log)",
        R"(\\?\C:\Program Files\Corvid\log\clash.log)"}},
  };
  for (const auto& [field, paths] : spellings) {
    for (const std::string& path : paths) {
      const Outcome outcome = start_fresh(with_field(field, path), kUser,
                                          [&](FakeBackend& os) { os.add_existing(path); });
      EXPECT_EQ(outcome.error, std::nullopt) << field << ": " << path;
      // Whatever the spelling, the service's own work is on the defaults, and the core is told
      // them as the service spells them.
      EXPECT_EQ(outcome.os->prepared(), std::vector<CoreFiles>{core_files(kDir)})
          << field << ": " << path;
      EXPECT_EQ(outcome.os->processes().at(0).command_line, kDefaultCommandLine)
          << field << ": " << path;
      // A privileged caller's core is told the path as given.
      const Outcome privileged = start_fresh(with_field(field, path), Caller::service(),
                                             [&](FakeBackend& os) { os.add_existing(path); });
      EXPECT_NE(privileged.os->processes().at(0).command_line.find(path), std::string::npos)
          << field << ": " << path;
    }
  }
}

// Near the defaults is not the defaults.
TEST(StartPolicy, WhatIsNearADefaultIsRefused) {
  struct Case {
    std::string field;
    std::string path;
  };
  const Case cases[] = {
      // Another field's default.
      {"config path", kDir + R"(\log\clash.log)"},
      {"log path", kDir + R"(\config.json)"},
      {"config path", kCore},
      {"log path", kDir},
      {"work dir", kDir + R"(\log)"},
      // The same name elsewhere.
      {"config path", R"(C:\Program Files\config.json)"},
      {"config path", R"(C:\Program Files\Corvid2\config.json)"},
      {"log path", kDir + R"(\clash.log)"},
      {"work dir", R"(C:\Program Files)"},
      {"work dir", R"(D:\Program Files\Corvid)"},
      // Names a comparison of names cannot see through, or that Windows reads otherwise.
      {"config path", kDir + R"(\config.json::$DATA)"},
      {"config path", kDir + R"(\CONFIG~1.JSO)"},
      {"config path", kDir + R"(\config.json.)"},
      {"config path", kDir + R"(\config.json )"},
      {"log path", kDir + R"(\log.\clash.log)"},
      {"config path", R"(\\?\C:\Program Files\Corvid\.\config.json)"},
      {"config path", R"(\\?\C:\Program Files\Corvid/config.json)"},
      {"config path", R"(\\.\C:\Program Files\Corvid\config.json)"},
      {"config path", R"(\\?\GLOBALROOT\Device\HarddiskVolume3\Program Files\Corvid\config.json)"},
      {"log path", R"(\\localhost\C$\Program Files\Corvid\log\clash.log)"},
      {"log path", R"(\\?\UNC\localhost\C$\Program Files\Corvid\log\clash.log)"},
      {"config path", kDir + R"(\NUL)"},
      {"work dir", R"(C:Program Files\Corvid)"},
  };
  for (const Case& c : cases) {
    const Outcome outcome = start_fresh(with_field(c.field, c.path), kUser);
    EXPECT_EQ(outcome.error, c.field + " not allowed: " + c.path) << c.field << ": " << c.path;
  }
}

TEST(StartPolicy, RelativeFilesAreJudgedWhereTheyResolve) {
  struct Case {
    StartOptions options;
    std::optional<std::string> error;
  };
  const Case cases[] = {
      {{.config_path = "config.json", .config = "x"}, std::nullopt},
      {{.log_path = R"(log\clash.log)"}, std::nullopt},
      {{.work_dir = kDir + "\\"}, std::nullopt},
      {{.config_path = R"(cfg\a.yaml)", .config = "x"},
       R"(config path not allowed: C:\Program Files\Corvid\cfg\a.yaml)"},
      {{.log_path = R"(logs\c.log)"},
       R"(log path not allowed: C:\Program Files\Corvid\logs\c.log)"},
      {{.config_path = R"(..\a.yaml)", .config = "x"},
       R"(config path not allowed: C:\Program Files\Corvid\..\a.yaml)"},
      {{.log_path = R"(..\..\Windows\System32\c.log)"},
       R"(log path not allowed: C:\Program Files\Corvid\..\..\Windows\System32\c.log)"},
      {{.log_path = R"(\Windows\System32\c.log)"},
       R"(log path not allowed: C:\Windows\System32\c.log)"},
      // A working directory of its own moves every default with it, the core first.
      {{.work_dir = kDir + R"(\data)", .config_path = "config.json", .config = "x"},
       R"(core path not allowed: C:\Program Files\Corvid\data\clash-rs.exe)"},
      {{.work_dir = kDir + R"(\data)", .core_path = kCore, .config = "x"},
       R"(work dir not allowed: C:\Program Files\Corvid\data)"},
      // An empty working directory leaves every default relative.
      {{.work_dir = ""}, "core path not allowed: clash-rs.exe"},
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
  // Characters that merely resemble them pass, C1 controls and direction overrides included (a
  // Windows name may hold them); a refusal shows them escaped.
  const std::string near = kDir + "\\a\u00a0\xc2\x80\u2027\u202a\xc2\x9b\u202e.yaml";
  EXPECT_EQ(start_fresh(with_field("config path", near), Caller::service()).error, std::nullopt);
  EXPECT_EQ(
      start_fresh(with_field("config path", near), kUser).error,
      "config path not allowed: " + kDir + "\\a\u00a0\\u0080\u2027\\u202a\\u009b\\u202e.yaml");
}

// No Windows path is longer than 32,767 UTF-16 units: a longer one is refused for everyone
// before anything is written, and shown cut short.
TEST(StartPolicy, APathLongerThanWindowsTakesIsRefusedForEveryCaller) {
  const std::string too_long = kDir + "\\" + std::string(32767, 'a');
  const std::string shown =
      too_long.substr(0, 256) + "\xE2\x80\xA6 (" + std::to_string(too_long.size()) + " bytes)";
  for (const std::string& field : kFields) {
    for (const Caller& caller : {kUser, Caller::service()}) {
      const Outcome outcome = start_fresh(with_field(field, too_long), caller);
      EXPECT_EQ(outcome.error, field + " not allowed: " + shown)
          << field << (caller.privileged ? " (privileged)" : "");
    }
  }
  // Units, not bytes: three bytes of UTF-8 are one unit of UTF-16.
  std::string units;
  for (int i = 0; i < 2000; ++i)
    units += "\xE6\x97\xA5";
  for (const auto& [path, refused] :
       {std::pair{R"(C:\)" + std::string(32764, 'a'), false},
        std::pair{R"(C:\)" + std::string(32765, 'a'), true},
        std::pair{R"(C:\)" + std::string(30000, 'a') + units, false}}) {
    const Outcome outcome = start_fresh(with_field("log path", path), Caller::service());
    EXPECT_EQ(outcome.error.has_value(), refused) << path.size() << " bytes";
  }
}

// A missing core is named in full when short, cut short when long.
TEST(StartPolicy, AMissingCoreIsShownBounded) {
  FakeBackend os;
  const std::string near = R"(C:\Tools\clash-rs.exe)";
  const std::string far = R"(C:\)" + std::string(1000, 'x') + R"(\clash-rs.exe)";
  const auto missing = [&](const std::string& core) {
    const Result<ChildProcess> child = spawn_core(os, {kDir, core, "c", "l"});
    return child ? std::string("(spawned)") : detailed_text(child.error());
  };
  EXPECT_EQ(missing(near), R"(core not found: C:\Tools\clash-rs.exe)");
  EXPECT_EQ(missing(far), "core not found: " + far.substr(0, 256) + "\xE2\x80\xA6 (1016 bytes)");
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
      // The app's compiled code, which the engine maps and runs for the next user.
      {{.config_path = R"(data\app.so)", .config = "evil"},
       R"(start failed: config path not allowed: C:\Program Files\Corvid\data\app.so)"},
      {{.log_path = kDir + R"(\data\app.so)"},
       R"(start failed: log path not allowed: C:\Program Files\Corvid\data\app.so)"},
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
  os->set_oddity(kDir + R"(\config.json)", FakeBackend::Oddity::kHardLinked);
  EXPECT_FALSE(start_core(state, {.config = "evil"}, kUser).has_value());
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
  const SecuritySnapshot users_inherit_full_control{
      kAdministratorsSid,
      std::vector<AccessEntry>{{AccessEntry::Kind::kAllow, 0x03, 0x001f01ff, kLocalSystemSid},
                               {AccessEntry::Kind::kAllow, 0x03, 0x001f01ff, kAdministratorsSid},
                               {AccessEntry::Kind::kAllow, 0x0a, 0x001f01ff, "S-1-5-32-545"}}};
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
      // What the service creates in it would be the user's: the log directory, for one, where
      // a mount point would send the core's log anywhere.
      {"an inherit-only full control for Users", kDir, users_inherit_full_control,
       R"(    C:\Program Files\Corvid: allows S-1-5-32-545 0x000d0156 on what is created in it)"},
      {"a log directory users may change", kDir + R"(\log)", user_writable(),
       R"(    C:\Program Files\Corvid\log: allows S-1-5-11 0x00010116)"},
      {"a core log users may change", kDir + R"(\log\clash.log)", user_writable(),
       R"(    C:\Program Files\Corvid\log\clash.log: allows S-1-5-11 0x00010116)"},
      {"a configuration users may change", kDir + R"(\config.json)", user_writable(),
       R"(    C:\Program Files\Corvid\config.json: allows S-1-5-11 0x00010116)"},
      // The core loads DLLs from its own directory, as LocalSystem.
      {"a DLL beside the core users may change", kDir + R"(\wintun.dll)", user_writable(),
       R"(    C:\Program Files\Corvid\wintun.dll: allows S-1-5-11 0x00010116)"},
      {"an unreadable descriptor", kDir,
       std::unexpected(Error("GetNamedSecurityInfoW failed", "Access is denied. (os error 5)")),
       "    0: C:\\Program Files\\Corvid: GetNamedSecurityInfoW failed\n"
       "    1: Access is denied. (os error 5)"},
  };
  for (const Case& c : cases) {
    const Outcome outcome = start_fresh({.config = "x"}, kUser, [&](FakeBackend& fake) {
      fake.set_security(c.path, c.snapshot);
      for (const char* name : {R"(\log)", R"(\log\clash.log)", R"(\config.json)", R"(\wintun.dll)"})
        fake.add_existing(kDir + name);
    });
    if (c.cause) {
      EXPECT_EQ(outcome.error, refused + *c.cause) << c.name;
    } else {
      EXPECT_EQ(outcome.error, std::nullopt) << c.name;
      EXPECT_EQ(outcome.os->file(kDir + R"(\config.json)"), "x") << c.name;
    }
  }
}

TEST_F(StartPolicyTest, TheInstallDirectoryWhatIsInItAndEveryParentAreRead) {
  ASSERT_TRUE(start_core(state, {}, kUser).has_value());
  const std::vector<std::string> first = {kDir, kCore, R"(C:\Program Files)", R"(C:\)"};
  EXPECT_EQ(os->security_reads(), first);
  // Once the configuration and the log directory are there, and the core has made its log.
  ASSERT_TRUE(start_core(state, {.config = "x"}, kUser).has_value());
  os->add_existing(kDir + R"(\log\clash.log)");
  ASSERT_TRUE(start_core(state, {}, kUser).has_value());
  const std::vector<std::string> reads = os->security_reads();
  const std::vector<std::string> last = {kDir,
                                         kCore,
                                         kDir + R"(\config.json)",
                                         kDir + R"(\log)",
                                         kDir + R"(\log\clash.log)",
                                         R"(C:\Program Files)",
                                         R"(C:\)"};
  ASSERT_GE(reads.size(), last.size());
  EXPECT_EQ(
      std::vector<std::string>(reads.end() - static_cast<std::ptrdiff_t>(last.size()), reads.end()),
      last);
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

// The service's own work for a standard user is on the defaults, through the backend's handles,
// and the configuration gets an access list no other user can read through.
TEST_F(StartPolicyTest, TheDefaultsAreWrittenThroughHandlesForAnUnprivilegedCaller) {
  ASSERT_TRUE(start_core(state,
                         {.config_path = R"(c:/program files/corvid/CONFIG.json)",
                          .log_path = R"(log/clash.log)",
                          .config = "a"},
                         kUser)
                  .has_value());
  EXPECT_EQ(os->prepared(), std::vector<CoreFiles>{core_files(kDir)});
  EXPECT_EQ(core_files(kDir), (CoreFiles{kDir, kDir + R"(\log)", kDir + R"(\config.json)"}));
  EXPECT_EQ(os->file(kDir + R"(\config.json)"), "a");
  EXPECT_EQ(os->protected_files(), std::set<std::string>{kDir + R"(\config.json)"});
  EXPECT_EQ(os->directories(), std::vector<std::string>{kDir + R"(\log)"});
  EXPECT_EQ(os->processes().at(0).command_line, kDefaultCommandLine);
  // A privileged caller's files are written as named, and created protected too.
  ASSERT_TRUE(
      start_core(state, {.config_path = R"(D:\cfg\a.json)", .config = "b"}, Caller::service())
          .has_value());
  EXPECT_EQ(os->prepared().size(), 1u);
  EXPECT_EQ(os->file(R"(D:\cfg\a.json)"), "b");
  EXPECT_EQ(os->protected_files().size(), 2u);
}

// A failed write of a standard user's configuration reads as a privileged caller's does, and
// keeps the system's code for whoever reads the error rather than its text.
TEST_F(StartPolicyTest, AFailedWriteThroughHandlesKeepsItsOsCode) {
  struct Case {
    Caller caller;
    std::uint32_t code;
  };
  for (const Case& c : {Case{kUser, 5}, Case{kUser, 123}, Case{Caller::service(), 123}}) {
    os->fail_writes("text of " + std::to_string(c.code), c.code);
    const Result<void> started = start_core(state, {.config = "x"}, c.caller);
    ASSERT_FALSE(started.has_value());
    EXPECT_EQ(detailed_text(started.error()),
              "write config\n\nCaused by:\n    text of " + std::to_string(c.code));
    EXPECT_EQ(started.error().os_code, c.code);
  }
  EXPECT_TRUE(os->processes().empty());
}

// What only a handle shows: an entry that is a reparse point (a junction, a mount point, a
// symbolic link), a configuration file with a second name (a hard link to a file anywhere on
// the volume) or one that resolves elsewhere. Each is refused for the field whose default it
// is, before anything is written.
TEST(StartPolicy, WhatAHandleShowsIsRefusedBeforeAnythingIsWritten) {
  using Oddity = FakeBackend::Oddity;
  struct Case {
    std::string path;
    Oddity oddity;
    StartOptions options;
    std::optional<std::string> error;  // detailed text; empty: started
  };
  const std::string config = kDir + R"(\config.json)";
  const std::string log = kDir + R"(\log)";
  const Case cases[] = {
      {kDir,
       Oddity::kReparsePoint,
       {.config = "x"},
       "work dir not allowed: C:\\Program Files\\Corvid\n\nCaused by:\n"
       "    C:\\Program Files\\Corvid: is a reparse point"},
      {log,
       Oddity::kReparsePoint,
       {.config = "x"},
       "log path not allowed: C:\\Program Files\\Corvid\\log\\clash.log\n\nCaused by:\n"
       "    C:\\Program Files\\Corvid\\log: is a reparse point"},
      {log,
       Oddity::kReparsePoint,
       {},
       "log path not allowed: C:\\Program Files\\Corvid\\log\\clash.log\n\nCaused by:\n"
       "    C:\\Program Files\\Corvid\\log: is a reparse point"},
      {config,
       Oddity::kReparsePoint,
       {.config = "x"},
       "config path not allowed: C:\\Program Files\\Corvid\\config.json\n\nCaused by:\n"
       "    C:\\Program Files\\Corvid\\config.json: is a reparse point"},
      {config,
       Oddity::kHardLinked,
       {.config_path = "config.json", .config = "x"},
       "config path not allowed: C:\\Program Files\\Corvid\\config.json\n\nCaused by:\n"
       "    C:\\Program Files\\Corvid\\config.json: has 2 links"},
      {config,
       Oddity::kElsewhere,
       {.config_path = R"(C:/Program Files/Corvid/config.json)", .config = "x"},
       "config path not allowed: C:/Program Files/Corvid/config.json\n\nCaused by:\n"
       "    C:\\Program Files\\Corvid\\config.json: opens as \\\\?\\D:\\elsewhere"},
      // Without a configuration the file is neither written nor looked at.
      {config, Oddity::kHardLinked, {}, std::nullopt},
  };
  for (const Case& c : cases) {
    const Outcome outcome =
        start_fresh(c.options, kUser, [&](FakeBackend& os) { os.set_oddity(c.path, c.oddity); });
    EXPECT_EQ(outcome.error, c.error) << c.path;
    EXPECT_FALSE(outcome.os->file(config).has_value()) << c.path;
  }
  // A privileged caller's writes go by name, as they always have.
  const Outcome privileged = start_fresh({.config = "x"}, Caller::service(), [&](FakeBackend& os) {
    os.set_oddity(config, Oddity::kHardLinked);
  });
  EXPECT_EQ(privileged.error, std::nullopt);
  EXPECT_TRUE(privileged.os->prepared().empty());
}

}  // namespace
}  // namespace corvid
