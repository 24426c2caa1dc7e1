#pragma once
// Turns one parsed request into one response; never fails.

#include "channel/message.h"
#include "supervisor/core.h"

namespace corvid {

Response dispatch_request(const Request& request, CoreState& state);

}  // namespace corvid
