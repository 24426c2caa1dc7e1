#include "common/win_security.h"

#include <sddl.h>

#include <vector>

#include "common/utf.h"
#include "common/win_handle.h"

namespace corvid {

std::expected<std::string, DWORD> sid_string(PSID sid) {
  LocalMemory<LPWSTR> text;
  if (!ConvertSidToStringSidW(sid, text.put()))
    return std::unexpected(GetLastError());
  return from_wide(text.get());
}

std::expected<std::string, DWORD> token_owner_sid(HANDLE token) {
  DWORD size = 0;
  GetTokenInformation(token, TokenOwner, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size == 0 ? sizeof(TOKEN_OWNER) : size);
  if (!GetTokenInformation(token, TokenOwner, buffer.data(), static_cast<DWORD>(buffer.size()),
                           &size))
    return std::unexpected(GetLastError());
  return sid_string(reinterpret_cast<const TOKEN_OWNER*>(buffer.data())->Owner);
}

}  // namespace corvid
