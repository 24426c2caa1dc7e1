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
