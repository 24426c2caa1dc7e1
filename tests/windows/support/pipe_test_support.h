#pragma once
// Pieces of the pipe-server tests: a raw client of the control pipe, the server on a thread of
// the test process, a stand-in server that records what a client sends, and the helper log. They
// all use a pipe name of this test process's own, never the product's.

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "channel/pipe_config.h"
#include "supervisor/core.h"
#include "test_support_win.h"

namespace corvid::test {

using namespace std::chrono_literals;

// The control pipe's name in this test process: "\\.\pipe\corvid-helper-test-<pid>". The
// first call also points corvidctl, in this process and in the programs it starts, at that pipe
// and at a service name no service has (CORVIDCTL_TEST_PIPE_NAME, CORVIDCTL_TEST_SERVICE_NAME).
const std::wstring& pipe_name();
std::string pipe_name_utf8();

// What one read brought: the bytes and 0, or the error (ERROR_TIMEOUT when nothing came in
// time; ERROR_MORE_DATA when the message goes on).
struct PipeRead {
  std::string bytes;
  DWORD error = 0;
};

// A client of the control pipe (pipe_name()) that speaks raw Win32: message reads, one WriteFile
// per message, every wait bounded.
class RawPipeClient {
 public:
  // Opens the pipe, waiting while it is busy or absent; empty when `wait` passed. `last_error`
  // (if given) gets the error of the last attempt, `failures` (if given) that of every failed
  // attempt.
  static std::optional<RawPipeClient> connect(std::chrono::milliseconds wait = 15s,
                                              DWORD* last_error = nullptr,
                                              std::vector<DWORD>* failures = nullptr);

  // Writes one message (a zero-length one for empty bytes); 0 or the error code.
  DWORD write(std::string_view bytes, std::chrono::milliseconds wait = 10s);
  // Reads what is there of the next message.
  PipeRead read(std::chrono::milliseconds wait);
  // Reads until a line feed has arrived; stops early at an error, with what came so far.
  PipeRead read_line(std::chrono::milliseconds wait = 15s);
  void close() { handle_.reset(); }
  HANDLE handle() const { return handle_.get(); }

 private:
  explicit RawPipeClient(HANDLE handle) : handle_(handle) {}
  WinHandle handle_;
  WinHandle event_;
};

// One exchange on a connection of its own: writes `line` as one message and returns the answer
// line; "(no connection)" or "(write failed)" when it got no further.
std::string ask(const std::string& line);

// Waits until an instance of the control pipe waits for a client (nobody is connected to it).
bool wait_for_instance(std::chrono::milliseconds wait = 15s);

// run_pipe_server on a thread of its own, with a CoreState on the Windows backend (or the one
// given) that shares the server's stop flag.
class ServerThread {
 public:
  // Serves pipe_name(), which its clients and its teardown use, whatever name the settings
  // give; the settings' descriptor text must outlive the thread.
  explicit ServerThread(const pipe_config::Settings& settings = {},
                        std::shared_ptr<CoreBackend> backend = make_windows_backend());
  // Sets the stop flag and, while the thread waits for a client, sends it one so that it ends.
  ~ServerThread();
  ServerThread(const ServerThread&) = delete;
  ServerThread& operator=(const ServerThread&) = delete;

  CoreState& state() { return *state_; }
  std::atomic<bool>& stop_flag() { return *stop_flag_; }
  // Shares for other workers, such as a watchdog beside the server.
  std::shared_ptr<CoreState> shared_state() { return state_; }
  std::shared_ptr<std::atomic<bool>> shared_stop_flag() { return stop_flag_; }
  bool finished(std::chrono::milliseconds wait = 0ms);

 private:
  std::shared_ptr<std::atomic<bool>> stop_flag_;
  std::shared_ptr<CoreState> state_;
  std::shared_future<void> finished_;
  std::thread thread_;
};

// A stand-in for the helper: one instance of the pipe; serves one client, records the messages
// it sent up to the first line feed (or a zero-length message, or the end) and answers with the
// reply unless it is empty. The pipe gets the descriptor written as `sddl`; without an owner in
// it, the owner is this process's default owner, as for the helper's own pipe. (Wine gives a
// pipe created with no descriptor at all no owner, which no client should trust.)
class ScriptedServer {
 public:
  explicit ScriptedServer(std::string reply, std::wstring_view sddl = L"D:(A;;GA;;;WD)");
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  bool created() const { return pipe_.valid(); }
  // Waits until the client has been served; false when none came in time.
  bool wait(std::chrono::milliseconds wait = 30s);
  // The messages as received (only valid after a successful wait).
  const std::vector<std::string>& messages() const { return messages_; }
  std::string request() const;
  // How far the client let the server act as itself, as seen when impersonating it after its
  // request (only valid after a successful wait; empty when that failed).
  std::optional<SECURITY_IMPERSONATION_LEVEL> impersonation_level() const {
    return impersonation_level_;
  }

 private:
  void serve();

  std::string reply_;
  WinHandle pipe_;
  std::vector<std::string> messages_;
  std::optional<SECURITY_IMPERSONATION_LEVEL> impersonation_level_;
  std::promise<void> done_;
  std::shared_future<void> finished_;
  std::thread thread_;
};

// The helper log of this test process (opened once, in a temporary directory).
class HelperLog {
 public:
  static const std::string& path();

  // The current end of the log; entries written after it are "new".
  static std::size_t mark();
  // The messages of the entries written after `from`; an entry's later lines stay in it.
  static std::vector<std::string> entries_since(std::size_t from);
  // Waits until `count` entries were written after `from`, and returns what is there then.
  static std::vector<std::string> wait_for_entries(std::size_t from, std::size_t count,
                                                   std::chrono::milliseconds wait = 15s);
  // The FILETIME of each entry written after `from`.
  static std::vector<std::uint64_t> timestamps_since(std::size_t from);
};

// A request line of `size` bytes or more (the line feed included): a ping with padding in a
// member the server skips.
std::string padded_ping(std::string_view id, std::size_t size);

}  // namespace corvid::test
