#pragma once
// Turns one parsed request into one response; never fails.

#include "channel/message.h"
#include "supervisor/core.h"

namespace corvid {

// `caller` is who sent the request; it decides which paths a start may name and whose core a
// start or a stop may touch (see start_core).
// There is no default: a forgotten caller must not compile.
Response dispatch_request(const Request& request, CoreState& state, const Caller& caller);

}  // namespace corvid
