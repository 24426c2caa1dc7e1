#include "common/utf.h"

namespace corvid {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool is_continuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// Bounds of the second byte for a lead byte; the others accept 0x80..0xBF.
bool second_byte_ok(unsigned char lead, unsigned char next) {
  switch (lead) {
    case 0xE0:
      return next >= 0xA0 && next <= 0xBF;
    case 0xED:
      return next >= 0x80 && next <= 0x9F;
    case 0xF0:
      return next >= 0x90 && next <= 0xBF;
    case 0xF4:
      return next >= 0x80 && next <= 0x8F;
    default:
      return is_continuation(next);
  }
}

std::size_t sequence_width(unsigned char lead) {
  if (lead < 0x80)
    return 1;
  if (lead >= 0xC2 && lead <= 0xDF)
    return 2;
  if (lead >= 0xE0 && lead <= 0xEF)
    return 3;
  if (lead >= 0xF0 && lead <= 0xF4)
    return 4;
  return 0;
}

// Decodes one character at `pos`; on a fault reports it and how many bytes it spans.
struct Step {
  char32_t code = 0;
  std::size_t consumed = 0;
  bool ok = false;
  bool incomplete = false;
};

Step decode_one(std::string_view bytes, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(pos);
  const std::size_t width = sequence_width(lead);
  if (width == 0)
    return {0, 1, false, false};
  if (width == 1)
    return {lead, 1, true, false};
  char32_t code = lead & (0xFF >> (width + 1));
  for (std::size_t k = 1; k < width; ++k) {
    if (pos + k >= bytes.size())
      return {0, k, false, true};
    const unsigned char next = byte(pos + k);
    const bool ok = k == 1 ? second_byte_ok(lead, next) : is_continuation(next);
    if (!ok)
      return {0, k, false, false};
    code = (code << 6) | (next & 0x3F);
  }
  return {code, width, true, false};
}

void append_utf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

}  // namespace

std::optional<Utf8Fault> find_utf8_fault(std::string_view bytes) {
  for (std::size_t pos = 0; pos < bytes.size();) {
    const Step step = decode_one(bytes, pos);
    if (!step.ok) {
      if (step.incomplete)
        return Utf8Fault{pos, std::nullopt};
      return Utf8Fault{pos, step.consumed};
    }
    pos += step.consumed;
  }
  return std::nullopt;
}

bool is_unicode_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::u16string utf8_to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const Step step = decode_one(text, pos);
    pos += step.consumed;
    const char32_t code = step.ok ? step.code : kReplacement;
    if (code >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(code);
    }
  }
  return out;
}

std::string utf16_to_utf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      unit = 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      unit = kReplacement;
    }
    append_utf8(out, unit);
  }
  return out;
}

}  // namespace corvid
