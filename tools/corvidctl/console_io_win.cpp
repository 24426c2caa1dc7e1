#include "console_io_win.h"

#include <algorithm>
#include <string>

#include "common/utf.h"
#include "common/io_win.h"

namespace corvid::corvidctl {

bool is_console(HANDLE handle) {
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != 0;
}

bool stdout_is_console() {
  return is_console(GetStdHandle(STD_OUTPUT_HANDLE));
}

bool write_std(DWORD which, std::string_view text) {
  HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
    return false;
  if (!is_console(handle))
    return write_all(handle, text).value_or(0) == text.size();
  const std::wstring wide = to_wide(text);
  std::size_t done = 0;
  while (done < wide.size()) {
    DWORD written = 0;
    // A long text goes in parts, never cutting a surrogate pair in two.
    std::size_t piece = std::min<std::size_t>(wide.size() - done, 16384);
    if (done + piece < wide.size() && wide[done + piece - 1] >= 0xD800 &&
        wide[done + piece - 1] <= 0xDBFF)
      --piece;
    if (!WriteConsoleW(handle, wide.data() + done, static_cast<DWORD>(piece), &written, nullptr) ||
        written == 0)
      return false;
    done += written;
  }
  return true;
}

void print_error(std::string_view message) {
  write_std(STD_ERROR_HANDLE, "corvidctl: " + std::string(message) + "\n");
}

}  // namespace corvid::corvidctl
