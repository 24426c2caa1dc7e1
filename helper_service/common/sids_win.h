#pragma once
// Reading security identifiers off Windows objects, in their string form.

#include <windows.h>

#include <string>

#include "common/error.h"

namespace corvid {

// "S-1-5-18" and the like, or the failed call as an OS error.
Result<std::string> sid_string(PSID sid);

// The user a token belongs to (TokenUser).
Result<std::string> token_user_sid(HANDLE token);

// The default owner of a token (TokenOwner): what the objects its holder creates are owned by.
Result<std::string> token_owner_sid(HANDLE token);

}  // namespace corvid
