#include "common/cmdline.h"

namespace corvid {

namespace {

// Backslashes are literal unless they precede a double quote, so only those runs (and a run
// before the closing quote) are doubled.
void append_argument(std::string& out, std::string_view arg, bool quote) {
  if (quote)
    out += '"';
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
    } else {
      if (c == '"')
        out.append(backslashes + 1, '\\');
      backslashes = 0;
    }
    out += c;
  }
  if (quote) {
    out.append(backslashes, '\\');
    out += '"';
  }
}

bool needs_quotes(std::string_view arg, std::string_view specials) {
  return arg.empty() || arg.find_first_of(specials) != std::string_view::npos;
}

}  // namespace

std::string build_command_line(std::string_view program, const std::vector<std::string>& args) {
  std::string out;
  append_argument(out, program, true);
  for (const std::string& arg : args) {
    out += ' ';
    append_argument(out, arg, needs_quotes(arg, " \t"));
  }
  return out;
}

std::string quote_binary_path(std::string_view path) {
  std::string out;
  append_argument(out, path, needs_quotes(path, std::string_view(" \t\n\v\"", 5)));
  return out;
}

}  // namespace corvid
