#pragma once
// Text that came from a client, as the log and the responses show it: no character that could
// break, rewrite or reorder a log line, and no more than a bounded beginning of it.

#include <cstddef>
#include <string>
#include <string_view>

namespace corvid {

// How much of a client's text an entry or a refusal shows.
inline constexpr std::size_t kShownTextLimit = 256;

// The length of the UTF-8 sequence at `i` when it is a character that breaks a line on a console
// or in a log: C0 controls, DEL, NEL, LINE and PARAGRAPH SEPARATOR. 0 otherwise. No Windows file
// name holds one.
std::size_t line_breaker_length(std::string_view text, std::size_t i);
bool has_line_breaker(std::string_view text);

// The length of the UTF-8 sequence at `i` when it is a character no shown text may hold as it
// is: a line breaker, a C1 control (a CSI, U+009B, rewrites a console line as ESC [ does) or a
// bidirectional embedding, override or isolate (U+202A to U+202E, U+2066 to U+2069), which
// reorders what a reader sees. 0 otherwise. Windows file names may hold those beyond the line
// breakers.
std::size_t escaped_length(std::string_view text, std::size_t i);

// Every such character (escaped_length) written as \u and four lowercase hex digits; with
// `keep_line_feeds`, a line feed stays as it is (an entry's own continuation lines).
std::string escape_line_breakers(std::string_view text, bool keep_line_feeds = false);

// At most the first `limit` bytes of `text` (cut on a UTF-8 character boundary), followed by
// "… (N bytes)" when it is longer; escaped as above. Short text comes back unchanged but for the
// escapes.
std::string shown_text(std::string_view text, std::size_t limit = kShownTextLimit);

}  // namespace corvid
