#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channel/message.h"
#include "common/shown_text.h"

namespace corvid {
namespace {

std::string repeat(const std::string& item, int times, const std::string& separator = ",") {
  std::string out;
  for (int i = 0; i < times; ++i)
    out.append(i == 0 ? "" : separator).append(item);
  return out;
}

// ---------------------------------------------------------------------------------------------
// Accepted lines

TEST(ParseRequest, AcceptedLines) {
  struct Case {
    std::string line;
    Request request;
  };
  const std::string all_fields =
      R"({"id":"9","action":"start","config":"a: 1\nb: [2]","work_dir":"D:\\w",)"
      R"("core_path":"D:\\w\\core.exe","config_path":"c.yaml","log_path":"l\\x.log"})";
  const std::string huge = "-" + std::string(5000, '9') + "." + std::string(100, '1');
  const Case cases[] = {
      {"{}", {}},
      {R"({"action":"ping"})", {.action = "ping"}},
      {all_fields,
       {"9", "start", "a: 1\nb: [2]", R"(D:\w)", R"(D:\w\core.exe)", "c.yaml", R"(l\x.log)"}},
      // null is absent; the empty string is present.
      {R"({"id":null,"action":"","config":null})", {.action = ""}},
      {R"({"id":""})", {.id = ""}},
      // Members in any order, JSON white space between tokens.
      {"{ \"log_path\" :\t\"l\" ,\r\n\"id\":\"1\" }", {.id = "1", .log_path = "l"}},
      // Escapes are decoded; a surrogate pair becomes one character.
      {R"({"id":"\u0070\u0069ng","action":"a\"b\\c\/d\b\f\n\r\t"})",
       {.id = "ping", .action = "a\"b\\c/d\b\f\n\r\t"}},
      {R"({"id":"\ud83d\ude00\u00e9"})", {.id = "\xF0\x9F\x98\x80\xC3\xA9"}},
      {"{\"id\":\"\xE6\x97\xA5\xE6\x9C\xAC\x7F\"}", {.id = "\xE6\x97\xA5\xE6\x9C\xAC\x7F"}},
      // A key is compared after its escapes are decoded.
      {R"({"\u0069d":"1"})", {.id = "1"}},
      // Unknown keys are skipped whatever they hold, however deep.
      {R"({"x":{"a":[1,{"b":null,"c":[[],{}]}],"d":true},"action":"ping","y":[-1.5e10,"s",false]})",
       {.action = "ping"}},
      {R"({"extra":18446744073709551616,"n":-9223372036854775809,"f":1e308,"id":"1"})",
       {.id = "1"}},
      // Unknown keys may repeat; a key differing only in letter case is unknown.
      {R"({"x":1,"x":{},"Action":"stop","ID":7,"action":"ping"})", {.action = "ping"}},
      // Skipped strings may hold any escape the grammar allows.
      {R"({"x":"\"\\\/\b\f\n\r\t\u0041","id":"1"})", {.id = "1"}},
      // The positional form: exactly seven elements in declaration order.
      {R"(["1","ping",null,null,null,null,null])", {.id = "1", .action = "ping"}},
      {R"(["a","b","c","d","e","f","g"])", {"a", "b", "c", "d", "e", "f", "g"}},
      {R"([ null , null,null,null,null,null, "l" ])", {.log_path = "l"}},
      // Skipped values may hold what the format allows there: numbers of any size and \u escapes
      // that pair with nothing.
      {R"({"x":1e400,"action":"ping"})", {.action = "ping"}},
      {R"({"x":"\ude00","action":"ping"})", {.action = "ping"}},
      {R"({"x":["\udc00"],"action":"ping"})", {.action = "ping"}},
      {R"({"x":"\ud800","action":"ping"})", {.action = "ping"}},
      {R"({"x":"\ud800\u0041\udbff\n","action":"ping"})", {.action = "ping"}},
      {R"({"x":{"\ud800":-1e-99999999999999,"\udfff":1E+99999999999999},"action":"ping"})",
       {.action = "ping"}},
      {R"({"x":123456789012345678901234567890e2147483648,"action":"ping"})", {.action = "ping"}},
      {R"({"x":)" + huge + R"(,"action":"ping"})", {.action = "ping"}},
      {R"({"action":"ping","x":[0.0e-0,-0,1.7976931348623159e308]})", {.action = "ping"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const Result<Request> parsed = parse_request(c.line);
    ASSERT_TRUE(parsed.has_value()) << detailed_text(parsed.error());
    EXPECT_EQ(*parsed, c.request);
  }
}

// Values may nest deeply; nothing recurses on them.
TEST(ParseRequest, DeeplyNestedValues) {
  const int depth = 100000;
  const std::string nested = std::string(depth, '[') + std::string(depth, ']');
  const Result<Request> parsed = parse_request(R"({"x":)" + nested + R"(,"id":"1"})");
  ASSERT_TRUE(parsed.has_value()) << detailed_text(parsed.error());
  EXPECT_EQ(parsed->id, "1");

  // A request line may be as long as the pipe delivers: 16 MiB of brackets.
  const std::size_t big = std::size_t{16} << 20;
  struct Case {
    std::string line;
    std::string cause;
  };
  const Case cases[] = {
      {R"({"x":)" + std::string(depth, '['),
       "EOF while parsing a list at line 1 column " + std::to_string(depth + 5)},
      {R"({"x":)" + std::string(big, '['),
       "EOF while parsing a list at line 1 column " + std::to_string(big + 5)},
      {R"({"x":)" + repeat("{\"a\":[", static_cast<int>(big / 6), ""),
       "EOF while parsing a list at line 1 column " + std::to_string(big / 6 * 6 + 5)},
      {std::string(big, '['), "invalid type: sequence, expected a string at line 1 column 1"},
      {R"({"id":)" + std::string(big, '{'),
       "invalid type: map, expected a string at line 1 column 6"},
  };
  for (const Case& c : cases) {
    const Result<Request> cut = parse_request(c.line);
    ASSERT_FALSE(cut.has_value());
    EXPECT_EQ(cut.error().causes, std::vector<std::string>{c.cause});
  }
}

// ---------------------------------------------------------------------------------------------
// Decoding

TEST(ParseRequest, MalformedUtf8FailsBeforeAnyJsonParsing) {
  struct Case {
    std::string line;
    std::string message;
  };
  const Case cases[] = {
      // The sixth byte; indexes count bytes of the untrimmed line.
      {"{\"id\"\xFF:1}", "invalid utf-8 sequence of 1 bytes from index 5"},
      {"   {\"\xFF", "invalid utf-8 sequence of 1 bytes from index 5"},
      {"\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"{\"id\":\"\xC0\x80\"}", "invalid utf-8 sequence of 1 bytes from index 7"},
      {"a\xE0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 1"},
      {"a\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 1"},
      {"a\xF0\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 1"},
      {"a\xF4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 1"},
      {"ab\xE2\x82x", "invalid utf-8 sequence of 2 bytes from index 2"},
      {"abc\xF0\x9F\x98x", "invalid utf-8 sequence of 3 bytes from index 3"},
      // Not even a well-formed request ends the same way before the first fault.
      {"{\"id\":7,\xFF", "invalid utf-8 sequence of 1 bytes from index 8"},
      // Cut off by the end of the line: the index is where the character starts.
      {"{\"id\":\"\xC3", "incomplete utf-8 byte sequence from index 7"},
      {"{\"id\":\"\xE6\x97", "incomplete utf-8 byte sequence from index 7"},
      {"x\xF0\x9F\x98", "incomplete utf-8 byte sequence from index 1"},
      // A cut-off no-break space is not white space either.
      {"{}\xC2", "incomplete utf-8 byte sequence from index 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const Result<Request> parsed = parse_request(c.line);
    ASSERT_FALSE(parsed.has_value());
    EXPECT_EQ(parsed.error().message, c.message);
    EXPECT_TRUE(parsed.error().causes.empty());
  }
}

// ---------------------------------------------------------------------------------------------
// Trimming and the text shown

TEST(ParseRequest, EveryUnicodeWhiteSpaceIsTrimmedAtBothEnds) {
  const std::string spaces[] = {
      "\t",           "\n",           "\v",
      "\f",           "\r",           " ",
      "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80",
      "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
      "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
      "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
      "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8",
      "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
      "\xE3\x80\x80",
  };
  for (const std::string& space : spaces) {
    SCOPED_TRACE(::testing::PrintToString(space));
    const Result<Request> parsed =
        parse_request(space + space + R"({"action":"ping"})" + space + space);
    ASSERT_TRUE(parsed.has_value()) << detailed_text(parsed.error());
    EXPECT_EQ(parsed->action, "ping");
  }
}

// The line that fails is quoted trimmed, at most its first 256 bytes (whole characters, then
// its size), and with every line breaker escaped.
TEST(ParseRequest, RejectedTextIsTrimmedBoundedAndEscaped) {
  const std::string ellipsis = "\xE2\x80\xA6";
  // 256 bytes that fail at their end: `{"id":"` and 249 letters, a string never closed.
  const std::string at_limit = R"({"id":")" + std::string(249, 'a');
  ASSERT_EQ(at_limit.size(), 256u);
  struct Case {
    std::string line;
    std::string text;   // after "invalid request: "
    std::string cause;  // the one cause
  };
  const Case cases[] = {
      // Tabs, spaces and a carriage return before the end of the line.
      {"\t  {\"id\":7}  \t\r", R"({"id":7})",
       "invalid type: integer `7`, expected a string at line 1 column 7"},
      // A no-break space around the object.
      {"\xC2\xA0{\"id\":7}\xC2\xA0", R"({"id":7})",
       "invalid type: integer `7`, expected a string at line 1 column 7"},
      // All-blank lines leave nothing to parse.
      {"", "", "EOF while parsing a value at line 1 column 0"},
      {"   ", "", "EOF while parsing a value at line 1 column 0"},
      {"\t\r", "", "EOF while parsing a value at line 1 column 0"},
      {"\xC2\xA0\xE3\x80\x80 \xE2\x80\xA8", "", "EOF while parsing a value at line 1 column 0"},
      // A byte-order mark is no white space, and no JSON either.
      {"\xEF\xBB\xBF{}", "\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
      {" \xEF\xBB\xBF{} ", "\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
      {"{}\xEF\xBB\xBF", "{}\xEF\xBB\xBF", "trailing characters at line 1 column 3"},
      // Neither is a zero-width space (U+200B) or a non-space control character.
      {"\xE2\x80\x8B{}", "\xE2\x80\x8B{}", "expected value at line 1 column 1"},
      // (In the text it shows as an escape: the log never takes a raw control character.)
      {"\x01{}", "\\u0001{}", "expected value at line 1 column 1"},
      // Unicode white space inside the text is not JSON white space.
      {"{\xC2\xA0}", "{\xC2\xA0}", "key must be a string at line 1 column 2"},
      // Short and printable: as it stands.
      {R"({"id":"1","action":"ping")", R"({"id":"1","action":"ping")",
       "EOF while parsing an object at line 1 column 25"},
      // 256 bytes: whole.
      {at_limit, at_limit, "EOF while parsing a string at line 1 column 256"},
      // 257 bytes: the first 256 and the size.
      {at_limit + "b", at_limit + ellipsis + " (257 bytes)",
       "EOF while parsing a string at line 1 column 257"},
      // Cut between characters: a two-byte character across the cut is left out whole.
      {at_limit.substr(0, 255) + "\xC3\xA9" + "zz",
       at_limit.substr(0, 255) + ellipsis + " (259 bytes)",
       "EOF while parsing a string at line 1 column 259"},
      // Line breakers inside.
      {"{\"id\":\"1\"\r\x1b[2J\xE2\x80\xA8\xC2\x85\x7f}",
       "{\"id\":\"1\"\\u000d\\u001b[2J\\u2028\\u0085\\u007f}",
       "expected `,` or `}` at line 1 column 11"},
      // A mebibyte: the position counts the whole text, not what is shown of it.
      {R"({"action":"start","config":")" + std::string(1 << 20, 'c'),
       R"({"action":"start","config":")" + std::string(256 - 28, 'c') + ellipsis +
           " (1048604 bytes)",
       "EOF while parsing a string at line 1 column 1048604"},
      // A top-level string names a bounded string.
      {"\"" + std::string(300, 's') + "\"",
       "\"" + std::string(255, 's') + ellipsis + " (302 bytes)",
       "invalid type: string \"" + std::string(255, 's') + ellipsis +
           " (302 bytes), expected struct Request at line 1 column 302"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.line.substr(0, 300)));
    const Result<Request> parsed = parse_request(c.line);
    ASSERT_FALSE(parsed.has_value());
    EXPECT_EQ(parsed.error().message, "invalid request: " + c.text);
    EXPECT_EQ(parsed.error().causes, std::vector<std::string>{c.cause});
  }
}

// ---------------------------------------------------------------------------------------------
// Rejected JSON: every message, with the column it is reported at

TEST(ParseRequest, RejectedJson) {
  const struct {
    std::string text;
    std::string cause;
  } cases[] = {
      // The text ends early: inside the request object, wherever it stops.
      {R"({)", "EOF while parsing an object at line 1 column 1"},
      {R"({"id")", "EOF while parsing an object at line 1 column 5"},
      {R"({"id":"1")", "EOF while parsing an object at line 1 column 9"},
      // Inside a skipped object.
      {R"({"x":{"a":1)", "EOF while parsing an object at line 1 column 11"},
      {R"({"x":{)", "EOF while parsing an object at line 1 column 6"},
      // Inside an array: the positional form or a skipped one.
      {R"([)", "EOF while parsing a list at line 1 column 1"},
      {R"([null)", "EOF while parsing a list at line 1 column 5"},
      {R"({"x":[1,2)", "EOF while parsing a list at line 1 column 9"},
      {R"({"x":[)", "EOF while parsing a list at line 1 column 6"},
      // Inside a string: a field's, a key, a skipped one, in an escape.
      {R"({"id":"ab)", "EOF while parsing a string at line 1 column 9"},
      {R"({"i)", "EOF while parsing a string at line 1 column 3"},
      {R"({"x":["ab)", "EOF while parsing a string at line 1 column 9"},
      {R"({"id":"a\)", "EOF while parsing a string at line 1 column 9"},
      {R"({"id":"\u00)", "EOF while parsing a string at line 1 column 11"},
      {R"({"id":"\ud83d)", "EOF while parsing a string at line 1 column 13"},
      {R"("abc)", "EOF while parsing a string at line 1 column 4"},
      // Where a value must start.
      {R"({"id":)", "EOF while parsing a value at line 1 column 6"},
      {R"({"id":"1","action":)", "EOF while parsing a value at line 1 column 19"},
      {R"([null,)", "EOF while parsing a value at line 1 column 6"},
      // ... or in the middle of one.
      {R"({"id":nu)", "EOF while parsing a value at line 1 column 8"},
      {R"({"id":-)", "EOF while parsing a value at line 1 column 7"},
      // Misplaced tokens.
      {R"({"id" "1"})", "expected `:` at line 1 column 7"},
      {R"({"id",)", "expected `:` at line 1 column 6"},
      {R"({"x":{"a" 1}})", "expected `:` at line 1 column 11"},
      {R"({"id":"1" "action":"ping"})", "expected `,` or `}` at line 1 column 11"},
      {R"({"id":"1"])", "expected `,` or `}` at line 1 column 10"},
      {R"({"x":{"a":1 "b":2}})", "expected `,` or `}` at line 1 column 13"},
      {R"([null null])", "expected `,` or `]` at line 1 column 7"},
      {R"({"x":[1 2]})", "expected `,` or `]` at line 1 column 9"},
      {R"({"x":[1}})", "expected `,` or `]` at line 1 column 8"},
      {R"({1:2})", "key must be a string at line 1 column 2"},
      {R"({"id":"1",2:3})", "key must be a string at line 1 column 11"},
      {R"({'id':"1"})", "key must be a string at line 1 column 2"},
      {R"({"x":{null:1}})", "key must be a string at line 1 column 7"},
      // A comma before the closing brace of a skipped object.
      {R"({"x":{"a":1,}})", "key must be a string at line 1 column 13"},
      // ... and of the request object or the positional form.
      {R"({"id":"1",})", "trailing comma at line 1 column 11"},
      {R"({"id":"1" , })", "trailing comma at line 1 column 13"},
      {R"(["1",])", "trailing comma at line 1 column 6"},
      {"[" + repeat("null", 7) + ",]", "trailing comma at line 1 column 37"},
      // Malformed values: no value can start here.
      {R"({"id":})", "expected value at line 1 column 7"},
      {R"({"id":'1'})", "expected value at line 1 column 7"},
      {R"({"x":NaN})", "expected value at line 1 column 6"},
      {R"({"x":[1,]})", "expected value at line 1 column 9"},
      {R"({"x":[,]})", "expected value at line 1 column 7"},
      {R"([,])", "expected value at line 1 column 2"},
      {R"(x)", "expected value at line 1 column 1"},
      {R"(})", "expected value at line 1 column 1"},
      {R"({"id":/*c*/"1"})", "expected value at line 1 column 7"},
      {std::string("{\"id\":\0}", 8), "expected value at line 1 column 7"},
      // Misspelt null, true and false.
      {R"({"id":nul})", "expected ident at line 1 column 10"},
      {R"({"id":nULL})", "expected ident at line 1 column 8"},
      {R"({"x":[tru]})", "expected ident at line 1 column 10"},
      {R"({"x":fAlse})", "expected ident at line 1 column 7"},
      {R"(nil)", "expected ident at line 1 column 2"},
      // Escapes.
      {R"({"id":"a\x"})", "invalid escape at line 1 column 10"},
      {R"({"id":"\u12G4"})", "invalid escape at line 1 column 12"},
      {R"({"x":"\'"})", "invalid escape at line 1 column 8"},
      {"{\"id\":\"\\\t\"}", "invalid escape at line 1 column 9"},
      {R"({"id":"\ud800\u00zz"})", "invalid escape at line 1 column 18"},
      // A digit that is none is seen before the end of the text, however close that is.
      {R"({"x":"\u0})", "invalid escape at line 1 column 10"},
      {R"({"id":"\u"})", "invalid escape at line 1 column 10"},
      // An escaped backslash does not start an escape.
      {"{\"id\":\"\\\\\t\"}",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 10"},
      // Numbers.
      {R"({"id":-})", "invalid number at line 1 column 8"},
      {R"({"id":1.})", "invalid number at line 1 column 9"},
      {R"({"x":1e+})", "invalid number at line 1 column 9"},
      {R"({"x":-a})", "invalid number at line 1 column 7"},
      {R"({"id":01})", "invalid number at line 1 column 8"},
      {R"({"x":[-01]})", "invalid number at line 1 column 9"},
      {R"(00)", "invalid number at line 1 column 2"},
      {R"({"id":1e400})", "number out of range at line 1 column 11"},
      {R"({"id":-1e400,"action":"ping"})", "number out of range at line 1 column 12"},
      {R"(1e400)", "number out of range at line 1 column 5"},
      {"[" + repeat("null", 6) + ",1e999]", "number out of range at line 1 column 36"},
      // Raw control characters inside strings: field, key, skipped.
      {"{\"id\":\"a\tb\"}",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 9"},
      {std::string("{\"i\0d\":1}", 9),
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"},
      {"{\"x\":[\"\x1F\"]}",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 7"},
      // Surrogate escapes in a field's string.
      {R"({"id":"\udc00"})", "lone leading surrogate in hex escape at line 1 column 13"},
      {R"({"id":"\ud800\u0041"})", "lone leading surrogate in hex escape at line 1 column 19"},
      {R"({"id":"\ud800\ud800"})", "lone leading surrogate in hex escape at line 1 column 19"},
      {R"({"id":"\ud800"})", "unexpected end of hex escape at line 1 column 14"},
      {R"({"id":"\ud800x"})", "unexpected end of hex escape at line 1 column 14"},
      {R"({"id":"\ud800\n"})", "unexpected end of hex escape at line 1 column 15"},
      {R"(["\uDBFF\\"])", "unexpected end of hex escape at line 1 column 10"},
      // What follows the value.
      {R"({}{})", "trailing characters at line 1 column 3"},
      {R"({"action":"ping"} x)", "trailing characters at line 1 column 19"},
      {R"({} "abc")", "trailing characters at line 1 column 4"},
      {R"({},)", "trailing characters at line 1 column 3"},
      {std::string("{}\0", 3), "trailing characters at line 1 column 3"},
      {"[" + repeat("null", 7) + "] 1", "trailing characters at line 1 column 38"},
      // A positional form with more than seven elements.
      {"[" + repeat("null", 8) + "]", "trailing characters at line 1 column 37"},
      {"[" + repeat("\"a\"", 7) + ",[1]]", "trailing characters at line 1 column 30"},
      {"[" + repeat("null", 7) + ",tru]", "trailing characters at line 1 column 37"},
      {"[" + repeat("null", 7) + ",", "trailing characters at line 1 column 36"},
      {"[" + repeat("null", 7) + " x", "trailing characters at line 1 column 37"},
      // Duplicate fields.
      {R"({"action":"ping","action":"stop"})", "duplicate field `action` at line 1 column 25"},
      // Also when the first value was null.
      {R"({"id":null,"id":"1"})", "duplicate field `id` at line 1 column 15"},
      {R"({"log_path":"a","x":1,"log_path":null})",
       "duplicate field `log_path` at line 1 column 32"},
      // Reported once the key is read, whatever follows it.
      {R"({"id":null,"id" :"1"})", "duplicate field `id` at line 1 column 15"},
      {R"({"id":null,"id"})", "duplicate field `id` at line 1 column 15"},
      {R"({"id":null,"id")", "duplicate field `id` at line 1 column 15"},
      // Through an escape.
      {R"({"config":"","conf\u0069g":""})", "duplicate field `config` at line 1 column 26"},
      // Wrongly typed fields.
      {R"({"id":7,"action":"ping"})",
       "invalid type: integer `7`, expected a string at line 1 column 7"},
      {R"({"id":true})", "invalid type: boolean `true`, expected a string at line 1 column 10"},
      {R"({"action":false})",
       "invalid type: boolean `false`, expected a string at line 1 column 15"},
      {R"({"id":-12})", "invalid type: integer `-12`, expected a string at line 1 column 9"},
      {R"({"id":18446744073709551615})",
       "invalid type: integer `18446744073709551615`, expected a string at line 1 column 26"},
      {R"({"id":-9223372036854775808})",
       "invalid type: integer `-9223372036854775808`, expected a string at line 1 column 26"},
      {R"({"id":1.5})", "invalid type: floating point `1.5`, expected a string at line 1 column 9"},
      {R"({"id":1e2})", "invalid type: floating point `100`, expected a string at line 1 column 9"},
      {R"({"id":2.5e-8})",
       "invalid type: floating point `0.000000025`, expected a string at line 1 column 12"},
      {R"({"id":-0.1})",
       "invalid type: floating point `-0.1`, expected a string at line 1 column 10"},
      {R"({"id":0.30000000000000004})",
       "invalid type: floating point `0.30000000000000004`, expected a string at line 1 column 25"},
      {R"({"config":[]})", "invalid type: sequence, expected a string at line 1 column 10"},
      // The whole request is rejected, whatever came before.
      {R"({"action":"ping","work_dir":{}})",
       "invalid type: map, expected a string at line 1 column 28"},
      // The same in the positional form.
      {R"([null,7,null,null,null,null,null])",
       "invalid type: integer `7`, expected a string at line 1 column 7"},
      {R"(["1","ping",null,null,null,null,[]])",
       "invalid type: sequence, expected a string at line 1 column 32"},
      // A top-level value of the wrong kind.
      {R"(null)", "invalid type: null, expected struct Request at line 1 column 4"},
      {R"(true)", "invalid type: boolean `true`, expected struct Request at line 1 column 4"},
      {R"(7)", "invalid type: integer `7`, expected struct Request at line 1 column 1"},
      {R"(-7)", "invalid type: integer `-7`, expected struct Request at line 1 column 2"},
      {R"(2.5)", "invalid type: floating point `2.5`, expected struct Request at line 1 column 3"},
      {R"("ping")", R"(invalid type: string "ping", expected struct Request at line 1 column 6)"},
      {R"("a\"b\u0001")",
       R"(invalid type: string "a\"b\u0001", expected struct Request at line 1 column 12)"},
      // The positional form needs seven elements.
      {R"([])", "invalid length 0, expected struct Request with 7 elements at line 1 column 2"},
      {R"(["1","ping",null,null,null,null])",
       "invalid length 6, expected struct Request with 7 elements at line 1 column 32"},
      // A line feed inside the text (the pipe never hands one over) starts a new line of the
      // position.
      {"{\n\"id\":7}", "invalid type: integer `7`, expected a string at line 2 column 6"},
      {"{\"id\":\n }", "expected value at line 2 column 2"},
      // A field that meets an array or object fails at its bracket: the column counts the bytes
      // before it, and what the brackets hold is never read.
      {R"({"config":{"a":1}})", "invalid type: map, expected a string at line 1 column 10"},
      {R"({"id":[]})", "invalid type: sequence, expected a string at line 1 column 6"},
      {R"([null,"ping",{},null,null,null,null])",
       "invalid type: map, expected a string at line 1 column 13"},
      {R"({"log_path":{"k":1e309}})", "invalid type: map, expected a string at line 1 column 12"},
      {R"({"id": [1,)", "invalid type: sequence, expected a string at line 1 column 7"},
      {R"({"id":{"a":"\udc00"})", "invalid type: map, expected a string at line 1 column 6"},
      {"{\"id\":[\"\x01", "invalid type: sequence, expected a string at line 1 column 6"},
      // After a comma the end of the text is where a value must start, except in a skipped object,
      // which still waits for a key.
      {R"({"id":"1",)", "EOF while parsing a value at line 1 column 10"},
      {R"({"id":null,"x":[],)", "EOF while parsing a value at line 1 column 18"},
      {R"({"x":[1,)", "EOF while parsing a value at line 1 column 8"},
      {R"({"x":[[],{},)", "EOF while parsing a value at line 1 column 12"},
      {R"(["1",)", "EOF while parsing a value at line 1 column 5"},
      {R"({"x":{"a":1,)", "EOF while parsing an object at line 1 column 12"},
      // Numbers cut off by the end of the text: in a skipped value the number is malformed, in a
      // field or at the top the text ended where more of a value was due.
      {R"({"x":-)", "invalid number at line 1 column 6"},
      {R"({"x":-2.)", "invalid number at line 1 column 8"},
      {R"({"x":1.)", "invalid number at line 1 column 7"},
      {R"({"x":[0.)", "invalid number at line 1 column 8"},
      {R"({"x":1e)", "invalid number at line 1 column 7"},
      {R"({"x":1E+)", "invalid number at line 1 column 8"},
      {R"({"id":-2.)", "EOF while parsing a value at line 1 column 9"},
      {R"({"id":1e)", "EOF while parsing a value at line 1 column 8"},
      {R"({"id":1e-)", "EOF while parsing a value at line 1 column 9"},
      {R"([null,-)", "EOF while parsing a value at line 1 column 7"},
      {R"(-)", "EOF while parsing a value at line 1 column 1"},
      {R"(2.)", "EOF while parsing a value at line 1 column 2"},
      // Numbers beyond a double in a field.
      {R"({"id":1.7976931348623159e308})", "number out of range at line 1 column 28"},
      {"{\"id\":" + std::string(310, '9') + "}", "number out of range at line 1 column 316"},
      {R"({"id":1e2147483647})", "number out of range at line 1 column 18"},
      // However far out the exponent goes, the number is read whole first.
      {R"({"id":1e2147483648})", "number out of range at line 1 column 18"},
      {R"({"id":-1e21474836480000})", "number out of range at line 1 column 23"},
      {"{\"id\":1e" + std::string(400, '9') + "}", "number out of range at line 1 column 408"},
      // A skipped string is checked without being read: a raw control character is reported before
      // it is consumed. In a field, a key or at the top it is reported once consumed.
      {"{\"x\":{\"\x01\":1}}",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 7"},
      {"{\"x\":\"a\x1F"
       "b\"}",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 7"},
      {"{\"x\":[\"\\n\n\"]}",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 9"},
      {"{\"id\":\"a\x1F\"}",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 9"},
      {"\"\x01\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
      // The escapes a skipped value may hold still fail elsewhere: in a field, in the positional
      // form and in a key of the request object.
      {R"({"x":"\ude00","id":"\ude00"})",
       "lone leading surrogate in hex escape at line 1 column 26"},
      {R"(["\ud800",null,null,null,null,null,null])",
       "unexpected end of hex escape at line 1 column 9"},
      {R"({"\udc00":1,"action":"ping"})",
       "lone leading surrogate in hex escape at line 1 column 8"},
      // The digits themselves are still checked.
      {R"({"x":"\u12G4","action":"ping"})", "invalid escape at line 1 column 11"},
      {R"({"x":"\u12)", "EOF while parsing a string at line 1 column 10"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.text));
    const Result<Request> parsed = parse_request(c.text);
    const Error error = parsed ? Error("accepted") : parsed.error();
    // The text as the log shows it (ParseRequest.RejectedTextIsTrimmedBoundedAndEscaped).
    EXPECT_EQ(short_text(error), "invalid request: " + shown_text(c.text));
    EXPECT_EQ(error.causes, std::vector<std::string>{c.cause});
  }
}

// "floating point `X`": the shortest decimal that reads back to the same double, without an
// exponent; integers only while they fit 64 bits.
TEST(ParseRequest, NumbersAreNamedByTheirValue) {
  struct Case {
    std::string number;
    std::string found;
  };
  const Case cases[] = {
      {"123456789012345678901234567890", "floating point `123456789012345680000000000000`"},
      {"18446744073709551616", "floating point `18446744073709552000`"},
      {"18446744073709551615", "integer `18446744073709551615`"},
      {"-9223372036854775809", "floating point `-9223372036854776000`"},
      {"-9223372036854775808", "integer `-9223372036854775808`"},
      {"1e21", "floating point `1000000000000000000000`"},
      {"1e-7", "floating point `0.0000001`"},
      {"1.0", "floating point `1`"},
      {"0.1", "floating point `0.1`"},
      {"-0", "floating point `-0`"},
      {"-0.0", "floating point `-0`"},
      {"0", "integer `0`"},
      {"0E+0", "floating point `0`"},
      {"1.5E3", "floating point `1500`"},
      {"-1.25e-2", "floating point `-0.0125`"},
      // Read to the nearest double: halfway between two goes to the even one, unless a digit far
      // behind says otherwise.
      {"9007199254740993", "integer `9007199254740993`"},
      {"9007199254740993.0", "floating point `9007199254740992`"},
      {"9007199254740993." + std::string(1000, '0') + "1", "floating point `9007199254740994`"},
      {"0.000" + std::string(2000, '0') + "1e2004", "floating point `1`"},
      {"1.7976931348623157e308", "floating point `17976931348623157" + std::string(292, '0') + "`"},
      {"5e-324", "floating point `0." + std::string(323, '0') + "5`"},
      {"2.4e-324", "floating point `0`"},
      {"-1e-400", "floating point `-0`"},
      // An exponent beyond 32 bits on zero, or a negative one, gives zero.
      {"0e99999999999", "floating point `0`"},
      {"-7.5e-99999999999", "floating point `-0`"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.number);
    const std::string line = R"({"id":)" + c.number + "}";
    const Result<Request> parsed = parse_request(line);
    ASSERT_FALSE(parsed.has_value());
    EXPECT_EQ(parsed.error().causes,
              std::vector<std::string>{"invalid type: " + c.found +
                                       ", expected a string at line 1 column " +
                                       std::to_string(line.size() - 1)});
  }
}

}  // namespace
}  // namespace corvid
