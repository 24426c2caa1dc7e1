#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channel/message.h"

namespace corvid {
namespace {

using nlohmann::json;

TEST(EncodeRequest, PresentFieldsInAscendingKeyOrder) {
  struct Case {
    Request request;
    std::string line;
  };
  const Case cases[] = {
      {{}, "{}\n"},
      {{.action = "ping"}, "{\"action\":\"ping\"}\n"},
      {{.id = "", .action = "stop"}, "{\"action\":\"stop\",\"id\":\"\"}\n"},
      {{"9", "start", "a: 1\nb", R"(D:\w)", R"(D:\w\core.exe)", "c.yaml", "l"},
       R"({"action":"start","config":"a: 1\nb","config_path":"c.yaml",)"
       R"("core_path":"D:\\w\\core.exe","id":"9","log_path":"l","work_dir":"D:\\w"})"
       "\n"},
      {{.id = "q\"\\\x01\x7F\xC3\xA9/"}, "{\"id\":\"q\\\"\\\\\\u0001\x7F\xC3\xA9/\"}\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const Result<std::string> line = encode_request(c.request);
    ASSERT_TRUE(line.has_value()) << detailed_text(line.error());
    EXPECT_EQ(*line, c.line);
    // And the helper reads it back as it was.
    const Result<Request> parsed = parse_request(line->substr(0, line->size() - 1));
    ASSERT_TRUE(parsed.has_value()) << detailed_text(parsed.error());
    EXPECT_EQ(*parsed, c.request);
  }
}

TEST(EncodeRequest, AFieldThatIsNotUtf8IsRefusedByName) {
  struct Case {
    Request request;
    std::string message;
  };
  const Case cases[] = {
      {{.id = "\xFF"}, "the id value is not valid UTF-8"},
      {{.action = "ping\xC3"}, "the action value is not valid UTF-8"},
      {{.config = "a\xED\xA0\x80"}, "the config value is not valid UTF-8"},
      {{.work_dir = "\x80"}, "the work_dir value is not valid UTF-8"},
      {{.core_path = "\xC0\x80"}, "the core_path value is not valid UTF-8"},
      {{.config_path = "\xF4\x90\x80\x80"}, "the config_path value is not valid UTF-8"},
      {{.log_path = "\xE2\x82"}, "the log_path value is not valid UTF-8"},
      // The first in field order is named.
      {{.action = "\xFF", .log_path = "\xFF"}, "the action value is not valid UTF-8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const Result<std::string> line = encode_request(c.request);
    ASSERT_FALSE(line.has_value());
    EXPECT_EQ(line.error(), Error(c.message));
  }
}

TEST(EncodeResponse, WritesTheFourMembersCompactlyInOrder) {
  struct Case {
    Response response;
    std::string line;
  };
  json status_running = json::object();
  status_running["running"] = true;  // filled before pid on purpose
  status_running["pid"] = 4321u;
  json status_idle = json::object();
  status_idle["running"] = false;
  status_idle["pid"] = nullptr;
  json keys = json::object();
  for (const char* key : {"\xC3\xA9", "ab", "a", "B", "", "b"})
    keys[key] = 1;
  const Case cases[] = {
      {{"42", true, std::nullopt, json{{"pong", true}}},
       "{\"id\":\"42\",\"ok\":true,\"error\":null,\"data\":{\"pong\":true}}\n"},
      {{"s1", true, std::nullopt, status_running},
       "{\"id\":\"s1\",\"ok\":true,\"error\":null,\"data\":{\"pid\":4321,\"running\":true}}\n"},
      {{"7", true, std::nullopt, status_idle},
       "{\"id\":\"7\",\"ok\":true,\"error\":null,\"data\":{\"pid\":null,\"running\":false}}\n"},
      {{"7", true, std::nullopt, std::nullopt},
       "{\"id\":\"7\",\"ok\":true,\"error\":null,\"data\":null}\n"},
      {{"7", false, "unknown action", std::nullopt},
       "{\"id\":\"7\",\"ok\":false,\"error\":\"unknown action\",\"data\":null}\n"},
      {{std::nullopt, false, std::nullopt, std::nullopt},
       "{\"id\":null,\"ok\":false,\"error\":null,\"data\":null}\n"},
      {{"", true, "", json::object()}, "{\"id\":\"\",\"ok\":true,\"error\":\"\",\"data\":{}}\n"},
      // Keys in ascending byte order, a prefix first; any general value.
      {{"k", true, std::nullopt, keys},
       "{\"id\":\"k\",\"ok\":true,\"error\":null,\"data\":{\"\":1,\"B\":1,\"a\":1,\"ab\":1,\"b\":1,"
       "\"\xC3\xA9\":1}}\n"},
      {{"v", true, std::nullopt,
        json{{"list", json::array({-5, 18446744073709551615u, "s", nullptr, false, json::array(),
                                   json{{"z", 1}, {"y", 2}}})}}},
       "{\"id\":\"v\",\"ok\":true,\"error\":null,\"data\":{\"list\":[-5,18446744073709551615,\"s\","
       "null,false,[],{\"y\":2,\"z\":1}]}}\n"},
      // A replaced key keeps one entry.
      {{"r", true, std::nullopt,
        [] {
          json data = json::object();
          data["pid"] = 1;
          data["pid"] = 2;
          return data;
        }()},
       "{\"id\":\"r\",\"ok\":true,\"error\":null,\"data\":{\"pid\":2}}\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const Result<std::string> text = encode_response(c.response);
    ASSERT_TRUE(text.has_value()) << detailed_text(text.error());
    EXPECT_EQ(*text, c.line);
  }
}

TEST(EncodeResponse, StringEscapes) {
  struct Case {
    std::string id;
    std::string written;  // between the quotes
  };
  const Case cases[] = {
      {"a\"b", R"(a\"b)"},
      {"a\\b", R"(a\\b)"},
      {"\b\t\n\f\r", R"(\b\t\n\f\r)"},
      {std::string("\0\x01\x0B\x1F", 4), R"(\u0000\u0001\u000b\u001f)"},
      {"/\x7F ", "/\x7F "},
      {"\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80", "\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.written);
    const Response response{c.id, false, c.id, json{{c.id, c.id}}};
    const std::string quoted = "\"" + c.written + "\"";
    const Result<std::string> text = encode_response(response);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, "{\"id\":" + quoted + ",\"ok\":false,\"error\":" + quoted + ",\"data\":{" +
                         quoted + ":" + quoted + "}}\n");
  }
}

TEST(EncodeResponse, IdsComeBackAsTheyWereSent) {
  struct Case {
    std::string line;
    std::string id_written;
  };
  const Case cases[] = {
      // \u escapes for plain letters come back as the letters.
      {R"({"id":"\u0041\u0062c"})", R"("Abc")"},
      {R"({"id":"q\"b\\s\u0001\u001F\u007f"})", "\"q\\\"b\\\\s\\u0001\\u001f\x7F\""},
      {R"({"id":"\/\ud83d\ude00"})", "\"/\xF0\x9F\x98\x80\""},
      {R"({"id":null})", "null"},
      {R"({"id":""})", R"("")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const Result<Request> parsed = parse_request(c.line);
    ASSERT_TRUE(parsed.has_value()) << detailed_text(parsed.error());
    const Result<std::string> text =
        encode_response({parsed->id, true, std::nullopt, std::nullopt});
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, "{\"id\":" + c.id_written + ",\"ok\":true,\"error\":null,\"data\":null}\n");
  }
}

TEST(EncodeResponse, InvalidUtf8IsAnErrorNotAThrow) {
  const Response responses[] = {
      {"\xFF", true, std::nullopt, std::nullopt},
      {"1", false, "bad \xC3", std::nullopt},
      {"1", true, std::nullopt, json{{"k\xE2\x82", 1}}},
  };
  for (const Response& response : responses) {
    const Result<std::string> text = encode_response(response);
    ASSERT_FALSE(text.has_value());
    EXPECT_EQ(short_text(text.error()), "response not encodable");
    EXPECT_EQ(text.error().causes.size(), 1u);
  }
}

}  // namespace
}  // namespace corvid
