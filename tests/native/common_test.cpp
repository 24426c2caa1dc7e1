#include <gtest/gtest.h>

#include "common/cmdline.h"
#include "common/error.h"
#include "common/utf.h"
#include "common/path_rules.h"

namespace corvid {
namespace {

TEST(ErrorText, ShortTextIsTheOutermostMessage) {
  EXPECT_EQ(short_text(Error("spawn core", "Access is denied. (os error 5)")), "spawn core");
}

TEST(ErrorText, DetailedTextByNumberOfCauses) {
  struct Case {
    Error error;
    std::string detailed;
  };
  const Case cases[] = {
      {Error("invalid exe path"), "invalid exe path"},
      {Error("write config", "Access is denied. (os error 5)"),
       "write config\n\nCaused by:\n    Access is denied. (os error 5)"},
      {Error("outer", "line one\nline two"), "outer\n\nCaused by:\n    line one\n    line two"},
      {Error("failed to start service dispatcher",
             std::vector<std::string>{"IO error in winapi call",
                                      "The service process could not connect "
                                      "to the service controller. (os error 1063)"}),
       "failed to start service dispatcher\n\nCaused by:\n    0: IO error in winapi call\n    1: "
       "The "
       "service process could not connect to the service controller. (os error 1063)"},
      {Error("top",
             std::vector<std::string>{"a\nb", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l"}),
       "top\n\nCaused by:\n    0: a\n       b\n    1: c\n    2: d\n    3: e\n    4: f\n    5: g\n  "
       "  "
       "6: h\n    7: i\n    8: j\n    9: k\n   10: l"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(detailed_text(c.error), c.detailed) << c.error.message;
  }
}

// Wrapping an error moves its message and causes below the new message, in order, and keeps the
// code of the failure at the root: the texts are those of the error built whole.
TEST(ErrorText, ContextKeepsTheCausesInOrderAndTheOsCode) {
  const auto coded = [](Error error, std::optional<std::uint32_t> code) {
    error.os_code = code;
    return error;
  };
  struct Case {
    Error cause;
    Error wrapped;
  };
  const Case cases[] = {
      {Error("Access is denied. (os error 5)"),
       Error("write config", "Access is denied. (os error 5)")},
      {coded(Error("The filename is invalid. (os error 123)"), 123),
       coded(Error("write config", "The filename is invalid. (os error 123)"), 123)},
      {coded(Error("IO error in winapi call", "The handle is invalid. (os error 6)"), 6),
       coded(Error("write config", std::vector<std::string>{"IO error in winapi call",
                                                            "The handle is invalid. (os error 6)"}),
             6)},
      {coded(Error("a", std::vector<std::string>{"b", "c"}), 0xC0000005u),
       coded(Error("write config", std::vector<std::string>{"a", "b", "c"}), 0xC0000005u)},
  };
  for (const Case& c : cases) {
    const Error wrapped = context("write config", c.cause);
    EXPECT_EQ(wrapped, c.wrapped) << c.cause.message;
    EXPECT_EQ(wrapped.os_code, c.cause.os_code) << c.cause.message;
    EXPECT_EQ(detailed_text(wrapped), detailed_text(c.wrapped)) << c.cause.message;
    EXPECT_EQ(short_text(wrapped), "write config");
  }
  // The code is part of the value: the same texts with another code are another error.
  EXPECT_NE(coded(Error("x"), 5), coded(Error("x"), 123));
  EXPECT_NE(coded(Error("x"), 5), Error("x"));
}

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

TEST(CommandLine, ArgumentQuoting) {
  struct Case {
    const char* arg;
    const char* quoted;
  };
  const Case cases[] = {
      {"-d", "-d"},
      {"", R"("")"},
      {R"(C:\Program Files\Corvid)", R"("C:\Program Files\Corvid")"},
      {"tab\there", "\"tab\there\""},
      {R"(C:\dir\)", R"(C:\dir\)"},
      {R"(C:\my dir\)", R"("C:\my dir\\")"},
      {R"(say"hi")", R"(say\"hi\")"},
      {R"(a\"b)", R"(a\\\"b)"},
      {R"(a b\"c)", R"("a b\\\"c")"},
      {R"(a\\b)", R"(a\\b)"},
  };
  // Each argument as the command line writes it after the program.
  for (const Case& c : cases)
    EXPECT_EQ(build_command_line("p", {c.arg}), std::string(R"("p" )") + c.quoted) << c.arg;
}

TEST(CommandLine, ProgramIsAlwaysQuoted) {
  EXPECT_EQ(
      build_command_line(R"(C:\Corvid\clash-rs.exe)",
                         {"-d", R"(C:\Corvid)", "-c", R"(C:\Corvid\config.json)", "-l",
                          R"(C:\my logs\clash.log)"}),
      R"("C:\Corvid\clash-rs.exe" -d C:\Corvid -c C:\Corvid\config.json -l "C:\my logs\clash.log")");
  EXPECT_EQ(build_command_line("core.exe", {""}), R"("core.exe" "")");
}

TEST(CommandLine, BinaryPathQuoting) {
  struct Case {
    const char* path;
    const char* quoted;
  };
  const Case cases[] = {
      {R"(C:\Corvid\corvid_helper_service.exe)", R"(C:\Corvid\corvid_helper_service.exe)"},
      {R"(C:\Program Files\Corvid\svc.exe)", R"("C:\Program Files\Corvid\svc.exe")"},
      {"", R"("")"},
      {"a\nb", "\"a\nb\""},
      {"a\vb", "\"a\vb\""},
      {R"(C:\x"y\svc.exe)", R"("C:\x\"y\svc.exe")"},
      {R"(C:\with space\)", R"("C:\with space\\")"},
      {R"(C:\q\\"z)", R"("C:\q\\\\\"z")"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(quote_binary_path(c.path), c.quoted) << c.path;
}

TEST(Utf, RoundTripAndReplacement) {
  const std::string text = "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80";
  const std::u16string wide = utf8_to_utf16(text);
  EXPECT_EQ(wide, u"caf\u00e9 \u20ac \U0001F600");
  EXPECT_EQ(utf16_to_utf8(wide), text);
  // Unpaired surrogates, leading or trailing, become U+FFFD.
  const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00, 0};
  EXPECT_EQ(utf16_to_utf8(lone),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
  const char16_t last[] = {u'x', 0xD83D, 0};
  EXPECT_EQ(utf16_to_utf8(last), "x\xEF\xBF\xBD");
  EXPECT_EQ(utf8_to_utf16("a\xFF"
                          "b"),
            u"a\uFFFDb");
}

TEST(Utf, StrictFaults) {
  struct Case {
    std::string bytes;
    std::optional<Utf8Fault> fault;
  };
  const auto bad = [](std::size_t index, std::size_t length) {
    return std::optional<Utf8Fault>(Utf8Fault{index, length});
  };
  const auto cut = [](std::size_t index) {
    return std::optional<Utf8Fault>(Utf8Fault{index, std::nullopt});
  };
  const Case cases[] = {
      {"plain", std::nullopt},
      {"{\"a\xC3\xA9\"}", std::nullopt},
      {"{\"id\xFF", bad(4, 1)},
      {"\x80", bad(0, 1)},
      {"\xC1\x80", bad(0, 1)},
      {"\xE0\x80\x80", bad(0, 1)},
      {"\xED\xA0\x80", bad(0, 1)},
      {"\xF0\x80\x80\x80", bad(0, 1)},
      {"\xF4\x90\x80\x80", bad(0, 1)},
      {"\xF5\x80", bad(0, 1)},
      {"ab\xE2\x82x", bad(2, 2)},
      {"\xF0\x9F\x98x", bad(0, 3)},
      {"ab\xE2\x82", cut(2)},
      {"\xF0\x9F\x98", cut(0)},
      {"\xC3", cut(0)},
  };
  for (const Case& c : cases) {
    const auto fault = find_utf8_fault(c.bytes);
    ASSERT_EQ(fault.has_value(), c.fault.has_value()) << c.bytes;
    if (fault) {
      EXPECT_EQ(fault->index, c.fault->index) << c.bytes;
      EXPECT_EQ(fault->length, c.fault->length) << c.bytes;
    }
  }
}

}  // namespace
}  // namespace corvid
