#include <gtest/gtest.h>

#include <string>

#include "common/shown_text.h"

namespace corvid {
namespace {

// Line breakers are escaped and refused in paths; C1 controls and direction overrides, which a
// Windows name may hold, are escaped only.
TEST(ShownText, EscapesEveryLineBreakerAndNothingElse) {
  struct Case {
    std::string text;
    std::string shown;
    bool breaks_lines;
  };
  const Case cases[] = {
      {"C:\\Corvid\\clash.log", "C:\\Corvid\\clash.log", false},
      {"a\nb", "a\\u000ab", true},
      {"a\rb", "a\\u000db", true},
      {"\x1b[2J", "\\u001b[2J", true},
      {"a\x7f", "a\\u007f", true},
      {"a\xc2\x85z", "a\\u0085z", true},
      {"a\xe2\x80\xa8z\xe2\x80\xa9", "a\\u2028z\\u2029", true},
      // CSI and the rest of C1: a console takes U+009B as ESC [.
      {"\xc2\x9b"
       "2J\xc2\x80\xc2\x9f",
       "\\u009b2J\\u0080\\u009f", false},
      // Embeddings, overrides and isolates reorder what a reader sees.
      {"a\xe2\x80\xaa\xe2\x80\xae"
       "exe.txt\xe2\x81\xa6\xe2\x81\xa9",
       "a\\u202a\\u202eexe.txt\\u2066\\u2069", false},
      // Other text stays, the neighbours of each escaped range included: U+00A0, U+2027, U+202F,
      // U+2065, U+206A.
      {"caf\xc3\xa9 \xc2\xa0\xe2\x80\xa7\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa",
       "caf\xc3\xa9 \xc2\xa0\xe2\x80\xa7\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa", false},
      {std::string("a\0b", 3), "a\\u0000b", true},
      // A sequence cut short at the end is no character: kept as it is.
      {"a\xc2", "a\xc2", false},
      {"a\xe2\x80", "a\xe2\x80", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(shown_text(c.text), c.shown) << c.text;
    EXPECT_EQ(has_line_breaker(c.text), c.breaks_lines) << c.text;
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
