#pragma once
// What corvidctl shows a person for a response line. Portable: no Windows calls.

#include <optional>
#include <string>
#include <string_view>

namespace corvid::corvidctl {

// The response's `ok`: empty when the line is no JSON object with a boolean `ok`.
std::optional<bool> response_ok(std::string_view response_line);

// The response in words: "ok", "core running, pid N" or "core not running" for a status, "core
// owned by <owner>" or "core owned by no one" for an owner, or the error text of a failure. Empty
// when the line is no response that can be put into words (not JSON, no boolean "ok", a failure
// without an error text, a status of another shape): the line is then shown as received.
std::optional<std::string> human_text(std::string_view response_line);

// A status answer's "running"; empty when the line is no successful status.
std::optional<bool> status_running(std::string_view status_response_line);

// Who owns the core, from an "owner" response: "S-1-5-21-... (session 2)", "an administrator
// (S-1-5-18)", or "no one". Empty when the line is no such answer (an older helper's "unknown
// action", any failure, another shape).
std::optional<std::string> owner_text(std::string_view owner_response_line);

// A status in words with its owner added: "core running, pid 4321, owned by S-1-5-21-...
// (session 2)". The words alone when the owner is no one or unknown.
std::string status_with_owner(std::string status_words, std::string_view owner_response_line);

}  // namespace corvid::corvidctl
