#pragma once
// Errors are values: a message and a chain of causes, rendered by exactly two functions, and the
// operating system's code of the failure at the root when one caused it.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

namespace corvid {

struct Error {
  std::string message;
  std::vector<std::string> causes;  // outermost first; each may span lines
  // The system error code (GetLastError's) behind the innermost text: callers and tests can
  // tell a failure by its code without reading a text that differs between systems.
  std::optional<std::uint32_t> os_code;

  Error() = default;
  explicit Error(std::string msg) : message(std::move(msg)) {}
  Error(std::string msg, std::string cause) : message(std::move(msg)), causes{std::move(cause)} {}
  Error(std::string msg, std::vector<std::string> cause_list)
      : message(std::move(msg)), causes(std::move(cause_list)) {}

  bool operator==(const Error&) const = default;
};

template <class T>
using Result = std::expected<T, Error>;

// `message`, caused by `cause`: its message and causes follow as the causes, its code is kept.
Error context(std::string message, Error cause);

// Passes a failed Result up in one line; a success goes on to the next statement:
//   CORVID_TRY(check_win32(SetEndOfFile(file)));
// The enclosing function answers a Result of any type.
#define CORVID_TRY(...)                                               \
  do {                                                                \
    if (auto&& corvid_try_result = (__VA_ARGS__); !corvid_try_result) \
      return std::unexpected(std::move(corvid_try_result).error());   \
  } while (false)

// The outermost message alone.
std::string short_text(const Error& error);
// The message, then "Caused by:" and the causes (indented, numbered when more than one).
std::string detailed_text(const Error& error);

}  // namespace corvid
