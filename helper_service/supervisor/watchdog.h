#pragma once
// Keeps the core running while it is wanted: one pass a second until `stop_flag` is set.

#include <atomic>
#include <memory>

#include "supervisor/core.h"

namespace corvid {

void run_core_watchdog(std::shared_ptr<std::atomic<bool>> stop_flag,
                       std::shared_ptr<CoreState> state);

// One pass without the sleep, for the thread body and for tests.
void watchdog_pass(CoreState& state);

}  // namespace corvid
