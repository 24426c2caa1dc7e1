#pragma once
// Reading security identifiers off Windows objects, in their string form.

#include <windows.h>

#include <expected>
#include <string>

namespace corvid {

// "S-1-5-18" and the like, or the failed call's error code.
std::expected<std::string, DWORD> sid_string(PSID sid);

// The user a token belongs to (TokenUser).
std::expected<std::string, DWORD> token_user_sid(HANDLE token);

// The default owner of a token (TokenOwner): what the objects its holder creates are owned by.
std::expected<std::string, DWORD> token_owner_sid(HANDLE token);

}  // namespace corvid
