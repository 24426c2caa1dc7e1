#include "common/sids_win.h"

#include <sddl.h>

#include <vector>

#include "common/handle_win.h"
#include "common/os_error.h"
#include "common/utf.h"

namespace corvid {

Result<std::string> sid_string(PSID sid) {
  LocalMemory<LPWSTR> text;
  if (!ConvertSidToStringSidW(sid, text.put()))
    return std::unexpected(os_error(GetLastError()));
  return from_wide(text.get());
}

namespace {

// A token's variable-size information, or the failed call as an OS error.
Result<std::vector<unsigned char>> token_information(HANDLE token, TOKEN_INFORMATION_CLASS kind,
                                                     std::size_t least) {
  DWORD size = 0;
  GetTokenInformation(token, kind, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size < least ? least : size);
  if (!GetTokenInformation(token, kind, buffer.data(), static_cast<DWORD>(buffer.size()), &size))
    return std::unexpected(os_error(GetLastError()));
  return buffer;
}

}  // namespace

Result<std::string> token_user_sid(HANDLE token) {
  CORVID_TRY_ASSIGN(const auto buffer, token_information(token, TokenUser, sizeof(TOKEN_USER)));
  return sid_string(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid);
}

Result<std::string> token_owner_sid(HANDLE token) {
  CORVID_TRY_ASSIGN(const auto buffer, token_information(token, TokenOwner, sizeof(TOKEN_OWNER)));
  return sid_string(reinterpret_cast<const TOKEN_OWNER*>(buffer.data())->Owner);
}

}  // namespace corvid
