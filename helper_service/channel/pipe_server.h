#pragma once
// The control channel: \\.\pipe\corvid-helper, one request line per connection.

#include <atomic>
#include <memory>

#include "supervisor/core.h"

namespace corvid {

void run_pipe_server(std::shared_ptr<CoreState> state,
                     std::shared_ptr<std::atomic<bool>> stop_flag);

}  // namespace corvid
