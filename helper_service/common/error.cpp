#include "common/error.h"

#include <cstdio>

namespace corvid {

namespace {

// Appends text, putting `indent` after every line feed inside it.
void append_indented(std::string& out, const std::string& text, const std::string& indent) {
  for (char c : text) {
    out += c;
    if (c == '\n')
      out += indent;
  }
}

}  // namespace

Error context(std::string message, Error cause) {
  Error error(std::move(message));
  error.causes.reserve(cause.causes.size() + 1);
  error.causes.push_back(std::move(cause.message));
  for (std::string& text : cause.causes)
    error.causes.push_back(std::move(text));
  error.os_code = cause.os_code;
  error.kind = cause.kind;
  error.subject = cause.subject;
  return error;
}

Error refusal(int subject, std::string message, std::optional<std::uint32_t> os_code) {
  Error error(std::move(message));
  error.os_code = os_code;
  error.kind = ErrorKind::kRefusal;
  error.subject = subject;
  return error;
}

std::string short_text(const Error& error) {
  return error.message;
}

std::string detailed_text(const Error& error) {
  std::string out = error.message;
  if (error.causes.empty())
    return out;
  out += "\n\nCaused by:";
  if (error.causes.size() == 1) {
    out += "\n    ";
    append_indented(out, error.causes.front(), "    ");
    return out;
  }
  for (std::size_t i = 0; i < error.causes.size(); ++i) {
    char number[32];
    std::snprintf(number, sizeof number, "\n%5zu: ", i);
    out += number;
    append_indented(out, error.causes[i], "       ");
  }
  return out;
}

}  // namespace corvid
