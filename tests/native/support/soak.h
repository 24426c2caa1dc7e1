#pragma once
// How long a soak hammers, for the native and the Windows soak alike.

#include <cstdlib>

namespace corvid::testing {

// CORVID_SOAK_SECONDS in whole seconds, 1 when it is not set; not positive when it is not a
// whole number of seconds.
inline int soak_seconds() {
  const char* const setting = std::getenv("CORVID_SOAK_SECONDS");
  return setting ? std::atoi(setting) : 1;
}

}  // namespace corvid::testing
