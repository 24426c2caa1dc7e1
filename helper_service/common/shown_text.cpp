#include "common/shown_text.h"

#include <cstdio>

namespace corvid {

std::size_t line_breaker_length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  if (byte(i) < 0x20 || byte(i) == 0x7f)
    return 1;
  if (byte(i) == 0xc2 && i + 1 < text.size() && byte(i + 1) == 0x85)
    return 2;
  if (byte(i) == 0xe2 && i + 2 < text.size() && byte(i + 1) == 0x80 &&
      (byte(i + 2) == 0xa8 || byte(i + 2) == 0xa9))
    return 3;
  return 0;
}

bool has_line_breaker(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (line_breaker_length(text, i) != 0)
      return true;
  }
  return false;
}

std::size_t escaped_length(std::string_view text, std::size_t i) {
  if (const std::size_t length = line_breaker_length(text, i); length != 0)
    return length;
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  // U+0080 to U+009F.
  if (byte(i) == 0xc2 && i + 1 < text.size() && byte(i + 1) >= 0x80 && byte(i + 1) <= 0x9f)
    return 2;
  // U+202A to U+202E, U+2066 to U+2069.
  if (byte(i) == 0xe2 && i + 2 < text.size() &&
      ((byte(i + 1) == 0x80 && byte(i + 2) >= 0xaa && byte(i + 2) <= 0xae) ||
       (byte(i + 1) == 0x81 && byte(i + 2) >= 0xa6 && byte(i + 2) <= 0xa9)))
    return 3;
  return 0;
}

std::string escape_line_breakers(std::string_view text, bool keep_line_feeds) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = escaped_length(text, i);
    if (length == 0 || (keep_line_feeds && text[i] == '\n')) {
      out += text[i++];
      continue;
    }
    // The code point of a one-, two- or three-byte sequence.
    const auto byte = [&](std::size_t k) { return static_cast<unsigned>(text[i + k]) & 0xffu; };
    unsigned code = byte(0);
    if (length == 2)
      code = ((byte(0) & 0x1f) << 6) | (byte(1) & 0x3f);
    else if (length == 3)
      code = ((byte(0) & 0x0f) << 12) | ((byte(1) & 0x3f) << 6) | (byte(2) & 0x3f);
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\u%04x", code);
    out += escaped;
    i += length;
  }
  return out;
}

std::string shown_text(std::string_view text, std::size_t limit) {
  if (text.size() <= limit)
    return escape_line_breakers(text);
  std::size_t cut = limit;
  // Back off continuation bytes so that no character is cut in two.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
    --cut;
  return escape_line_breakers(text.substr(0, cut)) + "\xE2\x80\xA6 (" +
         std::to_string(text.size()) + " bytes)";
}

}  // namespace corvid
