#pragma once
// What corvidctl shows a person for a response line. Portable: no Windows calls.

#include <optional>
#include <string>
#include <string_view>

namespace corvid::corvidctl {

// The response's `ok`: empty when the line is no JSON object with a boolean `ok`.
std::optional<bool> response_ok(std::string_view response_line);

// The response in words: "ok", "core running, pid N" or "core not running" for a status, or the
// error text of a failure. Empty when the line is no response that can be put into words (not
// JSON, no boolean "ok", a failure without an error text, a status of another shape): the line is
// then shown as received.
std::optional<std::string> human_text(std::string_view response_line);

}  // namespace corvid::corvidctl
