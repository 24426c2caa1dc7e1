#include <gtest/gtest.h>

#include "common/path_rules.h"

namespace corvid {
namespace {

TEST(WindowsPath, Absolute) {
  struct Case {
    const char* path;
    bool absolute;
  };
  const Case cases[] = {
      {R"(C:\cfg\a.json)", true},
      {R"(c:/cfg/a.json)", true},
      {R"(C:\)", true},
      {R"(C:cfg\a.json)", false},
      {R"(\cfg\a.json)", false},
      {R"(cfg\a.json)", false},
      {R"(\\server\share\a)", true},
      {R"(\\server\share)", true},
      {R"(\\?\C:\a)", true},
      {R"(\\?\UNC\srv\sh\a)", true},
      {R"(\\?\Volume{x}\a)", true},
      {R"(\\.\pipe\x)", true},
      {"", false},
      {"config.json", false},
      {R"(C:)", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(is_absolute_path(c.path), c.absolute) << c.path;
}

TEST(WindowsPath, Join) {
  struct Case {
    const char* base;
    const char* name;
    const char* joined;
  };
  const Case cases[] = {
      {R"(C:\Program Files\Corvid)", "clash-rs.exe", R"(C:\Program Files\Corvid\clash-rs.exe)"},
      {R"(C:\Corvid\)", "config.json", R"(C:\Corvid\config.json)"},
      {R"(C:\Corvid/)", "config.json", R"(C:\Corvid/config.json)"},
      {R"(C:\work)", R"(cfg\a.json)", R"(C:\work\cfg\a.json)"},
      {"", "config.json", "config.json"},
      {"", R"(log\clash.log)", R"(log\clash.log)"},
      {"C:", "config.json", "C:config.json"},
      {R"(C:\work)", R"(D:\other\a.json)", R"(D:\other\a.json)"},
      {R"(C:\work)", R"(D:rel.json)", R"(D:rel.json)"},
      {R"(C:\work)", R"(\\srv\share\a.json)", R"(\\srv\share\a.json)"},
      {R"(C:\work\dir)", R"(\top\a.json)", R"(C:\top\a.json)"},
      {R"(\\srv\share\dir)", R"(\top\a.json)", R"(\\srv\share\top\a.json)"},
      {R"(relative\dir)", R"(\top\a.json)", R"(\top\a.json)"},
      {R"(\\srv\share)", "a.json", R"(\\srv\share\a.json)"},
      {R"(\\?\C:\work)", R"(cfg\.\sub\..\a.json)", R"(\\?\C:\work\cfg\a.json)"},
      {R"(\\?\C:\work)", R"(..\..\a.json)", R"(\\?\C:\a.json)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(join_path(c.base, c.name), c.joined) << c.base << " + " << c.name;
  }
}

TEST(WindowsPath, Parent) {
  struct Case {
    const char* path;
    std::optional<std::string> parent;
  };
  const Case cases[] = {
      {R"(C:\Program Files\Corvid\corvid_helper_service.exe)", R"(C:\Program Files\Corvid)"},
      {R"(C:\svc.exe)", R"(C:\)"},
      {R"(C:\)", std::nullopt},
      {"C:", std::nullopt},
      {"", std::nullopt},
      {R"(C:\a\b\)", R"(C:\a)"},
      {R"(C:\a\\b)", R"(C:\a)"},
      {R"(C:\a\.\b)", R"(C:\a)"},
      {R"(log\clash.log)", "log"},
      {"clash.log", ""},
      {R"(\\srv\share\x.log)", R"(\\srv\share\)"},
      {R"(\\srv\share)", std::nullopt},
      {R"(\\?\C:\dir\x.log)", R"(\\?\C:\dir)"},
      {"/usr/bin/corvid", "/usr/bin"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(parent_path(c.path), c.parent) << c.path;
}

}  // namespace
}  // namespace corvid
