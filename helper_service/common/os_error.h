#pragma once
// The system's text for an OS error code: "<message> (os error N)".

#include <cstdint>
#include <string>

#include "common/error.h"

namespace corvid {

std::string os_error_text(std::uint32_t code);

// "IO error in winapi call" with the OS error text as its one cause.
Error winapi_error(std::uint32_t code);

}  // namespace corvid
