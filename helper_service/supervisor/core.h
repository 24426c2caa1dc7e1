#pragma once
// The one record of the supervised proxy core and the operations on it: the core's state machine.
// What a start may ask for is start_policy.h's. The logic is portable; it reaches the operating
// system only through CoreBackend and the child it launches (backend.h).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "supervisor/backend.h"
#include "supervisor/start_policy.h"

namespace corvid {

// How long ending a core waits for it under the core lock. A core still running after it is kept,
// with its job, until it is seen dead, and no core is launched meanwhile.
inline constexpr std::chrono::milliseconds kCoreEndWait = std::chrono::seconds(30);

// Who the core belongs to: the user whose start it runs for, or a privileged caller, whose core no
// standard user may stop or replace.
struct CoreOwner {
  bool privileged = false;
  std::string user_sid;  // empty for a privileged caller that has none (the service itself)
  std::optional<std::uint32_t> session_id;

  bool operator==(const CoreOwner&) const = default;
};

// What a standard user is told of another user's core, for a start and for a stop.
inline constexpr const char* kCoreInUse = "core is in use by another user";

struct CoreStatus {
  bool running = false;
  std::optional<std::uint32_t> pid;  // present exactly when running
};

// The rule for a launch in flight, in one place. A launch is begun under the core lock, runs
// outside it and ends by storing its child or by being abandoned (LaunchTicket). At most one is in
// flight at a time, so that never two cores run at once. A start waits for the launch in flight,
// which lands, and then supersedes it (the start ends the child it stored and launches its own); a
// stop supersedes it first, so that the launch ends its child instead of storing it, and then
// waits for it, so that nothing runs after a stop. Guarded by the core lock, like the rest of
// CoreState.
class LaunchSlot {
 public:
  // Bumped by every start and stop.
  std::uint64_t generation() const { return generation_; }
  // A start or a stop: a launch in flight is no longer current.
  void supersede() { ++generation_; }
  // Whether a launch decided on at `seen` (a generation) may begin: no start or stop since, and
  // no other launch in flight.
  bool may_begin(std::uint64_t seen) const { return !launching_ && generation_ == seen; }
  // A start's turn, under `held` (the core lock): waits for the launch in flight to land, then
  // supersedes it.
  void for_start(std::unique_lock<std::mutex>& held);
  // A stop's turn, under `held`: supersedes the launch in flight, then waits for it to end.
  void for_stop(std::unique_lock<std::mutex>& held);
  // How many starts and stops wait for the launch in flight: tests force their interleavings
  // with it.
  int waiting() const { return waiting_; }

 private:
  friend class LaunchTicket;

  // Waits (under `held`, the core lock) until no launch is in flight.
  void wait_idle(std::unique_lock<std::mutex>& held);

  std::uint64_t generation_ = 0;
  bool launching_ = false;
  int waiting_ = 0;
  std::condition_variable done_;
};

// Shared by the host, the pipe server and the watchdog; every field is guarded by `lock`
// (the core lock).
struct CoreState {
  explicit CoreState(std::shared_ptr<CoreBackend> os,
                     std::shared_ptr<std::atomic<bool>> stop = nullptr)
      : backend(std::move(os)), stop_flag(std::move(stop)) {}

  std::shared_ptr<CoreBackend> backend;
  // Once set, nothing launches any more: the service is stopping.
  std::shared_ptr<std::atomic<bool>> stop_flag;

  // A client's start or stop takes it first and holds it from its owner check until its change is
  // made (a start: until its launch begins), so that no other client's request comes between the
  // two. Never taken under `lock`.
  std::mutex requests;
  std::mutex lock;
  std::optional<ChildProcess> child;
  // Cores ended that did not end within kCoreEndWait: nothing launches while one is here.
  std::vector<ChildProcess> ending;
  std::optional<CoreLaunch> launch;
  bool keep_running = false;
  // Set by a start, cleared by a stop: an Idle core is no one's. A standard user's start of a core
  // owned by no one leaves it so when the user's SID could not be read.
  std::optional<CoreOwner> owner;
  LaunchSlot launches;
};

// One launch in flight. Begun under the core lock (as the last thing done under it), it ends by
// store_child or abandon, each taking the core lock; a ticket destroyed before either (a failed
// spawn, an exception of any kind) abandons its launch, so later starts and stops never wait for
// a launch that will not end.
class LaunchTicket {
 public:
  // Under the core lock, with no launch in flight: begins one of the current generation.
  explicit LaunchTicket(CoreState& state);
  ~LaunchTicket();
  LaunchTicket(const LaunchTicket&) = delete;
  LaunchTicket& operator=(const LaunchTicket&) = delete;

  // The store step: keeps `child` only while its launch is still wanted and current
  // (keep_running, no child held, no start or stop since it began, not stopping) and logs
  // `stored_message`; otherwise ends the child at once. Either way the launch is over.
  bool store_child(ChildProcess child, std::string_view stored_message);
  // The launch ends without a child.
  void abandon();

 private:
  // Under the core lock.
  void end();

  CoreState& state_;
  const std::uint64_t generation_;
  bool ended_ = false;
};

// A core owned by another user is neither started over nor stopped for a standard caller
// (kCoreInUse): not for one whose SID could not be read, nor for any while a privileged caller owns
// it. Once the owner's session has no user of the owner's SID logged on (asked of the backend, and
// only when another user asks), the core keeps running but is no one's. The same user is served
// from any session; a privileged caller always.
Result<void> start_core(CoreState& state, const StartOptions& options, const Caller& caller);
Result<void> stop_core(CoreState& state, const Caller& caller);
// The service's own stop, which nothing refuses.
void stop_core(CoreState& state);
CoreStatus query_core_status(CoreState& state);
std::optional<CoreOwner> query_core_owner(CoreState& state);

// At the service's start: an existing config.json of the install directory, written by an
// earlier build or an installer and readable by others, gets its protected access list. A failure
// is logged.
void protect_core_config(CoreBackend& backend);

// Existence check, fixed command line, process creation.
Result<ChildProcess> spawn_core(CoreBackend& backend, const CoreLaunch& launch);
std::string core_command_line(const CoreLaunch& launch);

// Under the core lock: ends the child (exit code 1) and waits for it up to kCoreEndWait; one that
// still runs then is logged and kept in `state.ending`.
void end_child(CoreState& state, ChildProcess child);
// Under the core lock: releases the kept cores now seen dead; whether none is left, so that a
// core may be launched.
bool ended_cores_gone(CoreState& state);
// Drops the held child, if any: its handles close, and its job ends what still runs, without
// waiting for it. For a core seen ended.
void release_child(std::optional<ChildProcess>& child);

// spawn_core for a launch in flight: a standard exception thrown below becomes a "spawn core"
// error like any other failed creation.
Result<ChildProcess> launch_core(CoreBackend& backend, const CoreLaunch& launch);

// "exit code: N", in hex when the top bit is set.
std::string exit_status_text(std::uint32_t code);

}  // namespace corvid
