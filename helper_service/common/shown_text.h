#pragma once
// Text that came from a client, as the log and the responses show it: no character that could
// break or forge a log line, and no more than a bounded beginning of it.

#include <cstddef>
#include <string>
#include <string_view>

namespace corvid {

// How much of a client's text an entry or a refusal shows.
inline constexpr std::size_t kShownTextLimit = 256;

// The length of the UTF-8 sequence at `i` when it is a character that breaks or rewrites a line
// on a console or in a log: C0 controls, DEL, NEL, LINE and PARAGRAPH SEPARATOR. 0 otherwise.
std::size_t line_breaker_length(std::string_view text, std::size_t i);
bool has_line_breaker(std::string_view text);

// Every such character written as \u and four lowercase hex digits; with `keep_line_feeds`, a
// line feed stays as it is (an entry's own continuation lines).
std::string escape_line_breakers(std::string_view text, bool keep_line_feeds = false);

// At most the first `limit` bytes of `text` (cut on a UTF-8 character boundary), followed by
// "… (N bytes)" when it is longer; line breakers escaped. Short text comes back unchanged but
// for the escapes.
std::string shown_text(std::string_view text, std::size_t limit = kShownTextLimit);

}  // namespace corvid
