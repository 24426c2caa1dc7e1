#include <gtest/gtest.h>

#include "common/utf.h"

namespace corvid {
namespace {

// The set is shared by the request trim and the system-message trim; its edges are where a
// hand-written list goes wrong.
TEST(UnicodeWhiteSpace, ExactlyTheWhiteSpaceProperty) {
  const char32_t white[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,  0x1680,
                            0x2000, 0x2005, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  for (const char32_t c : white)
    EXPECT_TRUE(is_unicode_white_space(c)) << std::hex << static_cast<unsigned>(c);

  // Neighbours of the set, and characters often taken for white space.
  const char32_t other[] = {0x00,   0x08,   0x0E,   0x21,   0x7F,    0x84,    0x86,
                            0x9F,   0xA1,   0x1FFF, 0x2027, 0x202A,  0x202E,  0x205E,
                            0x2060, 0x2FFF, 0x3001, 0xFFFD, 0x10000, 0x110000};
  const char32_t look_alike[] = {
      0x1C,   0x1D,   0x1E,   0x1F,  // information separators
      0x180E,                        // Mongolian vowel separator, white space in old Unicode
      0x200B, 0x200C, 0x200D,        // zero-width characters
      0xFEFF,                        // byte-order mark
  };
  for (const char32_t c : look_alike)
    EXPECT_FALSE(is_unicode_white_space(c)) << std::hex << static_cast<unsigned>(c);
  for (const char32_t c : other)
    EXPECT_FALSE(is_unicode_white_space(c)) << std::hex << static_cast<unsigned>(c);
}

}  // namespace
}  // namespace corvid
