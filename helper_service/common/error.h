#pragma once
// Errors are values: a message and a chain of causes, rendered by exactly two functions.

#include <expected>
#include <string>
#include <vector>

namespace corvid {

struct Error {
  std::string message;
  std::vector<std::string> causes;  // outermost first; each may span lines

  Error() = default;
  explicit Error(std::string msg) : message(std::move(msg)) {}
  Error(std::string msg, std::string cause) : message(std::move(msg)), causes{std::move(cause)} {}
  Error(std::string msg, std::vector<std::string> cause_list)
      : message(std::move(msg)), causes(std::move(cause_list)) {}

  bool operator==(const Error&) const = default;
};

template <class T>
using Result = std::expected<T, Error>;

// The outermost message alone.
std::string short_text(const Error& error);
// The message, then "Caused by:" and the causes (indented, numbered when more than one).
std::string detailed_text(const Error& error);

}  // namespace corvid
