#pragma once
// Errors are values: a message and a chain of causes, rendered by exactly two functions, the
// operating system's code of the failure at the root when one caused it, and whether it is a
// failure or a refusal.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

namespace corvid {

enum class ErrorKind : std::uint8_t {
  kFailure,  // something went wrong: the work could not be done
  kRefusal,  // a decision: what was asked for is not allowed, and nothing was done
};

struct Error {
  std::string message;
  std::vector<std::string> causes;  // outermost first; each may span lines
  // The system error code (GetLastError's) behind the innermost text: callers and tests can
  // tell a failure by its code without reading a text that differs between systems.
  std::optional<std::uint32_t> os_code;
  ErrorKind kind = ErrorKind::kFailure;
  // What a refusal refuses, in the numbering of the module that refuses (a start's refusals: its
  // StartField), so that a caller can tell without reading the text; 0 otherwise.
  int subject = 0;

  Error() = default;
  explicit Error(std::string msg) : message(std::move(msg)) {}
  Error(std::string msg, std::string cause) : message(std::move(msg)), causes{std::move(cause)} {}
  Error(std::string msg, std::vector<std::string> cause_list)
      : message(std::move(msg)), causes(std::move(cause_list)) {}

  bool operator==(const Error&) const = default;
};

template <class T>
using Result = std::expected<T, Error>;

// `message`, caused by `cause`: its message and causes follow as the causes; its code, kind and
// subject are kept.
Error context(std::string message, Error cause);

// A refusal of `subject` (see Error::subject) that says why, with the system error code when a
// failed call is the reason.
Error refusal(int subject, std::string message,
              std::optional<std::uint32_t> os_code = std::nullopt);

// The one way to pass a failed Result up, in one line; a success goes on to the next statement:
//   CORVID_TRY(check_win32(SetEndOfFile(file)));
// and, where the function goes on with the value, declares it:
//   CORVID_TRY_ASSIGN(const std::string dir, exe_dir());
// The enclosing function answers a Result (an expected) of any value type and the same error type.
#define CORVID_TRY(...)                                               \
  do {                                                                \
    if (auto&& corvid_try_result = (__VA_ARGS__); !corvid_try_result) \
      return std::unexpected(std::move(corvid_try_result).error());   \
  } while (false)

#define CORVID_TRY_ASSIGN(declaration, ...) \
  CORVID_TRY_ASSIGN_AS(CORVID_TRY_JOIN(corvid_try_value_, __COUNTER__), declaration, __VA_ARGS__)
#define CORVID_TRY_ASSIGN_AS(held, declaration, ...) \
  auto held = (__VA_ARGS__);                         \
  if (!held)                                         \
    return std::unexpected(std::move(held).error()); \
  declaration = std::move(*held)
#define CORVID_TRY_JOIN(a, b) CORVID_TRY_JOIN_AGAIN(a, b)
#define CORVID_TRY_JOIN_AGAIN(a, b) a##b

// The outermost message alone.
std::string short_text(const Error& error);
// The message, then "Caused by:" and the causes (indented, numbered when more than one).
std::string detailed_text(const Error& error);

}  // namespace corvid
