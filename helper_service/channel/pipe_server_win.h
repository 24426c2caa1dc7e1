#pragma once
// The control channel: \\.\pipe\corvid-helper, one request line per connection.

#include <atomic>
#include <memory>

#include "channel/pipe_config.h"
#include "supervisor/core.h"

namespace corvid {

void run_pipe_server(std::shared_ptr<CoreState> state,
                     std::shared_ptr<std::atomic<bool>> stop_flag);
// The same with another pipe name or descriptor (tests).
void run_pipe_server(std::shared_ptr<CoreState> state, std::shared_ptr<std::atomic<bool>> stop_flag,
                     const pipe_config::Settings& settings);

}  // namespace corvid
