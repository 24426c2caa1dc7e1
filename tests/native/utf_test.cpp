#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "common/utf.h"

namespace corvid {
namespace {

TEST(Utf, RoundTripAndReplacement) {
  const std::string text = "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80";
  const std::u16string wide = utf8_to_utf16(text);
  EXPECT_EQ(wide, u"caf\u00e9 \u20ac \U0001F600");
  EXPECT_EQ(utf16_to_utf8(wide), text);
  // Unpaired surrogates, leading or trailing, and bytes that are no UTF-8 become U+FFFD.
  const std::string fffd = "\xEF\xBF\xBD";
  const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00, 0};
  EXPECT_EQ(utf16_to_utf8(lone), "a" + fffd + "b" + fffd);
  const char16_t last[] = {u'x', 0xD83D, 0};
  EXPECT_EQ(utf16_to_utf8(last), "x" + fffd);
  EXPECT_EQ(utf8_to_utf16("a\xFF" + std::string("b")), u"a\uFFFDb");
}

// "bad N at I": N invalid bytes at index I; "cut at I": the text ends inside the character at I.
std::string fault_text(std::string_view bytes) {
  const std::optional<Utf8Fault> fault = find_utf8_fault(bytes);
  if (!fault)
    return "none";
  const std::string at = " at " + std::to_string(fault->index);
  return fault->length ? "bad " + std::to_string(*fault->length) + at : "cut" + at;
}

TEST(Utf, StrictFaults) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "none"},
      {"{\"a\xC3\xA9\"}", "none"},
      {"{\"id\xFF", "bad 1 at 4"},
      {"\x80", "bad 1 at 0"},
      {"\xC1\x80", "bad 1 at 0"},
      {"\xE0\x80\x80", "bad 1 at 0"},
      {"\xED\xA0\x80", "bad 1 at 0"},
      {"\xF0\x80\x80\x80", "bad 1 at 0"},
      {"\xF4\x90\x80\x80", "bad 1 at 0"},
      {"\xF5\x80", "bad 1 at 0"},
      {"ab\xE2\x82x", "bad 2 at 2"},
      {"\xF0\x9F\x98x", "bad 3 at 0"},
      {"ab\xE2\x82", "cut at 2"},
      {"\xF0\x9F\x98", "cut at 0"},
      {"\xC3", "cut at 0"},
  };
  for (const auto& [bytes, fault] : cases)
    EXPECT_EQ(fault_text(bytes), fault) << ::testing::PrintToString(bytes);
}

// The set is shared by the request trim and the system-message trim; its edges are where a
// hand-written list goes wrong.
TEST(UnicodeWhiteSpace, ExactlyTheWhiteSpaceProperty) {
  const char32_t white[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,  0x1680,
                            0x2000, 0x2005, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  // Neighbours of the set, then characters often taken for white space: information
  // separators, the Mongolian vowel separator (white space in old Unicode), zero-width
  // characters and the byte-order mark.
  const char32_t other[] = {0x00,   0x08,   0x0E,    0x21,     0x7F,   0x84,   0x86,   0x9F,
                            0xA1,   0x1FFF, 0x2027,  0x202A,   0x202E, 0x205E, 0x2060, 0x2FFF,
                            0x3001, 0xFFFD, 0x10000, 0x110000, 0x1C,   0x1D,   0x1E,   0x1F,
                            0x180E, 0x200B, 0x200C,  0x200D,   0xFEFF};
  for (const char32_t c : white)
    EXPECT_TRUE(is_unicode_white_space(c)) << std::hex << static_cast<unsigned>(c);
  for (const char32_t c : other)
    EXPECT_FALSE(is_unicode_white_space(c)) << std::hex << static_cast<unsigned>(c);
}

}  // namespace
}  // namespace corvid
