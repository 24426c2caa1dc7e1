#pragma once
// corvidctl's standard output and error: text for people on a console, bytes for scripts.

#include <windows.h>

#include <string_view>

namespace corvid::corvidctl {

// Whether the handle is a console (GetConsoleMode succeeds only for one).
bool is_console(HANDLE handle);
bool stdout_is_console();

// Writes to STD_OUTPUT_HANDLE or STD_ERROR_HANDLE: a console gets the text as UTF-16, files and
// pipes get the bytes unchanged. False when it was not all written (a reader that has gone).
bool write_std(DWORD which, std::string_view text);

// "corvidctl: <message>" and a line feed on standard error.
void print_error(std::string_view message);

}  // namespace corvid::corvidctl
