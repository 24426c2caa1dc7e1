#include "common/module_path.h"

#include <windows.h>
#include <shellapi.h>

#include <vector>

#include "common/os_error.h"
#include "common/utf.h"
#include "common/handle_win.h"

namespace corvid {

Result<std::string> running_executable_path() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0)
      return std::unexpected(os_error(GetLastError()));
    if (length < buffer.size())
      return from_wide(std::wstring_view(buffer.data(), length));
    // Truncated: grow and ask again.
    buffer.resize(buffer.size() * 2);
  }
}

std::vector<std::string> command_line_arguments() {
  int count = 0;
  const LocalMemory<LPWSTR*> argv(CommandLineToArgvW(GetCommandLineW(), &count));
  std::vector<std::string> result;
  for (int i = 0; argv && i < count; ++i)
    result.push_back(from_wide(argv.get()[i]));
  return result;
}

}  // namespace corvid
