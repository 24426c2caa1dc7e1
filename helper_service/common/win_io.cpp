#include "common/win_io.h"

#include <algorithm>
#include <cstddef>

namespace corvid {

WriteOutcome write_all(HANDLE handle, std::string_view bytes) {
  while (!bytes.empty()) {
    // WriteFile takes a 32-bit count.
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data(), chunk, &written, nullptr))
      return {GetLastError(), false};
    if (written == 0)
      return {0, true};
    bytes.remove_prefix(written);
  }
  return {};
}

}  // namespace corvid
