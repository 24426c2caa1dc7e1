#include "supervisor/watchdog.h"

#include "log/log.h"

namespace corvid {

void watchdog_pass(CoreState& state) {
  bool keep_running = false;
  std::optional<CoreLaunch> launch;
  std::uint64_t generation = 0;
  {
    std::lock_guard guard(state.lock);
    keep_running = state.keep_running;
    launch = state.launch;
    generation = state.launches.generation();
    // A core ended but not yet dead holds back every launch.
    if (!ended_cores_gone(state))
      return;
  }
  if (!keep_running)
    return;

  std::optional<LaunchTicket> ticket;
  {
    std::lock_guard guard(state.lock);
    if (state.child) {
      const Result<PollResult> poll = state.child->poll();
      if (poll && poll->state == PollResult::State::kRunning)
        return;
      ChildProcess old = std::move(*state.child);
      state.child.reset();
      if (poll) {
        log_line("core exited: " + exit_status_text(poll->exit_code));
      } else {
        // A core that cannot be watched is ended before another one is launched.
        log_line("core poll error: " + short_text(poll.error()));
        end_child(state, std::move(old));
      }
    }
    // Relaunch only what is still wanted: no stop or start since the snapshot, and no other
    // launch in flight (a start's own launch is stored by the start).
    if (!launch || !state.keep_running || !state.launches.may_begin(generation) ||
        !state.ending.empty())
      return;
    ticket.emplace(state);
  }

  Result<ChildProcess> child = launch_core(*state.backend, *launch);
  if (!child) {
    ticket->abandon();
    log_line("restart failed: " + detailed_text(child.error()));
    return;
  }
  ticket->store_child(std::move(*child), "core restarted");
}

void run_core_watchdog(std::shared_ptr<std::atomic<bool>> stop_flag,
                       std::shared_ptr<CoreState> state) {
  while (!stop_flag->load()) {
    // The thread is the core's only keeper: whatever goes wrong in one pass, the next one runs.
    run_logging_errors([&] { watchdog_pass(*state); });
    state->backend->sleep_for(std::chrono::milliseconds(1000));
  }
}

}  // namespace corvid
