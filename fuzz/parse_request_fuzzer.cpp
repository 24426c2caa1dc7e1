// libFuzzer target for the request line parser.
//
// Besides "no crash, no sanitizer report", every input is checked against what a request line
// must do:
//  - the same input always gives the same result, and nothing throws;
//  - malformed UTF-8 fails with the decoder's message (offsets checked against find_utf8_fault),
//    and only then;
//  - a JSON failure reads "invalid request: " + the trimmed text (its first 256 bytes, line
//    breakers escaped), with one cause
//    "<message> at line 1 column C" (C within the text), the message one of the parser's texts;
//  - a strict JSON parser (nlohmann's SAX) decides independently whether the trimmed text is
//    JSON (allowing, inside skipped values, unpaired surrogate escapes and numbers beyond a
//    double), and a small model of the record rules predicts the outcome: the exact Request, a
//    duplicate field, a wrongly typed field, a wrong length;
//  - every parsed Request survives a round trip (object form, positional form, white space
//    around, and the line encode_request builds), its strings are valid UTF-8, and encode_response
//    writes it back as exactly the bytes an independent encoder expects, which a strict JSON parser
//    accepts;
//  - inserting a well-formed member with an unknown key anywhere into an accepted request object
//    (numbers of any size and unpaired surrogate escapes included) keeps it accepted with the
//    same fields.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "channel/message.h"
#include "common/error.h"
#include "common/utf.h"

namespace {

using corvid::Error;
using corvid::Request;
using corvid::Response;
using json = nlohmann::json;

std::string_view g_input;

std::string printable(std::string_view bytes) {
  std::string out;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F && c != '\\') {
      out += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      out += hex;
    }
  }
  return out;
}

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "\nproperty violated: %s\ninput (%zu bytes): \"%s\"\n", what.c_str(),
               g_input.size(), printable(g_input).c_str());
  std::abort();
}

void expect(bool condition, const std::string& what) {
  if (!condition)
    fail(what);
}

std::string show(const std::optional<std::string>& field) {
  return field ? "\"" + printable(*field) + "\"" : "absent";
}

std::string show(const Request& r) {
  return "{id " + show(r.id) + ", action " + show(r.action) + ", config " + show(r.config) +
         ", work_dir " + show(r.work_dir) + ", core_path " + show(r.core_path) + ", config_path " +
         show(r.config_path) + ", log_path " + show(r.log_path) + "}";
}

std::string show(const Error& e) {
  std::string out = "error \"" + printable(e.message) + "\"";
  for (const std::string& cause : e.causes)
    out += " cause \"" + printable(cause) + "\"";
  return out;
}

std::string show(const corvid::Result<Request>& r) {
  return r ? show(*r) : show(r.error());
}

constexpr const char* kFieldNames[7] = {"id",        "action",      "config",  "work_dir",
                                        "core_path", "config_path", "log_path"};

std::optional<std::string>* field(Request& r, std::size_t index) {
  std::optional<std::string>* fields[7] = {&r.id,        &r.action,      &r.config,  &r.work_dir,
                                           &r.core_path, &r.config_path, &r.log_path};
  return fields[index];
}

const std::optional<std::string>& field(const Request& r, std::size_t index) {
  return *field(const_cast<Request&>(r), index);
}

// ---- Unicode white space, decoded independently of the code under test --------------------

bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Code points of valid UTF-8, with the byte offset where each starts.
std::vector<std::pair<std::size_t, char32_t>> code_points(std::string_view text) {
  std::vector<std::pair<std::size_t, char32_t>> out;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t width = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t code = width == 1 ? lead : lead & (0xFF >> (width + 1));
    for (std::size_t k = 1; k < width; ++k)
      code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    out.emplace_back(i, code);
    i += width;
  }
  return out;
}

std::string_view trim_unicode(std::string_view text) {
  const auto points = code_points(text);
  std::size_t first = 0;
  while (first < points.size() && is_unicode_space(points[first].second))
    ++first;
  if (first == points.size())
    return {};
  std::size_t last = points.size();
  while (is_unicode_space(points[last - 1].second))
    --last;
  const std::size_t begin = points[first].first;
  const std::size_t end = last < points.size() ? points[last].first : text.size();
  return text.substr(begin, end - begin);
}

// ---- an independent encoder of the expected response bytes -------------------------------

std::string encode_string(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (byte < 0x20) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\u%04x", byte);
          out += hex;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string encode_optional(const std::optional<std::string>& text) {
  return text ? encode_string(*text) : "null";
}

// A Request written back as a request line: the object form or the positional form.
std::string request_line(const Request& r, bool positional) {
  std::string out = positional ? "[" : "{";
  for (std::size_t i = 0; i < 7; ++i) {
    if (i != 0)
      out += ',';
    if (!positional)
      out += encode_string(kFieldNames[i]) + ":";
    out += encode_optional(field(r, i));
  }
  return out + (positional ? "]" : "}");
}

// ---- the record rules, applied to text that a strict JSON parser accepts ------------------

// What parse_request must produce for JSON text: the Request, or a failure whose cause starts
// with `prefix` and, when `suffix` is given, whose message ends with it.
struct Prediction {
  std::optional<Request> request;
  std::string prefix;
  std::string suffix;
};

// Collects the top-level value: for an object each member's key and value, for an array each
// element. Nested values only record what they are.
class TopLevel : public nlohmann::json_sax<json> {
 public:
  enum class Kind { kNull, kBool, kInteger, kFloat, kString, kArray, kObject };
  struct Item {
    std::string key;
    Kind kind = Kind::kNull;
    std::string text;  // the string's content, or the literal for true/false
  };

  std::optional<Kind> top;
  std::string top_text;
  std::vector<Item> items;

  bool null() override { return value(Kind::kNull, ""); }
  bool boolean(bool v) override { return value(Kind::kBool, v ? "true" : "false"); }
  bool number_integer(number_integer_t) override { return value(Kind::kInteger, ""); }
  bool number_unsigned(number_unsigned_t) override { return value(Kind::kInteger, ""); }
  bool number_float(number_float_t, const string_t&) override { return value(Kind::kFloat, ""); }
  bool string(string_t& v) override { return value(Kind::kString, v); }
  bool binary(binary_t&) override { return value(Kind::kNull, ""); }
  bool start_object(std::size_t) override { return open(Kind::kObject); }
  bool key(string_t& k) override {
    if (depth_ == 1)
      pending_key_ = k;
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(Kind::kArray); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  bool value(Kind kind, std::string text) {
    if (depth_ == 0) {
      top = kind;
      top_text = std::move(text);
    } else if (depth_ == 1) {
      items.push_back({pending_key_, kind, std::move(text)});
    }
    return true;
  }
  bool open(Kind kind) {
    if (depth_ == 0)
      top = kind;
    else if (depth_ == 1)
      items.push_back({pending_key_, kind, ""});
    ++depth_;
    return true;
  }
  bool close() {
    --depth_;
    return true;
  }

  int depth_ = 0;
  std::string pending_key_;
};

// The start of the "<found>" of an "invalid type" message for a value of this kind.
std::string found_text(const TopLevel::Item& item) {
  switch (item.kind) {
    case TopLevel::Kind::kNull:
      return "null";
    case TopLevel::Kind::kBool:
      return "boolean `" + item.text + "`";
    case TopLevel::Kind::kInteger:
    case TopLevel::Kind::kFloat:
      return "";  // "integer `N`" or "floating point `X`": whether -0 or 1e2 is an integer is the
                  // parser's own choice; the form of the text is checked with the other messages
    case TopLevel::Kind::kString:
      return "string ";
    case TopLevel::Kind::kArray:
      return "sequence";
    case TopLevel::Kind::kObject:
      return "map";
  }
  return "";
}

std::optional<Prediction> predict(std::string_view text) {
  TopLevel model;
  if (!json::sax_parse(text, &model, json::input_format_t::json, true, false) || !model.top)
    return std::nullopt;

  const auto type_error = [](const TopLevel::Item& item, const char* expected) {
    return Prediction{std::nullopt, "invalid type: " + found_text(item), expected};
  };
  Request request;
  if (*model.top == TopLevel::Kind::kObject) {
    bool seen[7] = {};
    for (const TopLevel::Item& item : model.items) {
      std::size_t index = 7;
      for (std::size_t i = 0; i < 7; ++i) {
        if (item.key == kFieldNames[i])
          index = i;
      }
      if (index == 7)
        continue;
      if (seen[index])
        return Prediction{std::nullopt, "duplicate field `" + item.key + "`", ""};
      seen[index] = true;
      if (item.kind == TopLevel::Kind::kString)
        *field(request, index) = item.text;
      else if (item.kind != TopLevel::Kind::kNull)
        return type_error(item, ", expected a string");
    }
    return Prediction{request, "", ""};
  }
  if (*model.top == TopLevel::Kind::kArray) {
    for (std::size_t i = 0; i < model.items.size() && i < 7; ++i) {
      const TopLevel::Item& item = model.items[i];
      if (item.kind == TopLevel::Kind::kString)
        *field(request, i) = item.text;
      else if (item.kind != TopLevel::Kind::kNull)
        return type_error(item, ", expected a string");
    }
    if (model.items.size() < 7) {
      return Prediction{std::nullopt,
                        "invalid length " + std::to_string(model.items.size()) +
                            ", expected struct Request with 7 elements",
                        ""};
    }
    if (model.items.size() > 7)
      return Prediction{std::nullopt, "trailing characters", ""};
    return Prediction{request, "", ""};
  }
  TopLevel::Item item{"", *model.top, model.top_text};
  return type_error(item, ", expected struct Request");
}

// Skipped values may hold what a strict parser refuses: unpaired surrogate escapes and numbers
// beyond a double. Neutralising replaces both by harmless text of the same length, so that a
// strict parser can judge the rest, and records where it did.
struct Neutralised {
  std::string text;
  std::vector<std::pair<std::size_t, std::size_t>> spans;  // [begin, end) replaced
};

Neutralised neutralise(std::string_view input) {
  Neutralised n{std::string(input), {}};
  std::string& out = n.text;
  // Unpaired surrogate escapes inside strings become "\u0041".
  const auto hex4 = [&](std::size_t at) -> std::optional<unsigned> {
    if (at + 6 > out.size() || out[at] != '\\' || out[at + 1] != 'u')
      return std::nullopt;
    unsigned value = 0;
    for (std::size_t k = at + 2; k < at + 6; ++k) {
      const char c = out[k];
      value <<= 4;
      if (c >= '0' && c <= '9')
        value |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f')
        value |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        value |= static_cast<unsigned>(c - 'A' + 10);
      else
        return std::nullopt;
    }
    return value;
  };
  bool in_string = false;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (!in_string) {
      in_string = out[i] == '"';
      continue;
    }
    if (out[i] == '"') {
      in_string = false;
    } else if (out[i] == '\\') {
      const std::optional<unsigned> unit = hex4(i);
      if (!unit) {
        ++i;  // a two-character escape (or a bad one, left for the parser to reject)
        continue;
      }
      if (*unit >= 0xD800 && *unit <= 0xDBFF) {
        const std::optional<unsigned> low = hex4(i + 6);
        if (low && *low >= 0xDC00 && *low <= 0xDFFF) {
          i += 11;
          continue;
        }
      }
      if (*unit >= 0xD800 && *unit <= 0xDFFF) {
        out.replace(i, 6, "\\u0041");
        n.spans.emplace_back(i, i + 6);
      }
      i += 5;
    }
  }
  // Numbers the strict parser calls out of range become "0" and blanks, one at a time.
  for (int round = 0; round < 64; ++round) {
    struct Probe : nlohmann::json_sax<json> {
      std::size_t position = 0;
      std::string token;
      bool overflow = false;
      bool null() override { return true; }
      bool boolean(bool) override { return true; }
      bool number_integer(number_integer_t) override { return true; }
      bool number_unsigned(number_unsigned_t) override { return true; }
      bool number_float(number_float_t, const string_t&) override { return true; }
      bool string(string_t&) override { return true; }
      bool binary(binary_t&) override { return true; }
      bool start_object(std::size_t) override { return true; }
      bool key(string_t&) override { return true; }
      bool end_object() override { return true; }
      bool start_array(std::size_t) override { return true; }
      bool end_array() override { return true; }
      bool parse_error(std::size_t pos, const std::string& last,
                       const nlohmann::detail::exception& e) override {
        position = pos;
        token = last;
        overflow = std::string_view(e.what()).find("number overflow") != std::string_view::npos;
        return false;
      }
    } probe;
    if (json::sax_parse(out, &probe, json::input_format_t::json, true, false) || !probe.overflow)
      break;
    // `position` counts the characters read: the number, perhaps one character more.
    const std::size_t size = probe.token.size();
    std::size_t end = std::min(probe.position, out.size());
    if (size == 0 || end < size)
      break;
    std::size_t begin = end - size;
    if (out.compare(begin, size, probe.token) != 0) {
      if (begin == 0 || out.compare(begin - 1, size, probe.token) != 0)
        break;
      --begin;
    }
    out.replace(begin, size, "0" + std::string(size - 1, ' '));
    n.spans.emplace_back(begin, begin + size);
  }
  return n;
}

// For JSON text: the spans of the values that a request skips, those of the members of the
// top-level object whose (decoded) key is no field name.
std::vector<std::pair<std::size_t, std::size_t>> skipped_values(std::string_view text) {
  std::vector<std::pair<std::size_t, std::size_t>> spans;
  std::size_t i = 0;
  const auto blanks = [&] {
    while (i < text.size() &&
           (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r'))
      ++i;
  };
  const auto skip_string = [&] {
    for (++i; i < text.size() && text[i] != '"'; ++i) {
      if (text[i] == '\\')
        ++i;
    }
    ++i;
  };
  const auto skip_value = [&] {
    if (text[i] == '"') {
      skip_string();
      return;
    }
    if (text[i] == '{' || text[i] == '[') {
      int depth = 0;
      while (i < text.size()) {
        const char c = text[i];
        if (c == '"') {
          skip_string();
          continue;
        }
        if (c == '{' || c == '[')
          ++depth;
        if (c == '}' || c == ']')
          --depth;
        ++i;
        if (depth == 0)
          return;
      }
      return;
    }
    while (i < text.size() &&
           std::string_view(",]} \t\n\r").find(text[i]) == std::string_view::npos)
      ++i;
  };
  blanks();
  if (i >= text.size() || text[i] != '{')
    return spans;
  ++i;
  for (;;) {
    blanks();
    if (i >= text.size() || text[i] != '"')
      return spans;
    const std::size_t key_begin = i;
    skip_string();
    const std::string key =
        json::parse(text.substr(key_begin, i - key_begin), nullptr, false).get<std::string>();
    blanks();
    ++i;  // ':'
    blanks();
    const std::size_t value_begin = i;
    skip_value();
    // With the blanks after it: a neutralised number leaves some.
    blanks();
    if (std::find(std::begin(kFieldNames), std::end(kFieldNames), key) == std::end(kFieldNames))
      spans.emplace_back(value_begin, i);
    if (i >= text.size() || text[i] != ',')
      return spans;
    ++i;
  }
}

// ---- the messages a failure may carry -----------------------------------------------------

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}
bool ends_with(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool known_found(std::string_view found, bool top_level) {
  if (found == "boolean `true`" || found == "boolean `false`" || found == "sequence" ||
      found == "map")
    return true;
  if (top_level && (found == "null" || starts_with(found, "string \"")))
    return true;
  for (std::string_view number :
       {std::string_view("integer `"), std::string_view("floating point `")}) {
    if (starts_with(found, number) && ends_with(found, "`") && found.size() > number.size() + 1)
      return true;
  }
  return false;
}

bool known_message(std::string_view message) {
  static constexpr std::string_view kFixed[] = {
      "EOF while parsing an object",
      "EOF while parsing a list",
      "EOF while parsing a string",
      "EOF while parsing a value",
      "expected `:`",
      "expected `,` or `}`",
      "expected `,` or `]`",
      "expected ident",
      "expected value",
      "invalid escape",
      "invalid number",
      "number out of range",
      "control character (\\u0000-\\u001F) found while parsing a string",
      "key must be a string",
      "lone leading surrogate in hex escape",
      "unexpected end of hex escape",
      "trailing comma",
      "trailing characters",
  };
  for (std::string_view fixed : kFixed) {
    if (message == fixed)
      return true;
  }
  for (const char* name : kFieldNames) {
    if (message == "duplicate field `" + std::string(name) + "`")
      return true;
  }
  for (int n = 0; n < 7; ++n) {
    if (message ==
        "invalid length " + std::to_string(n) + ", expected struct Request with 7 elements")
      return true;
  }
  if (starts_with(message, "invalid type: ")) {
    const std::string_view rest = message.substr(14);
    if (ends_with(rest, ", expected a string"))
      return known_found(rest.substr(0, rest.size() - 19), false);
    if (ends_with(rest, ", expected struct Request"))
      return known_found(rest.substr(0, rest.size() - 25), true);
  }
  return false;
}

// Splits "<message> at line L column C"; false when the cause has another form.
bool split_position(std::string_view cause, std::string_view& message, std::size_t& line,
                    std::size_t& column) {
  static constexpr std::string_view kAt = " at line ";
  static constexpr std::string_view kColumn = " column ";
  const std::size_t at = cause.rfind(kAt);
  if (at == std::string_view::npos)
    return false;
  const std::string_view position = cause.substr(at + kAt.size());
  const std::size_t split = position.find(kColumn);
  if (split == std::string_view::npos)
    return false;
  const auto number = [](std::string_view digits, std::size_t& value) {
    if (digits.empty() || digits.size() > 12 || (digits.size() > 1 && digits[0] == '0'))
      return false;
    value = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9')
        return false;
      value = value * 10 + static_cast<std::size_t>(c - '0');
    }
    return true;
  };
  if (!number(position.substr(0, split), line) ||
      !number(position.substr(split + kColumn.size()), column))
    return false;
  message = cause.substr(0, at);
  return true;
}

// ---- the checks ---------------------------------------------------------------------------

void check_utf8_failure(std::string_view line, const Error& error, const corvid::Utf8Fault& fault) {
  const std::string expected =
      fault.length ? "invalid utf-8 sequence of " + std::to_string(*fault.length) +
                         " bytes from index " + std::to_string(fault.index)
                   : "incomplete utf-8 byte sequence from index " + std::to_string(fault.index);
  expect(error.message == expected && error.causes.empty(),
         "malformed UTF-8 must fail with \"" + expected + "\" and no cause, got " + show(error));
  expect(corvid::detailed_text(error) == error.message, "a UTF-8 failure has no cause section");
  // The decoder's verdict itself: the first fault, at a real lead byte.
  expect(fault.index < line.size(), "a UTF-8 fault lies inside the line");
  expect(!corvid::find_utf8_fault(line.substr(0, fault.index)),
         "the bytes before the first UTF-8 fault decode");
}

// The trimmed text as the log shows it, modelled apart from the code under test: characters that
// break a line or steer a terminal or a reader (C0 and C1 controls, DEL, U+2028, U+2029, the
// bidirectional embeddings, overrides and isolates U+202A-U+202E and U+2066-U+2069) as \u and four
// lowercase hex digits; past 256 bytes only the characters that begin within them, then
// "… (N bytes)".
std::string shown_model(std::string_view text) {
  constexpr std::size_t kLimit = 256;
  const auto points = code_points(text);
  std::string out;
  std::size_t i = 0;
  for (; i < points.size(); ++i) {
    const auto [offset, code] = points[i];
    const std::size_t end = i + 1 < points.size() ? points[i + 1].first : text.size();
    if (text.size() > kLimit && end > kLimit)
      break;
    if (code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x2028 || code == 0x2029 ||
        (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069)) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\u%04x", static_cast<unsigned>(code));
      out += hex;
    } else {
      out += text.substr(offset, end - offset);
    }
  }
  if (i < points.size())
    out += "\xE2\x80\xA6 (" + std::to_string(text.size()) + " bytes)";
  return out;
}

void check_json_failure(std::string_view trimmed, const Error& error) {
  const std::string prefix = "invalid request: ";
  expect(
      starts_with(error.message, prefix) &&
          std::string_view(error.message).substr(prefix.size()) == shown_model(trimmed),
      "a JSON failure reads \"invalid request: \" + the trimmed text as shown, got " + show(error));
  expect(error.causes.size() == 1, "a JSON failure has exactly one cause, got " + show(error));
  std::string_view message;
  std::size_t line = 0;
  std::size_t column = 0;
  expect(split_position(error.causes[0], message, line, column),
         "the cause ends \" at line L column C\", got " + show(error));
  expect(known_message(message), "the cause is one of the parser's messages, got " + show(error));
  // A request line holds no line feed (the pipe server cuts the line at the first), so the
  // position is on line 1 and the column counts consumed bytes (a parser may count the end of
  // input as one more). Other callers may pass line feeds: then any line of the text.
  const auto line_feeds =
      static_cast<std::size_t>(std::count(trimmed.begin(), trimmed.end(), '\n'));
  if (line_feeds == 0) {
    expect(line == 1 && column <= trimmed.size() + 1,
           "the position lies on line 1 within the text, got " + show(error));
  } else {
    expect(line >= 1 && line <= line_feeds + 1 && column <= trimmed.size() + 1,
           "the position lies within the text, got " + show(error));
  }
  expect(corvid::short_text(error) == error.message, "the short text is the message");
  expect(corvid::detailed_text(error) == error.message + "\n\nCaused by:\n    " + error.causes[0],
         "the detailed text is the message, a blank line, \"Caused by:\" and the indented cause");
}

void check_round_trip(const Request& request) {
  for (std::size_t i = 0; i < 7; ++i) {
    const std::optional<std::string>& value = field(request, i);
    expect(!value || !corvid::find_utf8_fault(*value),
           std::string("field ") + kFieldNames[i] + " holds invalid UTF-8: " + show(request));
  }
  const std::string forms[] = {
      request_line(request, false),
      request_line(request, true),
      "\xC2\xA0\t " + request_line(request, false) + " \r\xE3\x80\x80",
  };
  for (const std::string& form : forms) {
    const corvid::Result<Request> again = corvid::parse_request(form);
    expect(again && *again == request, "a parsed request written back as \"" + printable(form) +
                                           "\" parses to " + show(again) + ", not " +
                                           show(request));
  }
  // What a client builds from the same fields: one line that reads back the same.
  const corvid::Result<std::string> encoded = corvid::encode_request(request);
  expect(encoded.has_value(), "encode_request refuses a parsed request: " + show(request));
  expect(encoded->find('\n') == encoded->size() - 1,
         "encode_request wrote more or less than one line: \"" + printable(*encoded) + "\"");
  const corvid::Result<Request> again =
      corvid::parse_request(std::string_view(*encoded).substr(0, encoded->size() - 1));
  expect(again && *again == request, "encode_request wrote \"" + printable(*encoded) +
                                         "\", which parses to " + show(again) + ", not " +
                                         show(request));
}

void check_encoding(const Request& request) {
  Response response;
  response.id = request.id;
  response.ok = request.action.has_value();
  response.error = request.action;
  // Every present field becomes a key of `data`: arbitrary bytes, repeated keys replacing
  // earlier values, and the ascending byte order of the keys.
  json data = json::object();
  std::map<std::string, std::string> expected_members;
  for (std::size_t i = 0; i < 7; ++i) {
    const std::optional<std::string>& value = field(request, i);
    if (!value)
      continue;
    switch (i % 4) {
      case 0:
        data[*value] = -static_cast<std::int64_t>(i) - 1;
        expected_members[*value] = std::to_string(-static_cast<std::int64_t>(i) - 1);
        break;
      case 1:
        data[*value] = (i % 3) == 0;
        expected_members[*value] = (i % 3) == 0 ? "true" : "false";
        break;
      case 2:
        data[*value] = *value;
        expected_members[*value] = encode_string(*value);
        break;
      default:
        data[*value] = json::array({*value, nullptr, static_cast<std::uint64_t>(i)});
        expected_members[*value] = "[" + encode_string(*value) + ",null," + std::to_string(i) + "]";
        break;
    }
  }
  const std::uint64_t members = expected_members.size();
  data["~count"] = members;
  expected_members["~count"] = std::to_string(members);
  response.data = data;

  std::string expected_data = "{";
  for (const auto& [key, value] : expected_members) {
    if (expected_data.size() > 1)
      expected_data += ',';
    expected_data += encode_string(key) + ":" + value;
  }
  expected_data += "}";
  const std::string expected =
      "{\"id\":" + encode_optional(response.id) + ",\"ok\":" + (response.ok ? "true" : "false") +
      ",\"error\":" + encode_optional(response.error) + ",\"data\":" + expected_data + "}\n";

  const corvid::Result<std::string> text = corvid::encode_response(response);
  expect(text.has_value(), "encode_response fails for a parsed request: " + show(request));
  expect(*text == expected, "encode_response wrote \"" + printable(*text) + "\", expected \"" +
                                printable(expected) + "\"");
  const std::string_view body = std::string_view(*text).substr(0, text->size() - 1);
  expect(body.find('\n') == std::string_view::npos, "the response is one line");
  expect(json::accept(body), "the response is strict JSON: \"" + printable(*text) + "\"");

  // And a response with nothing in it.
  const corvid::Result<std::string> empty = corvid::encode_response(Response{});
  expect(empty && *empty == "{\"id\":null,\"ok\":false,\"error\":null,\"data\":null}\n",
         "an empty response is written with four nulls and false");
}

// ---- unknown members inserted into an accepted request ------------------------------------

// A small generator seeded from the input, so that a failing input replays the same members.
class Random {
 public:
  explicit Random(std::string_view seed) {
    for (const char c : seed)
      state_ = (state_ ^ static_cast<unsigned char>(c)) * 0x100000001B3u;
  }
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
  bool chance() { return (next() & 1) != 0; }

 private:
  std::uint64_t state_ = 0xCBF29CE484222325u;
};

std::string random_digits(Random& random, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i)
    out += static_cast<char>('0' + random.below(10));
  return out;
}

// Numbers of any size: long integers, long fractions, exponents far beyond a double's range.
std::string random_number(Random& random) {
  static constexpr std::size_t kSizes[] = {1, 2, 19, 20, 21, 40, 400};
  std::string out = random.chance() ? "-" : "";
  const std::size_t size = kSizes[random.below(std::size(kSizes))];
  out += random.below(4) == 0
             ? "0"
             : std::to_string(1 + random.below(9)) + random_digits(random, size - 1);
  if (random.chance())
    out += "." + random_digits(random, 1 + random.below(30));
  if (random.chance()) {
    out += random.chance() ? "e" : "E";
    static constexpr std::string_view kSigns[] = {"", "+", "-"};
    out += kSigns[random.below(3)];
    out += std::to_string(1 + random.below(9)) + random_digits(random, random.below(15));
  }
  return out;
}

// A string with every escape, \u escapes of any four digits (surrogates that pair with nothing
// included), and UTF-8 characters.
std::string random_string(Random& random) {
  static constexpr std::string_view kPieces[] = {
      "a",    " ",   "\\\"", "\\\\", "\\/",      "\\b",
      "\\f",  "\\n", "\\r",  "\\t",  "\xC3\xA9", "\xF0\x9F\x98\x80",
      "\x7F", "/",
  };
  static constexpr std::string_view kHex = "0123456789abcdefABCDEF";
  std::string out = "\"";
  for (std::size_t i = random.below(6); i > 0; --i) {
    if (random.below(3) == 0) {
      out += "\\u";
      // Often a surrogate: D800 to DFFF.
      out +=
          random.chance()
              ? (random.chance() ? "d" : "D") + std::string(1, "89abAB"[random.below(6)])
              : std::string(1, kHex[random.below(kHex.size())]) + kHex[random.below(kHex.size())];
      out += kHex[random.below(kHex.size())];
      out += kHex[random.below(kHex.size())];
    } else {
      out += kPieces[random.below(std::size(kPieces))];
    }
  }
  return out + "\"";
}

std::string random_space(Random& random) {
  static constexpr std::string_view kSpaces[] = {"", "", " ", "\t", "\r\n ", "\n"};
  return std::string(kSpaces[random.below(std::size(kSpaces))]);
}

// A well-formed JSON value of any kind, nested a few levels.
std::string random_value(Random& random, int depth) {
  switch (random.below(depth >= 3 ? 4 : 6)) {
    case 0: {
      static constexpr std::string_view kLiterals[] = {"null", "true", "false"};
      return std::string(kLiterals[random.below(3)]);
    }
    case 1:
    case 2:
      return random_number(random);
    case 3:
      return random_string(random);
    case 4: {
      std::string out = "[" + random_space(random);
      for (std::size_t i = random.below(4); i > 0; --i)
        out += random_value(random, depth + 1) + random_space(random) + (i > 1 ? "," : "");
      return out + "]";
    }
    default: {
      // Keys inside a skipped value are skipped too: any escapes.
      std::string out = "{" + random_space(random);
      for (std::size_t i = random.below(4); i > 0; --i) {
        out += random_string(random) + random_space(random) + ":" + random_space(random) +
               random_value(random, depth + 1) + random_space(random) + (i > 1 ? "," : "");
      }
      return out + "}";
    }
  }
}

// A key of the request object that names no field once decoded; the request object's own keys
// must be well-formed strings (paired surrogates).
std::string random_unknown_key(Random& random) {
  static constexpr std::string_view kKeys[] = {
      R"("x")",
      R"("")",
      R"("Id")",
      R"("ACTION")",
      R"("id ")",
      R"("log path")",
      R"("\u0078")",
      R"("id\u0000")",
      R"("\u00e9t\u00e9")",
      R"("\ud83d\ude00")",
      R"("config_path\/")",
  };
  return std::string(kKeys[random.below(std::size(kKeys))]);
}

// Inserting a well-formed member with an unknown key anywhere into an accepted request object
// keeps it accepted with the same fields.
void check_unknown_members(std::string_view trimmed, const Request& request) {
  if (trimmed.empty() || trimmed[0] != '{')
    return;
  // Where a member may go: after the opening brace and after each comma of the object itself.
  std::vector<std::size_t> places{1};
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < trimmed.size(); ++i) {
    const char c = trimmed[i];
    if (in_string) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      --depth;
    } else if (c == ',' && depth == 1) {
      places.push_back(i + 1);
    }
  }
  const bool empty = trimmed.find_first_not_of(" \t\r\n", 1) == trimmed.size() - 1;
  Random random(g_input);
  // Each place in turn (eight chosen at random when there are more), then last.
  const std::size_t tries = std::min<std::size_t>(places.size(), 8);
  for (std::size_t n = 0; n <= tries; ++n) {
    const std::string member = random_space(random) + random_unknown_key(random) +
                               random_space(random) + ":" + random_space(random) +
                               random_value(random, 0) + random_space(random);
    std::string line(trimmed);
    if (n == tries) {
      line.insert(trimmed.size() - 1, empty ? member : "," + member);
    } else {
      const std::size_t place =
          places.size() <= tries ? places[n] : places[random.below(places.size())];
      line.insert(place, empty ? member : member + ",");
    }
    const corvid::Result<Request> again = corvid::parse_request(line);
    expect(again && *again == request, "with an unknown member inserted, \"" + printable(line) +
                                           "\" parses to " + show(again) + ", not " +
                                           show(request));
  }
}

void check(std::string_view line) {
  const corvid::Result<Request> result = corvid::parse_request(line);
  const corvid::Result<Request> again = corvid::parse_request(line);
  expect(result == again,
         "parse_request is a pure function: " + show(result) + " then " + show(again));

  if (const std::optional<corvid::Utf8Fault> fault = corvid::find_utf8_fault(line)) {
    expect(!result, "malformed UTF-8 is accepted as " + show(result));
    check_utf8_failure(line, result.error(), *fault);
    return;
  }

  const std::string_view trimmed = trim_unicode(line);
  if (!result)
    check_json_failure(trimmed, result.error());

  // A byte-order mark is not white space, so it stays and no JSON value starts with it; the
  // strict parser below would skip it silently.
  if (starts_with(trimmed, "\xEF\xBB\xBF")) {
    expect(!result, "a leading byte-order mark is accepted as " + show(result));
    return;
  }

  // No JSON text holds a raw NUL (not between tokens, not in a string); the strict parser
  // below would take one for the end of its input.
  if (trimmed.find('\0') != std::string_view::npos) {
    expect(!result, "a raw NUL byte is accepted as " + show(result));
    return;
  }

  // Judge the text as JSON once the oddities that skipped values may hold are neutralised.
  // Where the text is not JSON even so, or an oddity lies outside a skipped value (in a field's
  // value, a key, the positional form), the request must fail; otherwise the record rules
  // predict the outcome exactly.
  const Neutralised neutral = neutralise(trimmed);
  const std::optional<Prediction> predicted = predict(neutral.text);
  bool oddity_outside = false;
  if (predicted) {
    const auto skipped = skipped_values(neutral.text);
    for (const auto& span : neutral.spans) {
      const bool inside = std::any_of(skipped.begin(), skipped.end(), [&](const auto& value) {
        return value.first <= span.first && span.second <= value.second;
      });
      oddity_outside = oddity_outside || !inside;
    }
  }
  if (!predicted || oddity_outside) {
    expect(!result, std::string(predicted ? "an unpaired surrogate escape or a huge number outside "
                                            "a skipped value"
                                          : "text that is not JSON") +
                        " is accepted as " + show(result));
  } else if (predicted->request) {
    expect(result && *result == *predicted->request,
           "valid JSON parses to " + show(result) + ", expected " + show(*predicted->request));
  } else {
    std::string_view message;
    std::size_t line = 0;
    std::size_t column = 0;
    expect(!result && split_position(result.error().causes.at(0), message, line, column) &&
               starts_with(message, predicted->prefix) && ends_with(message, predicted->suffix),
           "valid JSON gives " + show(result) + ", expected a failure \"" + predicted->prefix +
               "..." + predicted->suffix + "\"");
  }

  if (result) {
    check_round_trip(*result);
    check_encoding(*result);
    check_unknown_members(trimmed, *result);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  g_input = std::string_view(reinterpret_cast<const char*>(data), size);
  try {
    check(g_input);
  } catch (const std::exception& e) {
    fail(std::string("exception escaped: ") + e.what());
  } catch (...) {
    fail("exception escaped");
  }
  return 0;
}
