#include "channel/message.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "common/utf.h"

namespace corvid {

namespace {

using nlohmann::json;

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
// Descriptions of what was found where something else was expected

// The shortest digits that read back to the same double, without an exponent.
std::string float_text(double value) {
  std::array<char, 512> buffer{};
  const auto [end, code] =
      std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed);
  if (code != std::errc{})
    return "?";
  return std::string(buffer.data(), end);
}

// ---------------------------------------------------------------------------------------------
// The request parse

struct FieldInfo {
  std::string_view name;
  std::optional<std::string> Request::*member;
};

constexpr std::size_t kFieldCount = 7;
constexpr std::array<FieldInfo, kFieldCount> kFields = {{
    {"id", &Request::id},
    {"action", &Request::action},
    {"config", &Request::config},
    {"work_dir", &Request::work_dir},
    {"core_path", &Request::core_path},
    {"config_path", &Request::config_path},
    {"log_path", &Request::log_path},
}};

bool is_json_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool is_hex_digit(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hex_value(char c) {
  if (is_digit(c))
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return c - 'A' + 10;
}

// Walks the text for the parser and records how far it has read, so that the handler knows
// where each token ends (the parser itself reports a position only with its own errors).
class CountingIterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIterator() = default;
  CountingIterator(const char* begin, const char* pos, std::size_t* fetched)
      : begin_(begin), pos_(pos), fetched_(fetched) {}

  reference operator*() const { return *pos_; }
  CountingIterator& operator++() {
    ++pos_;
    if (fetched_ != nullptr)
      *fetched_ = static_cast<std::size_t>(pos_ - begin_);
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const CountingIterator& other) const { return pos_ == other.pos_; }

 private:
  const char* begin_ = nullptr;
  const char* pos_ = nullptr;
  std::size_t* fetched_ = nullptr;
};

struct Failure {
  std::string message;
  std::size_t consumed = 0;  // bytes of the text read when the failure showed
};

// Turns the parser's events into a Request. It follows where the parser stands (which value
// or separator comes next, inside what), so that a failure is named from that place and the
// byte found there rather than from the library's own wording.
class RequestReader : public nlohmann::json_sax<json> {
 public:
  RequestReader(std::string_view text, const std::size_t& fetched)
      : text_(text), fetched_(fetched) {}

  const Request& request() const { return request_; }
  const std::optional<Failure>& failure() const { return failure_; }

  // After the parser accepted the text: only JSON white space may follow the value. (The
  // parser takes a NUL byte for the end of the text.)
  bool check_end() {
    const std::size_t next = skip_space(end_);
    if (next < text_.size())
      return fail_at(next, "trailing characters");
    return true;
  }

  bool null() override { return scalar(Scalar::kNull, "null", fetched_); }
  bool boolean(bool value) override {
    return scalar(Scalar::kOther, value ? "boolean `true`" : "boolean `false`", fetched_);
  }
  bool number_integer(number_integer_t value) override {
    // The parser reports a signed integer only after a minus sign: a zero here was "-0".
    const std::string digits = std::to_string(value);
    const std::size_t length = value == 0 ? 2 : digits.size();
    return number("integer `" + digits + "`", length);
  }
  bool number_unsigned(number_unsigned_t value) override {
    const std::string digits = std::to_string(value);
    return number("integer `" + digits + "`", digits.size());
  }
  bool number_float(number_float_t value, const string_t& token) override {
    return number("floating point `" + float_text(value) + "`", token.size());
  }
  bool string(string_t& value) override {
    const std::size_t start = value_start();
    if (frames_.empty()) {
      return fail_after(fetched_,
                        "invalid type: string " + json(value).dump() + ", expected struct Request");
    }
    if (!take_value(start))
      return false;
    if (std::optional<std::string> Request::*member = target(); member != nullptr)
      request_.*member = std::move(value);
    return finish_value(fetched_);
  }
  bool binary(binary_t&) override { return fail_after(fetched_, "expected value"); }

  bool start_object(std::size_t) override { return open(Frame::kRequest, Frame::kSkippedObject); }
  bool start_array(std::size_t) override { return open(Frame::kPositional, Frame::kSkippedArray); }

  bool key(string_t& name) override {
    end_ = fetched_;
    after_ = After::kKey;
    field_ = kSkip;
    if (frames_.back().kind != Frame::kRequest)
      return true;
    for (std::size_t i = 0; i < kFieldCount; ++i) {
      if (kFields[i].name != name)
        continue;
      // A `null` counts as given here too.
      if (seen_[i])
        return fail_after(end_, "duplicate field `" + name + "`");
      seen_[i] = true;
      field_ = i;
    }
    return true;
  }

  bool end_object() override { return close(); }

  bool end_array() override {
    const State& frame = frames_.back();
    if (frame.kind == Frame::kPositional && frame.count < kFieldCount) {
      return fail_after(fetched_, "invalid length " + std::to_string(frame.count) +
                                      ", expected struct Request with 7 elements");
    }
    return close();
  }

  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::detail::exception&) override {
    describe_error(position);
    return false;
  }

 private:
  enum class Frame { kRequest, kPositional, kSkippedObject, kSkippedArray };
  struct State {
    Frame kind;
    std::size_t count = 0;  // elements taken, in the positional form
  };
  // What the parser has just read, and so what it expects next.
  enum class After {
    kNothing,        // a value
    kObjectOpening,  // a key or `}`
    kKey,            // `:` and a value
    kMember,         // `,` and a key, or `}`
    kArrayOpening,   // a value or `]`
    kElement,        // `,` and a value, or `]`
    kValue,          // the end of the text
  };
  enum class Scalar { kNull, kOther };

  static constexpr std::size_t kSkip = kFieldCount;

  std::size_t skip_space(std::size_t pos) const {
    while (pos < text_.size() && is_json_space(text_[pos]))
      ++pos;
    return pos;
  }

  // Past white space, the separator the parser has already taken, and white space.
  std::size_t past_separator(std::size_t pos) const { return skip_space(skip_space(pos) + 1); }

  // Where the value being reported starts.
  std::size_t value_start() const {
    switch (after_) {
      case After::kKey:
      case After::kElement:
        return past_separator(end_);
      default:
        return skip_space(end_);
    }
  }

  bool fail(std::string message, std::size_t consumed) {
    failure_ = Failure{std::move(message), std::min(consumed, text_.size())};
    return false;
  }
  // The failure shows at the byte at `pos`.
  bool fail_at(std::size_t pos, std::string message) { return fail(std::move(message), pos + 1); }
  // The failure shows once `consumed` bytes have been read (a whole token, or the end).
  bool fail_after(std::size_t consumed, std::string message) {
    return fail(std::move(message), consumed);
  }

  // The field that the value in hand fills, or nullptr when it is skipped.
  std::optional<std::string> Request::*target() const {
    const State& frame = frames_.back();
    if (frame.kind == Frame::kRequest && field_ != kSkip)
      return kFields[field_].member;
    if (frame.kind == Frame::kPositional)
      return kFields[frame.count].member;
    return nullptr;
  }

  // Checks a value that has begun at `start` against its place; false once failed.
  bool take_value(std::size_t start) {
    const State& frame = frames_.back();
    if (frame.kind == Frame::kPositional && frame.count == kFieldCount)
      return fail_at(start, "trailing characters");
    return true;
  }

  // Reports a value that is neither a string nor null.
  bool wrong_type(std::string_view found, std::size_t consumed) {
    if (frames_.empty())
      return fail_after(consumed,
                        "invalid type: " + std::string(found) + ", expected struct Request");
    return fail_after(consumed, "invalid type: " + std::string(found) + ", expected a string");
  }

  // A value is complete; `consumed` is where it ends.
  bool finish_value(std::size_t consumed) {
    end_ = consumed;
    if (frames_.empty()) {
      after_ = After::kValue;
      return true;
    }
    State& frame = frames_.back();
    if (frame.kind == Frame::kPositional)
      ++frame.count;
    const bool in_object = frame.kind == Frame::kRequest || frame.kind == Frame::kSkippedObject;
    after_ = in_object ? After::kMember : After::kElement;
    return true;
  }

  bool scalar(Scalar kind, std::string_view found, std::size_t consumed) {
    const std::size_t start = value_start();
    if (frames_.empty())
      return wrong_type(found, consumed);
    if (!take_value(start))
      return false;
    if (target() != nullptr && kind != Scalar::kNull)
      return wrong_type(found, consumed);
    return finish_value(consumed);
  }

  bool number(const std::string& found, std::size_t length) {
    const std::size_t end = value_start() + length;
    // A zero followed by a digit: the parser reads a second number there.
    if (end < text_.size() && is_digit(text_[end]))
      return fail_at(end, "invalid number");
    return scalar(Scalar::kOther, found, end);
  }

  bool open(Frame top_level, Frame skipped) {
    const std::size_t start = value_start();
    const bool object = skipped == Frame::kSkippedObject;
    if (frames_.empty()) {
      frames_.push_back({top_level});
    } else {
      if (!take_value(start))
        return false;
      if (target() != nullptr)
        return wrong_type(object ? "map" : "sequence", start + 1);
      frames_.push_back({skipped});
    }
    end_ = start + 1;
    after_ = object ? After::kObjectOpening : After::kArrayOpening;
    return true;
  }

  bool close() {
    frames_.pop_back();
    return finish_value(fetched_);
  }

  bool eof(std::string message) { return fail(std::move(message), text_.size()); }

  // Names the failure that the parser met at `position` (its count of characters read, the end
  // of the text counting as one).
  void describe_error(std::size_t position) {
    const std::size_t size = text_.size();
    // The byte the parser stopped at; `size` stands for the end of the text.
    const std::size_t stop = std::min(position == 0 ? 0 : position - 1, size);
    const std::size_t next = skip_space(end_);
    const bool at_end = next >= size;
    switch (after_) {
      case After::kNothing:
        value_error(next, stop, position, false);
        return;
      case After::kObjectOpening:
        key_error(next, stop, false);
        return;
      case After::kKey:
        if (!at_end && text_[next] == ':') {
          value_error(skip_space(next + 1), stop, position, false);
          return;
        }
        at_end ? eof("EOF while parsing an object") : fail_at(next, "expected `:`");
        return;
      case After::kMember:
        if (!at_end && text_[next] == ',') {
          key_error(skip_space(next + 1), stop, true);
          return;
        }
        at_end ? eof("EOF while parsing an object") : fail_at(next, "expected `,` or `}`");
        return;
      case After::kArrayOpening:
        if (at_end) {
          eof("EOF while parsing a list");
          return;
        }
        value_error(next, stop, position, false);
        return;
      case After::kElement:
        element_error(next, stop, position);
        return;
      case After::kValue:
        at_end ? eof("trailing characters") : fail_at(next, "trailing characters");
        return;
    }
  }

  void element_error(std::size_t next, std::size_t stop, std::size_t position) {
    const std::size_t size = text_.size();
    const bool at_end = next >= size;
    const State& frame = frames_.back();
    if (frame.kind == Frame::kPositional && frame.count == kFieldCount) {
      // All seven are there: only the closing bracket may come.
      if (at_end) {
        eof("EOF while parsing a list");
      } else if (text_[next] == ',') {
        const std::size_t after = skip_space(next + 1);
        if (after < size && text_[after] == ']')
          fail_at(after, "trailing comma");
        else
          after < size ? fail_at(after, "trailing characters") : eof("trailing characters");
      } else {
        fail_at(next, "trailing characters");
      }
      return;
    }
    if (!at_end && text_[next] == ',') {
      value_error(skip_space(next + 1), stop, position, true);
      return;
    }
    at_end ? eof("EOF while parsing a list") : fail_at(next, "expected `,` or `]`");
  }

  // A value should start at `start`.
  void value_error(std::size_t start, std::size_t stop, std::size_t position, bool after_comma) {
    const std::size_t size = text_.size();
    if (start >= size) {
      eof("EOF while parsing a value");
      return;
    }
    const char c = text_[start];
    if (c == ']' && after_comma) {
      fail_at(start,
              frames_.back().kind == Frame::kPositional ? "trailing comma" : "expected value");
    } else if (c == '"') {
      string_error(start, stop);
    } else if (c == '-' || is_digit(c)) {
      if (stop >= size)
        eof("EOF while parsing a value");
      else if (is_digit(text_[stop]))
        // The number itself was read whole: it is too large for a double.
        fail_after(position, "number out of range");
      else
        fail_at(stop, "invalid number");
    } else if (c == 'n' || c == 't' || c == 'f') {
      stop >= size ? eof("EOF while parsing a value") : fail_at(stop, "expected ident");
    } else {
      fail_at(start, "expected value");
    }
  }

  // A key should start at `start`.
  void key_error(std::size_t start, std::size_t stop, bool after_comma) {
    if (start >= text_.size()) {
      eof("EOF while parsing an object");
      return;
    }
    const char c = text_[start];
    if (c == '"') {
      string_error(start, stop);
    } else if (c == '}' && after_comma && frames_.back().kind == Frame::kRequest) {
      fail_at(start, "trailing comma");
    } else {
      fail_at(start, "key must be a string");
    }
  }

  // The string that opens at `start` is malformed at `stop`.
  void string_error(std::size_t start, std::size_t stop) {
    if (stop >= text_.size()) {
      eof("EOF while parsing a string");
      return;
    }
    // Where inside the string the parser was when it met the byte at `stop`.
    enum class In { kText, kEscape, kHex, kAfterLeading, kAfterLeadingSlash } in = In::kText;
    int digits = 0;
    int code = 0;
    bool second = false;  // in the escape after a leading surrogate
    for (std::size_t i = start + 1; i < stop; ++i) {
      const char c = text_[i];
      switch (in) {
        case In::kText:
          if (c == '\\')
            in = In::kEscape;
          break;
        case In::kEscape:
          if (c == 'u') {
            in = In::kHex;
            digits = 0;
            code = 0;
          } else {
            in = In::kText;
          }
          break;
        case In::kHex:
          code = code * 16 + hex_value(c);
          if (++digits == 4) {
            const bool leading = code >= 0xD800 && code <= 0xDBFF;
            in = (leading && !second) ? In::kAfterLeading : In::kText;
            second = false;
          }
          break;
        case In::kAfterLeading:
          in = In::kAfterLeadingSlash;
          break;
        case In::kAfterLeadingSlash:
          in = In::kHex;
          digits = 0;
          code = 0;
          second = true;
          break;
      }
    }
    const char c = text_[stop];
    switch (in) {
      case In::kText:
        fail_at(stop, "control character (\\u0000-\\u001F) found while parsing a string");
        return;
      case In::kEscape:
        fail_at(stop, "invalid escape");
        return;
      case In::kHex:
        if (!is_hex_digit(c) || digits != 3) {
          fail_at(stop, "invalid escape");
          return;
        }
        // The fourth digit completed a surrogate that stands alone.
        fail_at(stop, "lone leading surrogate in hex escape");
        return;
      case In::kAfterLeading:
      case In::kAfterLeadingSlash:
        fail_at(stop, "unexpected end of hex escape");
        return;
    }
  }

  std::string_view text_;
  const std::size_t& fetched_;
  Request request_;
  std::optional<Failure> failure_;
  std::vector<State> frames_;
  After after_ = After::kNothing;
  std::size_t end_ = 0;  // where the last token the handler saw ends
  std::size_t field_ = kSkip;
  std::array<bool, kFieldCount> seen_{};
};

// "<message> at line L column C"; C counts the bytes of its line up to and including the one
// where the failure showed.
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

Result<Request> parse_json(std::string_view text) {
  const auto rejected = [&](const Failure& failure) {
    return std::unexpected(Error("invalid request: " + std::string(text), located(failure, text)));
  };
  // The parser would pass over a byte-order mark; here it is no white space and starts no value.
  if (text.starts_with("\xEF\xBB\xBF"))
    return rejected(Failure{"expected value", 1});

  std::size_t fetched = 0;
  RequestReader reader(text, fetched);
  const CountingIterator first(text.data(), text.data(), &fetched);
  const CountingIterator last(text.data(), text.data() + text.size(), nullptr);
  const bool accepted = json::sax_parse(first, last, &reader) && reader.check_end();
  if (!accepted) {
    if (reader.failure())
      return rejected(*reader.failure());
    return rejected(Failure{"expected value", fetched});
  }
  return reader.request();
}

}  // namespace

Result<Request> parse_request(std::string_view line) {
  if (std::optional<Error> error = utf8_error(line))
    return std::unexpected(std::move(*error));
  const std::string_view text = trim_white_space(line);
  try {
    return parse_json(text);
  } catch (const std::exception& error) {
    return std::unexpected(Error("invalid request: " + std::string(text), error.what()));
  } catch (...) {
    return std::unexpected(Error("invalid request: " + std::string(text), "parser failure"));
  }
}

Result<std::string> encode_response(const Response& response) {
  try {
    // The members in this order, always all four; dump() writes the string escapes and the
    // object keys in ascending byte order.
    std::string out = "{\"id\":";
    out += response.id ? json(*response.id).dump() : "null";
    out += ",\"ok\":";
    out += response.ok ? "true" : "false";
    out += ",\"error\":";
    out += response.error ? json(*response.error).dump() : "null";
    out += ",\"data\":";
    out += response.data ? response.data->dump() : "null";
    out += "}\n";
    return out;
  } catch (const std::exception& error) {
    return std::unexpected(Error("response not encodable", error.what()));
  }
}

}  // namespace corvid
