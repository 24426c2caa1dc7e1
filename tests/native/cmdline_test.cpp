#include <gtest/gtest.h>

#include "common/cmdline.h"

namespace corvid {
namespace {

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

}  // namespace
}  // namespace corvid
