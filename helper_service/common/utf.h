#pragma once
// UTF-8 inside, UTF-16 at the Windows API boundary.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace corvid {

// Invalid input (a bad UTF-8 sequence, an unpaired surrogate) becomes U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);
std::string utf16_to_utf8(std::u16string_view text);

// Where strict UTF-8 decoding stops: `length` is the size of the invalid sequence at `index`,
// or empty when the text ends in the middle of a character that starts at `index`.
struct Utf8Fault {
  std::size_t index = 0;
  std::optional<std::size_t> length;
};
std::optional<Utf8Fault> find_utf8_fault(std::string_view bytes);

// The Unicode White_Space property: what trimming removes from request lines and system
// messages. A byte-order mark and the zero-width space are not white space.
bool is_unicode_white_space(char32_t c);

#ifdef _WIN32
inline std::wstring to_wide(std::string_view text) {
  std::u16string wide = utf8_to_utf16(text);
  return std::wstring(wide.begin(), wide.end());
}
inline std::string from_wide(std::wstring_view text) {
  return utf16_to_utf8(
      std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}
#endif

}  // namespace corvid
