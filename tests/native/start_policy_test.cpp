#include <gtest/gtest.h>

#include "common/winpath.h"
#include "fake_backend.h"
#include "supervisor/core.h"

namespace corvid {
namespace {

using testing::FakeBackend;

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

class StartPolicyTest : public ::testing::Test {
 protected:
  static constexpr const char* kDir = FakeBackend::kInstallDir;
  std::shared_ptr<FakeBackend> os = std::make_shared<FakeBackend>();
  CoreState state{os};
  std::string identity = "service";
  bool client_denied = false;
  int impersonations = 0;

  void SetUp() override {
    os->identity_probe([this] { return identity; });
  }

  Caller user() {
    return Caller{false, [this](const std::function<void()>& action) {
                    ++impersonations;
                    identity = "client";
                    if (client_denied)
                      os->fail_writes("Access is denied. (os error 5)");
                    action();
                    os->fail_writes(std::nullopt);
                    identity = "service";
                    return true;
                  }};
  }

  std::string in_dir(const std::string& name) { return std::string(kDir) + "\\" + name; }
};

TEST_F(StartPolicyTest, CorePathTable) {
  struct Case {
    bool privileged;
    std::optional<std::string> core_path;
    std::optional<std::string> error;  // empty: started
  };
  const std::string dir = kDir;
  const Case cases[] = {
      {false, std::nullopt, std::nullopt},
      {false, dir + R"(\clash-rs.exe)", std::nullopt},
      {false, R"(C:\program files\corvid\CLASH-RS.exe)", std::nullopt},
      {false, R"(C:\Users\me\evil.exe)", R"(core path not allowed: C:\Users\me\evil.exe)"},
      {false, dir, "core path not allowed: " + dir},
      {false, dir + R"(\..\evil.exe)", "core path not allowed: " + dir + R"(\..\evil.exe)"},
      {false, R"(C:\Program Files\Corvid2\clash-rs.exe)",
       R"(core path not allowed: C:\Program Files\Corvid2\clash-rs.exe)"},
      {false, R"(\\srv\share\clash-rs.exe)", R"(core path not allowed: \\srv\share\clash-rs.exe)"},
      {false, R"(\\?\C:\Program Files\Corvid\clash-rs.exe)", std::nullopt},
      {false, "clash-rs.exe", "core path not allowed: clash-rs.exe"},
      {true, R"(C:\Users\me\evil.exe)", std::nullopt},
      {true, R"(\\srv\share\clash-rs.exe)", std::nullopt},
  };
  for (const Case& c : cases) {
    auto fake = std::make_shared<FakeBackend>();
    if (c.core_path)
      fake->add_existing(*c.core_path);
    CoreState s{fake};
    const Caller caller = c.privileged ? Caller::service() : Caller{false, {}};
    const auto result = start_core(s, {.core_path = c.core_path}, caller);
    const std::string label = c.core_path.value_or("(default)");
    if (c.error) {
      ASSERT_FALSE(result.has_value()) << label;
      EXPECT_EQ(detailed_text(result.error()), *c.error) << label;
      EXPECT_FALSE(s.keep_running) << label;
      EXPECT_FALSE(s.launch.has_value()) << label;
      EXPECT_TRUE(fake->processes().empty()) << label;
      EXPECT_TRUE(fake->directories().empty()) << label;
    } else {
      EXPECT_TRUE(result.has_value()) << label;
      EXPECT_EQ(fake->alive(), 1) << label;
    }
  }
}

TEST_F(StartPolicyTest, RefusedStartLeavesTheHeldCoreRunning) {
  ASSERT_TRUE(start_core(state, {}, user()).has_value());
  const std::uint32_t pid = *os->newest_pid();
  const auto before = state.launch;
  os->add_existing(R"(C:\Temp\x.exe)");
  const auto result =
      start_core(state, {.core_path = R"(C:\Temp\x.exe)", .config = "evil"}, user());
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(short_text(result.error()), R"(core path not allowed: C:\Temp\x.exe)");
  EXPECT_FALSE(os->process(pid).exited);
  EXPECT_TRUE(state.child.has_value());
  EXPECT_EQ(state.launch, before);
  EXPECT_FALSE(os->file(in_dir("config.json")).has_value());
}

TEST_F(StartPolicyTest, WhoWritesWhat) {
  struct Case {
    bool privileged;
    StartOptions options;
    std::map<std::string, std::string> written_by;
  };
  const std::string dir = kDir;
  const Case cases[] = {
      // The install directory's own config.json and log directory: the service itself.
      {false,
       {.config = "a"},
       {{dir + R"(\log)", "service"}, {dir, "service"}, {dir + R"(\config.json)", "service"}}},
      {false,
       {.config_path = R"(C:\Users\me\cfg\a.yaml)",
        .log_path = R"(C:\Users\me\logs\c.log)",
        .config = "a"},
       {{R"(C:\Users\me\logs)", "client"},
        {R"(C:\Users\me\cfg)", "client"},
        {R"(C:\Users\me\cfg\a.yaml)", "client"}}},
      // Another file in the install directory is written with the client's rights.
      {false,
       {.config_path = dir + R"(\other.json)", .config = "a"},
       {{dir + R"(\log)", "service"}, {dir, "service"}, {dir + R"(\other.json)", "client"}}},
      {false,
       {.work_dir = R"(D:\work)", .core_path = dir + R"(\clash-rs.exe)", .config = "a"},
       {{R"(D:\work\log)", "client"},
        {R"(D:\work)", "client"},
        {R"(D:\work\config.json)", "client"}}},
      {true,
       {.config_path = R"(C:\Users\me\cfg\a.yaml)", .config = "a"},
       {{dir + R"(\log)", "service"},
        {R"(C:\Users\me\cfg)", "service"},
        {R"(C:\Users\me\cfg\a.yaml)", "service"}}},
  };
  for (const Case& c : cases) {
    auto fake = std::make_shared<FakeBackend>();
    fake->identity_probe([this] { return identity; });
    CoreState s{fake};
    const auto result = start_core(s, c.options, c.privileged ? Caller::service() : user());
    EXPECT_TRUE(result.has_value()) << (result ? "" : detailed_text(result.error()));
    EXPECT_EQ(fake->written_by(), c.written_by) << c.options.config_path.value_or("(default)");
  }
}

TEST_F(StartPolicyTest, AWriteTheClientMayNotMakeFailsAsWriteConfig) {
  ASSERT_TRUE(start_core(state, {}, user()).has_value());
  const std::uint32_t pid = *os->newest_pid();
  client_denied = true;
  const auto result =
      start_core(state, {.config_path = R"(C:\Windows\System32\evil.dll)", .config = "x"}, user());
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(detailed_text(result.error()),
            "write config\n\nCaused by:\n    Access is denied. (os error 5)");
  EXPECT_FALSE(os->process(pid).exited);
  EXPECT_FALSE(os->file(R"(C:\Windows\System32\evil.dll)").has_value());
}

TEST_F(StartPolicyTest, NoImpersonationMeansNoWriteOnTheClientsBehalf) {
  const Caller unknown{false, [](const std::function<void()>&) { return false; }};
  const auto result =
      start_core(state, {.config_path = R"(C:\Users\me\a.yaml)", .config = "x"}, unknown);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(short_text(result.error()), "write config");
  EXPECT_TRUE(os->written_by().empty() || !os->written_by().contains(R"(C:\Users\me\a.yaml)"));
  EXPECT_FALSE(os->file(R"(C:\Users\me\a.yaml)").has_value());
  EXPECT_FALSE(state.keep_running);
}

}  // namespace
}  // namespace corvid
