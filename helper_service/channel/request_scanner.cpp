// The request line's reader: a strict scanner for the one grammar a request line has, which
// names each fault with the required message at the byte where it is seen.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <system_error>

#include "channel/message.h"
#include "channel/request_schema.h"
#include "common/shown_text.h"
#include "common/utf.h"

namespace corvid {

namespace {

using nlohmann::json;

constexpr std::size_t kFieldCount = kRequestFields.size();

// ---------------------------------------------------------------------------------------------
// Decoding and trimming

// The character that starts at `pos` of valid UTF-8, and its size in bytes.
struct Character {
  char32_t code = 0;
  std::size_t size = 0;
};

Character character_at(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  const std::size_t size = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  char32_t code = size == 1 ? lead : lead & (0x7F >> size);
  for (std::size_t k = 1; k < size; ++k)
    code = (code << 6) | (byte(pos + k) & 0x3F);
  return {code, size};
}

// The text is valid UTF-8, so its last character starts at the last byte that is no
// continuation byte.
std::string_view trim_white_space(std::string_view text) {
  while (!text.empty()) {
    const Character first = character_at(text, 0);
    if (!is_unicode_white_space(first.code))
      break;
    text.remove_prefix(first.size);
  }
  while (!text.empty()) {
    std::size_t start = text.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
      --start;
    if (!is_unicode_white_space(character_at(text, start).code))
      break;
    text.remove_suffix(text.size() - start);
  }
  return text;
}

std::optional<Error> utf8_error(std::string_view bytes) {
  const std::optional<Utf8Fault> fault = find_utf8_fault(bytes);
  if (!fault)
    return std::nullopt;
  if (fault->length) {
    return Error("invalid utf-8 sequence of " + std::to_string(*fault->length) +
                 " bytes from index " + std::to_string(fault->index));
  }
  return Error("incomplete utf-8 byte sequence from index " + std::to_string(fault->index));
}

// ---------------------------------------------------------------------------------------------
// Numbers met where a string or the request was expected, described for "invalid type"

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// The digits of a JSON number: `integer` and `fraction` as written, `exponent` already summed.
struct Decimal {
  bool negative = false;
  std::string_view integer;
  std::string_view fraction;
  std::int64_t exponent = 0;
};

// The double nearest to the number; empty when that is beyond the largest double.
std::optional<double> nearest_double(const Decimal& number) {
  // Significant digits `digits` times 10 to the power `scale`.
  std::string digits;
  std::int64_t scale = number.exponent - static_cast<std::int64_t>(number.fraction.size());
  // A double is decided by its first 768 significant digits and whether any further one is
  // non-zero, so a long tail is cut to one non-zero digit: this keeps the work bounded.
  constexpr std::size_t kKept = 800;
  bool cut = false;
  for (const std::string_view part : {number.integer, number.fraction}) {
    for (const char c : part) {
      if (digits.empty() && c == '0')
        continue;
      if (digits.size() < kKept) {
        digits += c;
      } else {
        cut = cut || c != '0';
        ++scale;
      }
    }
  }
  const double zero = number.negative ? -0.0 : 0.0;
  if (digits.empty())
    return zero;
  if (cut) {
    digits += '1';
    --scale;
  }
  // The value lies in [10^(magnitude - 1), 10^magnitude).
  const std::int64_t magnitude = scale + static_cast<std::int64_t>(digits.size());
  if (magnitude > 310)
    return std::nullopt;
  if (magnitude < -330)
    return zero;
  digits += 'e' + std::to_string(scale);
  double value = 0;
  const auto [end, code] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (code == std::errc::result_out_of_range)
    return magnitude > 0 ? std::nullopt : std::optional<double>(zero);
  if (code != std::errc{} || end != digits.data() + digits.size() || std::isinf(value))
    return std::nullopt;
  return number.negative ? -value : value;
}

// The shortest digits that read back to the same double, written out without an exponent.
std::string float_text(double value) {
  std::array<char, 64> buffer{};
  const auto [end, code] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                         std::chars_format::scientific);
  if (code != std::errc{})
    return "?";
  // "-d.ddde-xx": a sign, the digits around the point, the exponent.
  const std::string_view written(buffer.data(), static_cast<std::size_t>(end - buffer.data()));
  const std::size_t e = written.find('e');
  std::string out;
  std::string digits;
  for (const char c : written.substr(0, e)) {
    if (c == '-')
      out += c;
    else if (c != '.')
      digits += c;
  }
  int exponent = 0;
  const std::string_view power = written.substr(e + 1);
  const char* first = power.data() + (power[0] == '+' ? 1 : 0);
  if (std::from_chars(first, power.data() + power.size(), exponent).ec != std::errc{})
    return "?";
  // Digits before the point.
  const int point = exponent + 1;
  const int count = static_cast<int>(digits.size());
  if (point <= 0)
    return out + "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
  if (point >= count)
    return out + digits + std::string(static_cast<std::size_t>(point - count), '0');
  return out + digits.substr(0, static_cast<std::size_t>(point)) + "." +
         digits.substr(static_cast<std::size_t>(point));
}

// "integer `N`" while the number is an integer that fits 64 bits (unsigned, or signed when
// negative; "-0" is no integer), otherwise "floating point `X`".
std::optional<std::string> number_text(const Decimal& number, bool is_float) {
  const std::string_view digits = number.integer;
  const auto fits = [&](std::string_view limit) {
    return digits.size() < limit.size() || (digits.size() == limit.size() && digits <= limit);
  };
  if (!is_float && !number.negative && fits("18446744073709551615"))
    return "integer `" + std::string(digits) + "`";
  if (!is_float && number.negative && digits != "0" && fits("9223372036854775808"))
    return "integer `-" + std::string(digits) + "`";
  const std::optional<double> value = nearest_double(number);
  if (!value)
    return std::nullopt;
  return "floating point `" + float_text(*value) + "`";
}

// ---------------------------------------------------------------------------------------------
// The request parse: a strict scanner for the one grammar a request line has. It stops at the
// first fault and names it with the number of bytes it had consumed by then.

struct Failure {
  std::string message;
  std::size_t consumed = 0;
};

class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  std::optional<Request> parse() {
    Request request;
    skip_space();
    bool parsed = false;
    if (at_end())
      parsed = fail_peek("EOF while parsing a value");
    else if (peek() == '{')
      parsed = request_object(request);
    else if (peek() == '[')
      parsed = positional_form(request);
    else
      parsed = wrong_type(", expected struct Request");
    if (!parsed)
      return std::nullopt;
    skip_space();
    if (!at_end()) {
      fail_peek("trailing characters");
      return std::nullopt;
    }
    return request;
  }

  const Failure& failure() const { return failure_; }

 private:
  bool at_end() const { return pos_ >= text_.size(); }
  // The next byte, or NUL at the end (no JSON token starts with either).
  char peek() const { return at_end() ? '\0' : text_[pos_]; }
  char next() { return at_end() ? '\0' : text_[pos_++]; }

  void skip_space() {
    while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r'))
      ++pos_;
  }

  // A fault found once the bytes so far were consumed, or one shown by the byte ahead (that
  // byte counts; the end of the text does not).
  bool fail_here(std::string message) {
    failure_ = {std::move(message), pos_};
    return false;
  }
  bool fail_peek(std::string message) {
    failure_ = {std::move(message), at_end() ? text_.size() : pos_ + 1};
    return false;
  }

  // `{` members `}`: known keys fill their field once, other members are skipped.
  bool request_object(Request& request) {
    ++pos_;
    std::array<bool, kFieldCount> seen{};
    for (bool first = true;; first = false) {
      skip_space();
      if (at_end())
        return fail_peek("EOF while parsing an object");
      if (peek() == '}')
        break;
      if (!first) {
        if (peek() != ',')
          return fail_peek("expected `,` or `}`");
        if (!value_after_comma('}'))
          return false;
      }
      if (peek() != '"')
        return fail_peek("key must be a string");
      ++pos_;
      std::string key;
      if (!string_rest(&key))
        return false;
      std::size_t field = 0;
      while (field < kFieldCount && kRequestFields[field].name != key)
        ++field;
      if (field < kFieldCount && seen[field])
        return fail_here("duplicate field `" + key + "`");
      if (!colon())
        return false;
      if (field == kFieldCount) {
        if (!skip_value())
          return false;
        continue;
      }
      seen[field] = true;  // a null counts as given too
      if (!optional_string(request.*kRequestFields[field].member))
        return false;
    }
    ++pos_;
    return true;
  }

  // At a comma between members or elements: a value must follow it, not the end of the text or
  // the closing bracket `close`.
  bool value_after_comma(char close) {
    ++pos_;
    skip_space();
    if (at_end())
      return fail_peek("EOF while parsing a value");
    if (peek() == close)
      return fail_peek("trailing comma");
    return true;
  }

  bool colon() {
    skip_space();
    if (at_end())
      return fail_peek("EOF while parsing an object");
    if (peek() != ':')
      return fail_peek("expected `:`");
    ++pos_;
    return true;
  }

  // `[` seven values `]`, each null or a string, in field order.
  bool positional_form(Request& request) {
    ++pos_;
    for (std::size_t i = 0; i < kFieldCount; ++i) {
      skip_space();
      if (at_end())
        return fail_peek("EOF while parsing a list");
      if (peek() == ']') {
        ++pos_;
        return fail_here("invalid length " + std::to_string(i) +
                         ", expected struct Request with 7 elements");
      }
      if (i > 0) {
        if (peek() != ',')
          return fail_peek("expected `,` or `]`");
        if (!value_after_comma(']'))
          return false;
      }
      if (!optional_string(request.*kRequestFields[i].member))
        return false;
    }
    skip_space();
    if (at_end())
      return fail_peek("EOF while parsing a list");
    if (peek() == ',') {
      ++pos_;
      skip_space();
      return fail_peek(peek() == ']' ? "trailing comma" : "trailing characters");
    }
    if (peek() != ']')
      return fail_peek("trailing characters");
    ++pos_;
    return true;
  }

  // A field's value: null, or a string.
  bool optional_string(std::optional<std::string>& field) {
    skip_space();
    if (peek() == 'n') {
      field.reset();
      return literal("null");
    }
    if (at_end())
      return fail_peek("EOF while parsing a value");
    if (peek() != '"')
      return wrong_type(", expected a string");
    ++pos_;
    std::string text;
    if (!string_rest(&text))
      return false;
    field = std::move(text);
    return true;
  }

  // Names the value ahead, which is of the wrong kind. A scalar is read whole first (and may
  // fail on its own); an array or object is named from its bracket alone.
  bool wrong_type(std::string_view expected) {
    std::string found;
    const char c = peek();
    if (c == '[' || c == '{') {
      found = c == '[' ? "sequence" : "map";
    } else if (c == 'n' || c == 't' || c == 'f') {
      const std::string_view word = literal_word(c);
      if (!literal(word))
        return false;
      found = c == 'n' ? "null" : "boolean `" + std::string(word) + "`";
    } else if (c == '-' || is_digit(c)) {
      if (!number(found))
        return false;
    } else if (c == '"') {
      ++pos_;
      std::string text;
      if (!string_rest(&text))
        return false;
      // The string is the whole request: bounded as the request is.
      found =
          "string " + shown_text(json(text).dump(-1, ' ', false, json::error_handler_t::replace));
    } else {
      return fail_peek("expected value");
    }
    return fail_here("invalid type: " + found + std::string(expected));
  }

  // The literal that begins with `c`: 'n', 't' or 'f'.
  static std::string_view literal_word(char c) {
    return c == 'n' ? "null" : c == 't' ? "true" : "false";
  }

  // null, true or false, whose first letter is ahead.
  bool literal(std::string_view word) {
    ++pos_;
    for (const char expected : word.substr(1)) {
      if (at_end())
        return fail_here("EOF while parsing a value");
      if (next() != expected)
        return fail_here("expected ident");
    }
    return true;
  }

  // A number where a string or the request was expected, read whole and described.
  bool number(std::string& found) {
    Decimal decimal;
    bool is_float = false;
    if (!scan_number(&decimal, &is_float))
      return false;
    const std::optional<std::string> text = number_text(decimal, is_float);
    if (!text)
      return fail_here("number out of range");
    found = *text;
    return true;
  }

  // A number's form, read whole whatever its size. Where the text ends too soon, a field's number
  // (`value` given, to be filled) is incomplete, a skipped one malformed.
  bool scan_number(Decimal* value, bool* is_float) {
    const char* const ended = value != nullptr ? "EOF while parsing a value" : "invalid number";
    Decimal decimal;
    decimal.negative = peek() == '-';
    if (decimal.negative)
      ++pos_;
    if (at_end())
      return fail_here(ended);
    const std::size_t integer = pos_;
    const char lead = next();
    if (lead == '0') {
      if (is_digit(peek()))
        return fail_peek("invalid number");
    } else if (is_digit(lead)) {
      while (is_digit(peek()))
        ++pos_;
    } else {
      return fail_here("invalid number");
    }
    decimal.integer = text_.substr(integer, pos_ - integer);
    bool fractional = false;
    if (peek() == '.') {
      const std::size_t fraction = ++pos_;
      while (is_digit(peek()))
        ++pos_;
      if (pos_ == fraction)
        return fail_peek(at_end() ? ended : "invalid number");
      decimal.fraction = text_.substr(fraction, pos_ - fraction);
      fractional = true;
    }
    if (peek() == 'e' || peek() == 'E') {
      ++pos_;
      fractional = true;
      const bool negative_exponent = peek() == '-';
      if (peek() == '+' || peek() == '-')
        ++pos_;
      if (at_end())
        return fail_here(ended);
      const char first = next();
      if (!is_digit(first))
        return fail_here("invalid number");
      // An exponent further out than any text is long decides alone: a non-zero number is then
      // infinite or zero, so it can stop growing there.
      constexpr std::int64_t kFar = 1'000'000'000'000'000;
      std::int64_t exponent = first - '0';
      while (is_digit(peek()))
        exponent = std::min(exponent * 10 + (next() - '0'), kFar);
      decimal.exponent = negative_exponent ? -exponent : exponent;
    }
    if (value != nullptr) {
      *value = decimal;
      *is_float = fractional;
    }
    return true;
  }

  // The rest of a string after its opening quote. A field's string or a key (`out` given) is
  // decoded, and its \u escapes must pair up into characters; a skipped one is only checked, and
  // there a raw control character is reported before it is consumed.
  bool string_rest(std::string* out) {
    std::size_t copied = pos_;
    const auto copy = [&] {
      if (out != nullptr)
        out->append(text_.substr(copied, pos_ - copied));
    };
    for (;;) {
      while (!at_end() && peek() != '"' && peek() != '\\' &&
             static_cast<unsigned char>(peek()) >= 0x20)
        ++pos_;
      if (at_end())
        return fail_here("EOF while parsing a string");
      const char c = peek();
      copy();
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c != '\\') {
        if (out != nullptr)
          ++pos_;
        return fail_here("control character (\\u0000-\\u001F) found while parsing a string");
      }
      ++pos_;
      if (!escape(out))
        return false;
      copied = pos_;
    }
  }

  // After a backslash.
  bool escape(std::string* out) {
    if (at_end())
      return fail_here("EOF while parsing a string");
    const char c = next();
    const std::string_view letters = "\"\\/bfnrt";
    const std::string_view meanings = "\"\\/\b\f\n\r\t";
    if (const std::size_t i = letters.find(c); i != std::string_view::npos) {
      if (out != nullptr)
        *out += meanings[i];
      return true;
    }
    if (c != 'u')
      return fail_here("invalid escape");
    char16_t unit = 0;
    if (!hex_digits(unit))
      return false;
    if (out == nullptr)
      return true;
    if (unit >= 0xDC00 && unit <= 0xDFFF)
      return fail_here("lone leading surrogate in hex escape");
    if (unit < 0xD800 || unit > 0xDFFF) {
      *out += utf16_to_utf8(std::u16string(1, unit));
      return true;
    }
    // A leading surrogate: the trailing one must follow as the next escape.
    for (const char expected : {'\\', 'u'}) {
      if (at_end())
        return fail_here("EOF while parsing a string");
      if (next() != expected)
        return fail_here("unexpected end of hex escape");
    }
    char16_t trailing = 0;
    if (!hex_digits(trailing))
      return false;
    if (trailing < 0xDC00 || trailing > 0xDFFF)
      return fail_here("lone leading surrogate in hex escape");
    *out += utf16_to_utf8(std::u16string{unit, trailing});
    return true;
  }

  // The four digits of a \u escape.
  bool hex_digits(char16_t& unit) {
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
      if (at_end())
        return fail_here("EOF while parsing a string");
      const char c = next();
      unsigned digit = 0;
      if (is_digit(c))
        digit = static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f')
        digit = static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        digit = static_cast<unsigned>(c - 'A' + 10);
      else
        return fail_here("invalid escape");
      value = value * 16 + digit;
    }
    unit = static_cast<char16_t>(value);
    return true;
  }

  // The value of an unknown key, of any kind and depth: checked for form only, without
  // recursion (the brackets still open are kept in `open`).
  bool skip_value() {
    std::string open;
    for (;;) {
      skip_space();
      if (at_end())
        return fail_peek("EOF while parsing a value");
      const char c = peek();
      bool opened = false;
      if (c == '[' || c == '{') {
        ++pos_;
        open += c;
        opened = true;
      } else if (c == 'n' || c == 't' || c == 'f') {
        if (!literal(literal_word(c)))
          return false;
      } else if (c == '-' || is_digit(c)) {
        if (!scan_number(nullptr, nullptr))
          return false;
      } else if (c == '"') {
        ++pos_;
        if (!string_rest(nullptr))
          return false;
      } else {
        return fail_peek("expected value");
      }
      if (open.empty())
        return true;
      // Close what ends here, up to the comma before the next value or key.
      for (;;) {
        skip_space();
        const bool list = open.back() == '[';
        if (at_end())
          return fail_peek(list ? "EOF while parsing a list" : "EOF while parsing an object");
        if (peek() == ',' && !opened) {
          ++pos_;
          break;
        }
        if (peek() == (list ? ']' : '}')) {
          ++pos_;
          open.pop_back();
          if (open.empty())
            return true;
          opened = false;
          continue;
        }
        if (!opened)
          return fail_peek(list ? "expected `,` or `]`" : "expected `,` or `}`");
        break;
      }
      if (open.back() == '{') {
        skip_space();
        if (at_end())
          return fail_peek("EOF while parsing an object");
        if (peek() != '"')
          return fail_peek("key must be a string");
        ++pos_;
        if (!string_rest(nullptr) || !colon())
          return false;
      }
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  Failure failure_;
};

// "<message> at line L column C"; C counts the bytes of its line that were consumed.
std::string located(const Failure& failure, std::string_view text) {
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < failure.consumed && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return failure.message + " at line " + std::to_string(line) + " column " +
         std::to_string(failure.consumed - line_start);
}

// What the log shows of a rejected line: a request may be 16 MiB of anyone's text, a
// configuration with its credentials included, and the log is readable by every user. Its
// beginning tells a support engineer what was sent; its size, how much.
std::string rejected_text(std::string_view text) {
  return "invalid request: " + shown_text(text);
}

}  // namespace

Result<Request> parse_request(std::string_view line) {
  if (std::optional<Error> error = utf8_error(line))
    return std::unexpected(std::move(*error));
  const std::string_view text = trim_white_space(line);
  try {
    Scanner scanner(text);
    if (std::optional<Request> request = scanner.parse())
      return std::move(*request);
    return std::unexpected(Error(rejected_text(text), located(scanner.failure(), text)));
  } catch (const std::exception& error) {
    // Only memory can run out here.
    return std::unexpected(Error(rejected_text(text), error.what()));
  }
}

}  // namespace corvid
