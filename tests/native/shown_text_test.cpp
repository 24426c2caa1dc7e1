#include <gtest/gtest.h>

#include <string>

#include "common/shown_text.h"

namespace corvid {
namespace {

TEST(ShownText, EscapesEveryLineBreakerAndNothingElse) {
  struct Case {
    std::string text;
    std::string shown;
  };
  const Case cases[] = {
      {"C:\\Corvid\\clash.log", "C:\\Corvid\\clash.log"},
      {"a\nb", "a\\u000ab"},
      {"a\rb", "a\\u000db"},
      {"\x1b[2J", "\\u001b[2J"},
      {"a\x7f", "a\\u007f"},
      {"a\xc2\x85z", "a\\u0085z"},
      {"a\xe2\x80\xa8z\xe2\x80\xa9", "a\\u2028z\\u2029"},
      // Other non-ASCII text, U+00A0 and U+2027 included, stays as it is.
      {"caf\xc3\xa9 \xc2\xa0\xe2\x80\xa7", "caf\xc3\xa9 \xc2\xa0\xe2\x80\xa7"},
      {std::string("a\0b", 3), "a\\u0000b"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(shown_text(c.text), c.shown) << c.text;
    EXPECT_EQ(has_line_breaker(c.text), c.shown != c.text) << c.text;
  }
}

TEST(ShownText, KeepsLineFeedsOnlyWhenAsked) {
  EXPECT_EQ(escape_line_breakers("one\ntwo\r\n", true), "one\ntwo\\u000d\n");
  EXPECT_EQ(escape_line_breakers("one\ntwo\r\n"), "one\\u000atwo\\u000d\\u000a");
}

TEST(ShownText, BoundsLongTextOnACharacterBoundary) {
  EXPECT_EQ(shown_text(std::string(256, 'x')), std::string(256, 'x'));
  EXPECT_EQ(shown_text(std::string(257, 'x')), std::string(256, 'x') + "\xE2\x80\xA6 (257 bytes)");
  // A two-byte character across the cut is left out whole.
  const std::string split = std::string(255, 'x') + "\xc3\xa9" + "tail";
  EXPECT_EQ(shown_text(split), std::string(255, 'x') + "\xE2\x80\xA6 (261 bytes)");
  // 16 MiB shows as its beginning and its size.
  const std::string huge(16 * 1024 * 1024, 'a');
  const std::string shown = shown_text(huge);
  EXPECT_LT(shown.size(), 300u);
  EXPECT_TRUE(shown.ends_with("(16777216 bytes)"));
  // Escapes are applied to what is shown, never cutting one in two.
  EXPECT_EQ(shown_text(std::string(300, '\n'), 4),
            "\\u000a\\u000a\\u000a\\u000a\xE2\x80\xA6 (300 bytes)");
}

}  // namespace
}  // namespace corvid
