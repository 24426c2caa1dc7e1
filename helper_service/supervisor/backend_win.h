#pragma once
// The Windows implementation of the supervisor's operating-system seam.

#include <memory>

#include "supervisor/core.h"

namespace corvid {

std::shared_ptr<CoreBackend> make_windows_backend();

}  // namespace corvid
