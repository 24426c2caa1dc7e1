#pragma once
// The system's text for an OS error code: "<message> (os error N)".

#include <cstdint>
#include <string>

#include "common/error.h"

namespace corvid {

std::string os_error_text(std::uint32_t code);

// The failure itself: its text (os_error_text) as the message, and its code.
Error os_error(std::uint32_t code);

// "IO error in winapi call" with the OS error text as its one cause, and its code.
Error winapi_error(std::uint32_t code);

// The calling thread's last error (GetLastError) as os_error has it; with `what`, that error as
// the cause of `what` (context). Call it right after the call that failed.
Error last_os_error();
Error last_os_error(std::string what);
// The text of the last error (os_error_text).
std::string last_os_error_text();

// For a Win32 call that answers a BOOL and leaves its reason in GetLastError: nothing when it
// succeeded, else the last error as `as_error` shapes it (os_error, or winapi_error where the
// caller reports that). Called with the call itself as the argument, nothing can run between it and
// GetLastError.
Result<void> check_win32(int succeeded, Error (*as_error)(std::uint32_t) = os_error);

}  // namespace corvid
