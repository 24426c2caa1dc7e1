// What corvidctl shows a person for a response line, and what decides its exit status.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "response_text.h"

namespace corvid::corvidctl {
namespace {

TEST(HumanText, EachKindOfResponseInWords) {
  struct Case {
    const char* label;
    std::string line;
    std::optional<std::string> words;
  };
  const Case cases[] = {
      {"ping", R"({"id":"7","ok":true,"error":null,"data":{"pong":true}})", "ok"},
      {"ping without id, as received with its line feed",
       "{\"id\":null,\"ok\":true,\"error\":null,\"data\":{\"pong\":true}}\n", "ok"},
      {"start", R"({"id":"1","ok":true,"error":null,"data":null})", "ok"},
      {"stop", R"({"id":null,"ok":true,"error":null,"data":null})", "ok"},
      {"status running", R"({"id":"s","ok":true,"error":null,"data":{"pid":4321,"running":true}})",
       "core running, pid 4321"},
      {"status running, largest pid",
       R"({"id":null,"ok":true,"error":null,"data":{"pid":4294967295,"running":true}})",
       "core running, pid 4294967295"},
      {"status not running",
       R"({"id":null,"ok":true,"error":null,"data":{"pid":null,"running":false}})",
       "core not running"},
      {"status running without a pid",
       R"({"id":null,"ok":true,"error":null,"data":{"pid":null,"running":true}})", "core running"},
      {"unknown action", R"({"id":"a","ok":false,"error":"unknown action","data":null})",
       "unknown action"},
      {"core not found",
       R"({"id":null,"ok":false,"error":"core not found: C:\\Corvid\\clash-rs.exe","data":null})",
       R"(core not found: C:\Corvid\clash-rs.exe)"},
      {"write config", R"({"id":null,"ok":false,"error":"write config","data":null})",
       "write config"},
      {"spawn core", R"({"id":null,"ok":false,"error":"spawn core","data":null})", "spawn core"},
      {"a refused control character stays escaped",
       R"({"id":null,"ok":false,"error":"log path not allowed: C:\\Corvid\\clash\\u000a.log","data":null})",
       R"(log path not allowed: C:\Corvid\clash\u000a.log)"},
      {"a standard user's refusal",
       R"({"id":null,"ok":false,"error":"install directory is writable by non-administrators: C:\\Users\\me\\AppData\\Local\\Corvid","data":null})",
       R"(install directory is writable by non-administrators: C:\Users\me\AppData\Local\Corvid)"},
      {"non-ASCII error text",
       R"({"id":null,"ok":false,"error":"core not found: C:\\Café\\clash-rs.exe","data":null})",
       "core not found: C:\\Caf\xC3\xA9\\clash-rs.exe"},
      {"owner: a user",
       R"({"id":null,"ok":true,"error":null,"data":{"owner":{"privileged":false,"session":2,"sid":"S-1-5-21-7-8-9-1001"}}})",
       "core owned by S-1-5-21-7-8-9-1001 (session 2)"},
      {"owner: no one", R"({"id":null,"ok":true,"error":null,"data":{"owner":null}})",
       "core owned by no one"},
      // Shown as received instead.
      {"owner of another shape", R"({"ok":true,"data":{"owner":{"sid":5}}})", std::nullopt},
      {"not JSON", "garbage\n", std::nullopt},
      {"empty", "", std::nullopt},
      {"a JSON array", "[1,2]", std::nullopt},
      {"no ok", R"({"id":"1","error":null})", std::nullopt},
      {"ok not a boolean", R"({"ok":"yes"})", std::nullopt},
      {"a failure without error text", R"({"ok":false})", std::nullopt},
      {"a failure with a null error", R"({"ok":false,"error":null})", std::nullopt},
      {"a failure with an error that is no string", R"({"ok":false,"error":{"code":5}})",
       std::nullopt},
      {"running not a boolean", R"({"ok":true,"data":{"pid":1,"running":"yes"}})", std::nullopt},
      {"a negative pid", R"({"ok":true,"data":{"pid":-1,"running":true}})", std::nullopt},
      {"a pid that is text", R"({"ok":true,"data":{"pid":"12","running":true}})", std::nullopt},
      {"a cut line", R"({"id":"1","ok":true,"error":nu)", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(human_text(c.line), c.words);
  }
}

// The exit status follows "ok" alone, also where the words cannot be given.
TEST(ResponseOk, IsTheBooleanOkOfAJsonObject) {
  struct Case {
    std::string line;
    std::optional<bool> ok;
  };
  const Case cases[] = {
      {R"({"id":null,"ok":true,"error":null,"data":null})"
       "\n",
       true},
      {R"({"id":"1","ok":false,"error":"spawn core","data":null})", false},
      {R"({"ok":false})", false},
      {R"({"ok":true,"data":{"running":"yes"}})", true},
      {"garbage\n", std::nullopt},
      {"", std::nullopt},
      {"[true]", std::nullopt},
      {R"({"ok":"true"})", std::nullopt},
      {R"({"ok":1})", std::nullopt},
      {R"({"id":"1"})", std::nullopt},
      {R"({"ok":true)", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(response_ok(c.line), c.ok);
  }
}

// A status on a console says who owns the core when the helper knows the "owner" action.
TEST(StatusWithOwner, AddsTheOwnerTheHelperNames) {
  const std::string running = "core running, pid 4321";
  struct Case {
    const char* label;
    std::string owner_line;
    std::optional<std::string> owner;
    std::string status;
  };
  const Case cases[] = {
      {"a user in a session",
       R"({"id":null,"ok":true,"error":null,"data":{"owner":{"privileged":false,"session":2,"sid":"S-1-5-21-1-2-3-1001"}}})"
       "\n",
       "S-1-5-21-1-2-3-1001 (session 2)", running + ", owned by S-1-5-21-1-2-3-1001 (session 2)"},
      {"a user whose session is unknown",
       R"({"id":null,"ok":true,"error":null,"data":{"owner":{"privileged":false,"session":null,"sid":"S-1-5-21-1-2-3-1001"}}})",
       "S-1-5-21-1-2-3-1001", running + ", owned by S-1-5-21-1-2-3-1001"},
      {"an administrator",
       R"({"id":null,"ok":true,"error":null,"data":{"owner":{"privileged":true,"session":0,"sid":"S-1-5-18"}}})",
       "an administrator (S-1-5-18)", running + ", owned by an administrator (S-1-5-18)"},
      {"no one", R"({"id":null,"ok":true,"error":null,"data":{"owner":null}})", "no one", running},
      // Nothing added.
      {"an older helper",
       R"({"id":null,"ok":false,"error":"unknown action","data":null})"
       "\n",
       std::nullopt, running},
      {"a session that is no number",
       R"({"ok":true,"data":{"owner":{"privileged":false,"session":"2","sid":"S-1-5-21-1"}}})",
       std::nullopt, running},
      {"no privileged", R"({"ok":true,"data":{"owner":{"session":2,"sid":"S-1-5-21-1"}}})",
       std::nullopt, running},
      {"a status instead", R"({"ok":true,"data":{"pid":null,"running":false}})", std::nullopt,
       running},
      {"not JSON", "garbage", std::nullopt, running},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(owner_text(c.owner_line), c.owner);
    EXPECT_EQ(status_with_owner(running, c.owner_line), c.status);
  }
}

TEST(StatusRunning, IsTheRunningOfASuccessfulStatus) {
  const std::pair<std::string, std::optional<bool>> cases[] = {
      {R"({"id":null,"ok":true,"error":null,"data":{"pid":7,"running":true}})"
       "\n",
       true},
      {R"({"id":null,"ok":true,"error":null,"data":{"pid":null,"running":false}})", false},
      {R"({"ok":false,"error":"x","data":{"running":true}})", std::nullopt},
      {R"({"ok":true,"data":{"running":"yes"}})", std::nullopt},
      {R"({"ok":true,"data":{"pong":true}})", std::nullopt},
      {R"({"ok":true,"data":null})", std::nullopt},
      {"garbage", std::nullopt},
  };
  for (const auto& [line, running] : cases) {
    SCOPED_TRACE(line);
    EXPECT_EQ(status_running(line), running);
  }
}

}  // namespace
}  // namespace corvid::corvidctl
