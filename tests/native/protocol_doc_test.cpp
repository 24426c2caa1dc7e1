// docs/protocol.md: its examples are in a form that can be checked, and those that only a
// standard user sees are what the helper answers an unprivileged caller. They go through the
// request parser, dispatch and the response encoder, as on the pipe, with the supervisor on its
// in-memory test double: under Wine every client is an administrator, so no pipe client can be
// refused there. (The other examples are sent to the real helper by
// tests/windows/console_protocol_doc_test.cpp.)
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "channel/dispatch.h"
#include "channel/message.h"
#include "fake_backend.h"
#include "log_capture.h"
#include "protocol_examples.h"

namespace corvid {
namespace {

namespace doc = test::protocol_doc;
using testing::FakeBackend;
using testing::LogCapture;

// The installs the document names for its standard-user examples.
constexpr char kAdminOnlyInstall[] = "C:\\Program Files\\Corvid";
constexpr char kPerUserInstall[] = "C:\\Users\\me\\AppData\\Local\\Corvid";
constexpr char kInstallingUser[] = "S-1-5-21-1004336348-1177238915-682003330-1001";

doc::Document document() {
  const std::optional<std::string> text = doc::read_document();
  EXPECT_TRUE(text.has_value()) << "protocol.md is not beside the test program";
  return doc::extract(text.value_or(""));
}

TEST(ProtocolDocument, EveryExampleBlockIsWellFormedAndTheKindsAreAllThere) {
  const doc::Document parsed = document();
  for (const std::string& error : parsed.errors)
    ADD_FAILURE() << "protocol.md " << error;
  // What the document promises to show, through the pipe and for a standard user.
  std::size_t pipe_blocks = 0, standard_user_blocks = 0, per_user_blocks = 0;
  std::vector<std::string> requests;
  std::size_t unanswered = 0;
  for (const doc::Block& block : parsed.blocks) {
    pipe_blocks += block.standard_user ? 0 : 1;
    standard_user_blocks += block.standard_user ? 1 : 0;
    per_user_blocks += block.per_user_install ? 1 : 0;
    for (const doc::Exchange& exchange : block.exchanges) {
      requests.push_back(exchange.request);
      unanswered += exchange.no_response ? 1 : 0;
    }
  }
  EXPECT_GE(pipe_blocks, 6u);
  EXPECT_GE(standard_user_blocks, 2u);
  EXPECT_EQ(per_user_blocks, 1u);
  EXPECT_GE(unanswered, 5u);
  const auto has = [&](std::string_view text) {
    for (const std::string& request : requests) {
      if (request.find(text) != std::string::npos)
        return true;
    }
    return false;
  };
  for (const char* action : {R"("action":"ping")", R"("action":"status")", R"("action":"start")",
                             R"("action":"stop")", R"("action":"PING")"}) {
    EXPECT_TRUE(has(action)) << action;
  }
}

TEST(ProtocolDocument, TheExtractorRefusesWhatItCannotCheck) {
  struct Case {
    const char* label;
    std::string markdown;
    std::size_t errors;
  };
  const Case cases[] = {
      {"a well-formed block", "```exchange\n> {}\n< x\n> {\n(no response)\n| a\n|\n| b\n```\n", 0},
      {"a response without its request", "```exchange\n< x\n```\n", 2},
      {"a request without its answer", "```exchange\n> {}\n> {}\n< x\n```\n", 1},
      {"a last request without its answer", "```exchange\n> {}\n```\n", 1},
      {"two answers", "```exchange\n> {}\n< x\n(no response)\n```\n", 1},
      {"a log line before the answer", "```exchange\n> {}\n| a\n< x\n```\n", 1},
      {"a stray line", "```exchange\n> {}\n< x\nsomething else\n```\n", 1},
      {"an unknown setting", "```exchange admin\n> {}\n< x\n```\n", 1},
      {"an unknown kind", "```exchanges\n> {}\n< x\n```\n", 1},
      {"an unclosed block", "```exchange\n> {}\n< x\n", 1},
      {"an empty block", "```exchange\n```\n", 1},
      {"other code blocks are not examples", "```\n> {}\nanything\n```\n", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const doc::Document parsed = doc::extract(c.markdown);
    EXPECT_EQ(parsed.errors.size(), c.errors) << ::testing::PrintToString(parsed.errors);
  }
  const doc::Document parsed =
      doc::extract("text\n```exchange standard-user\n> {\"a\":1}\n< {}\n| one\n|\n| two\n```\n");
  ASSERT_EQ(parsed.blocks.size(), 1u);
  EXPECT_TRUE(parsed.blocks[0].standard_user);
  EXPECT_FALSE(parsed.blocks[0].per_user_install);
  ASSERT_EQ(parsed.blocks[0].exchanges.size(), 1u);
  const doc::Exchange& exchange = parsed.blocks[0].exchanges[0];
  EXPECT_EQ(exchange.line, 3u);
  EXPECT_EQ(exchange.request, "{\"a\":1}");
  EXPECT_EQ(exchange.response, std::optional<std::string>("{}"));
  EXPECT_EQ(exchange.log_entry, std::optional<std::string>("one\n\ntwo"));
}

TEST(ProtocolDocument, OnlyThePidMayDifferFromAnExpectedResponse) {
  const std::string expected =
      R"({"id":"s","ok":true,"error":null,"data":{"pid":4321,"running":true}})";
  struct Case {
    std::string actual;
    bool matches;
  };
  const Case cases[] = {
      {R"({"id":"s","ok":true,"error":null,"data":{"pid":4321,"running":true}})", true},
      {R"({"id":"s","ok":true,"error":null,"data":{"pid":1000,"running":true}})", true},
      {R"({"id":"s","ok":true,"error":null,"data":{"pid":7,"running":true}})", true},
      {R"({"id":"s","ok":true,"error":null,"data":{"pid":null,"running":true}})", false},
      {R"({"id":"s","ok":true,"error":null,"data":{"pid":,"running":true}})", false},
      {R"({"id":"s","ok":true,"error":null,"data":{"pid":0,"running":true}})", false},
      {R"({"id":"s","ok":true,"error":null,"data":{"pid":-1,"running":true}})", false},
      {R"({"id":"s","ok":true,"error":null,"data":{"pid":12,"running":false}})", false},
      {R"({"id":"t","ok":true,"error":null,"data":{"pid":12,"running":true}})", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(doc::response_matches(expected, c.actual), c.matches) << c.actual;
  EXPECT_TRUE(doc::response_matches(R"({"id":"4321"})", R"({"id":"4321"})"));
  EXPECT_FALSE(doc::response_matches(R"({"id":"4321"})", R"({"id":"1"})"));
}

// The helper as the document describes it for its standard-user examples.
struct Install {
  std::shared_ptr<FakeBackend> os = std::make_shared<FakeBackend>();
  CoreState state{os};

  explicit Install(const doc::Block& block) {
    const std::string dir = block.per_user_install ? kPerUserInstall : kAdminOnlyInstall;
    os->set_install_dir(dir);
    os->add_existing(dir + "\\clash-rs.exe");
    if (block.per_user_install) {
      // Made by the user, who may change everything in it.
      os->set_security(
          dir, SecuritySnapshot{kInstallingUser,
                                std::vector<AccessEntry>{
                                    {AccessEntry::Kind::kAllow, 0, 0x001f01ff, kLocalSystemSid},
                                    {AccessEntry::Kind::kAllow, 0, 0x001f01ff, kAdministratorsSid},
                                    {AccessEntry::Kind::kAllow, 0, 0x001f01ff, kInstallingUser},
                                }});
    }
  }
};

TEST(ProtocolDocument, AStandardUsersExamplesAreWhatTheHelperAnswersAnUnprivilegedCaller) {
  const doc::Document parsed = document();
  std::size_t checked = 0;
  for (const doc::Block& block : parsed.blocks) {
    if (!block.standard_user)
      continue;
    Install install(block);
    for (const doc::Exchange& exchange : block.exchanges) {
      SCOPED_TRACE("protocol.md line " + std::to_string(exchange.line) + ": " + exchange.request);
      ASSERT_TRUE(exchange.response.has_value())
          << "a standard user's example is answered: only the pipe can drop a request";
      const LogCapture log;
      const Result<Request> request = parse_request(exchange.request);
      ASSERT_TRUE(request.has_value()) << detailed_text(request.error());
      const Result<std::string> answer =
          encode_response(dispatch_request(*request, install.state, Caller{false}));
      ASSERT_TRUE(answer.has_value()) << detailed_text(answer.error());
      ASSERT_TRUE(answer->ends_with("\n"));
      const std::string line = answer->substr(0, answer->size() - 1);
      EXPECT_TRUE(doc::response_matches(*exchange.response, line))
          << "expected " << *exchange.response << "\n     got " << line;
      if (exchange.log_entry) {
        const std::vector<std::string> entries = log.entries();
        EXPECT_NE(std::find(entries.begin(), entries.end(), *exchange.log_entry), entries.end())
            << "no log entry\n"
            << *exchange.log_entry << "\namong\n"
            << ::testing::PrintToString(entries);
      }
      ++checked;
    }
  }
  EXPECT_GE(checked, 10u);
}

}  // namespace
}  // namespace corvid
