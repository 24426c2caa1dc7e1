#include <gtest/gtest.h>

#include "common/error.h"

namespace corvid {
namespace {

TEST(ErrorText, DetailedTextByNumberOfCauses) {
  struct Case {
    Error error;
    std::string detailed;
  };
  const Case cases[] = {
      {Error("invalid exe path"), "invalid exe path"},
      {Error("write config", "Access is denied. (os error 5)"),
       "write config\n\nCaused by:\n    Access is denied. (os error 5)"},
      {Error("outer", "line one\nline two"), "outer\n\nCaused by:\n    line one\n    line two"},
      {Error("failed to start service dispatcher",
             std::vector<std::string>{"IO error in winapi call",
                                      "The service process could not "
                                      "connect to the service controller. (os error 1063)"}),
       "failed to start service dispatcher\n\nCaused by:\n    0: IO error in winapi call\n"
       "    1: The service process could not connect to the service controller. (os error 1063)"},
      // Numbers are right-aligned; a cause's own lines are indented under its text.
      {Error("top",
             std::vector<std::string>{"a\nb", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l"}),
       "top\n\nCaused by:\n    0: a\n       b\n    1: c\n    2: d\n    3: e\n    4: f\n"
       "    5: g\n    6: h\n    7: i\n    8: j\n    9: k\n   10: l"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(detailed_text(c.error), c.detailed) << c.error.message;
}

// Wrapping an error moves its message and causes below the new message, in order, and keeps the
// code of the failure at the root: the texts are those of the error built whole.
TEST(ErrorText, ContextKeepsTheCausesInOrderAndTheOsCode) {
  const auto coded = [](Error error, std::optional<std::uint32_t> code) {
    error.os_code = code;
    return error;
  };
  struct Case {
    Error cause;
    Error wrapped;
  };
  const Case cases[] = {
      {Error("Access is denied. (os error 5)"),
       Error("write config", "Access is denied. (os error 5)")},
      {coded(Error("The filename is invalid. (os error 123)"), 123),
       coded(Error("write config", "The filename is invalid. (os error 123)"), 123)},
      {coded(Error("IO error in winapi call", "The handle is invalid. (os error 6)"), 6),
       coded(Error("write config", std::vector<std::string>{"IO error in winapi call",
                                                            "The handle is invalid. (os error 6)"}),
             6)},
      {coded(Error("a", std::vector<std::string>{"b", "c"}), 0xC0000005u),
       coded(Error("write config", std::vector<std::string>{"a", "b", "c"}), 0xC0000005u)},
  };
  for (const Case& c : cases) {
    const Error wrapped = context("write config", c.cause);
    EXPECT_EQ(wrapped, c.wrapped) << c.cause.message;
    EXPECT_EQ(wrapped.os_code, c.cause.os_code) << c.cause.message;
    EXPECT_EQ(detailed_text(wrapped), detailed_text(c.wrapped)) << c.cause.message;
    EXPECT_EQ(short_text(wrapped), "write config");
  }
  // The code is part of the value: the same texts with another code are another error.
  EXPECT_NE(coded(Error("x"), 5), coded(Error("x"), 123));
  EXPECT_NE(coded(Error("x"), 5), Error("x"));
}

// A failure passes up unchanged and ends the function there; a value is taken once and kept.
TEST(ErrorTry, PassesAFailureUpAndKeepsAValue) {
  int evaluated = 0;
  const auto source = [&](bool ok) -> Result<std::string> {
    ++evaluated;
    if (!ok)
      return std::unexpected(Error("inner", "cause"));
    return std::string("value");
  };
  const auto assign = [&](bool ok) -> Result<std::size_t> {
    CORVID_TRY_ASSIGN(const std::string text, source(ok));
    CORVID_TRY_ASSIGN(std::string again, source(true));
    return text.size() + again.size();
  };
  const auto check = [&](bool ok) -> Result<void> {
    CORVID_TRY(source(ok));
    return {};
  };
  EXPECT_EQ(assign(true), 10u);
  EXPECT_EQ(evaluated, 2);
  const Result<std::size_t> failed = assign(false);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(detailed_text(failed.error()), "inner\n\nCaused by:\n    cause");
  EXPECT_EQ(evaluated, 3) << "the second call ran after a failure";
  EXPECT_TRUE(check(true).has_value());
  EXPECT_EQ(check(false).error().message, "inner");
}

}  // namespace
}  // namespace corvid
