#include "channel/pipe_server.h"

#include <windows.h>
#include <sddl.h>

#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "channel/dispatch.h"
#include "channel/message.h"
#include "channel/pipe_config.h"
#include "channel/pipe_identity.h"
#include "common/error.h"
#include "common/win_handle.h"
#include "common/win_io.h"
#include "log/log.h"

namespace corvid {

namespace {

namespace cfg = pipe_config;

static_assert(cfg::kPipeAccessDuplex == PIPE_ACCESS_DUPLEX);
static_assert(cfg::kFileFlagOverlapped == FILE_FLAG_OVERLAPPED);
static_assert(cfg::kFileFlagFirstPipeInstance == FILE_FLAG_FIRST_PIPE_INSTANCE);
static_assert(cfg::kPipeTypeMessage == PIPE_TYPE_MESSAGE);
static_assert(cfg::kPipeReadmodeMessage == PIPE_READMODE_MESSAGE);
static_assert(cfg::kPipeWait == PIPE_WAIT);
static_assert(cfg::kPipeNowait == PIPE_NOWAIT);
static_assert(cfg::kPipeRejectRemoteClients == PIPE_REJECT_REMOTE_CLIENTS);
static_assert(cfg::kSddlRevision == SDDL_REVISION_1);
static_assert((cfg::kOpenMode & FILE_FLAG_OVERLAPPED) == 0,
              "the I/O deadline cancels synchronous calls");
static_assert(cfg::kReadChunk <= cfg::kInBufferSize);

// "<function> failed: <code>", the code in unsigned decimal.
Error call_failed(std::string_view function, DWORD code) {
  return Error(std::string(function) + " failed: " + std::to_string(code));
}

std::string milliseconds_text(std::chrono::milliseconds duration) {
  return std::to_string(duration.count()) + " ms";
}

// Cuts off the pipe thread's blocking calls once a deadline passes: a timer thread cancels its
// synchronous I/O. After expiry the cancel is repeated until the deadline is cleared, since the
// thread may enter its next call just after a cancel found nothing to cancel. Clearing takes the
// same lock as the cancel, so no cancel reaches a call made after `clear` returned.
class IoDeadline {
 public:
  IoDeadline() {
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                         target_.put(), 0, FALSE, DUPLICATE_SAME_ACCESS)) {
      log_line("pipe timer unavailable: DuplicateHandle failed: " + std::to_string(GetLastError()));
      return;
    }
    try {
      timer_ = std::thread([this] { watch(); });
    } catch (const std::exception& error) {
      log_line(std::string("pipe timer unavailable: ") + error.what());
    }
  }

  ~IoDeadline() {
    {
      std::lock_guard guard(mutex_);
      quit_ = true;
    }
    changed_.notify_all();
    if (timer_.joinable())
      timer_.join();
  }

  IoDeadline(const IoDeadline&) = delete;
  IoDeadline& operator=(const IoDeadline&) = delete;

  // Wakes the timer only when it would otherwise sleep past the new deadline: a wake-up costs a
  // trip through the kernel (under Wine, through its server) on every request.
  void arm(std::chrono::milliseconds limit) {
    bool wake = false;
    {
      std::lock_guard guard(mutex_);
      deadline_ = std::chrono::steady_clock::now() + limit;
      expired_ = false;
      wake = !watching_ || *deadline_ < *watching_;
    }
    if (wake)
      changed_.notify_all();
  }

  // The timer finds the deadline gone when it next wakes; no need to wake it now.
  void clear() {
    std::lock_guard guard(mutex_);
    deadline_.reset();
  }

  bool expired() {
    std::lock_guard guard(mutex_);
    return expired_;
  }

 private:
  static constexpr std::chrono::milliseconds kCancelRepeat{50};

  void watch() {
    std::unique_lock held(mutex_);
    while (!quit_) {
      const auto now = std::chrono::steady_clock::now();
      if (!deadline_) {
        watching_.reset();
        changed_.wait(held);
      } else if (now < *deadline_) {
        watching_ = *deadline_;
        changed_.wait_until(held, *deadline_);
      } else {
        expired_ = true;
        CancelSynchronousIo(target_.get());
        watching_ = now + kCancelRepeat;
        changed_.wait_until(held, *watching_);
      }
    }
  }

  WinHandle target_;
  std::thread timer_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  // What the timer sleeps until; empty while it waits for a deadline.
  std::optional<std::chrono::steady_clock::time_point> watching_;
  bool expired_ = false;
  bool quit_ = false;
};

// A fresh instance of the pipe, or the accept error. A descriptor failure is logged here, with
// its detailed text, before the accept error carries it on.
Result<WinHandle> create_instance(const cfg::Settings& settings) {
  const std::wstring name(settings.name);
  const std::wstring sddl(settings.security_descriptor);

  LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), cfg::kSddlRevision,
                                                            descriptor.put(), nullptr) ||
      !descriptor) {
    const Error inner =
        call_failed("ConvertStringSecurityDescriptorToSecurityDescriptorW", GetLastError());
    log_line("ERROR: security descriptor init failed: " + detailed_text(inner));
    return std::unexpected(Error("security descriptor init failed: " + short_text(inner)));
  }

  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = descriptor.get();
  attributes.bInheritHandle = FALSE;
  WinHandle pipe(CreateNamedPipeW(name.c_str(), cfg::kOpenMode, cfg::kPipeMode, cfg::kMaxInstances,
                                  cfg::kOutBufferSize, cfg::kInBufferSize, cfg::kDefaultTimeout,
                                  &attributes));
  const DWORD create_error = GetLastError();
  descriptor.reset();
  if (!pipe)
    return std::unexpected(call_failed("CreateNamedPipeW", create_error));
  return pipe;
}

// Waits, without limit, for a client.
Result<void> accept_client(HANDLE pipe) {
  if (ConnectNamedPipe(pipe, nullptr))
    return {};
  const DWORD code = GetLastError();
  if (code == ERROR_PIPE_CONNECTED)
    return {};
  return std::unexpected(call_failed("ConnectNamedPipe", code));
}

// Reads until a line feed, a zero-length message or a failure; the request line is everything
// before the first line feed.
Result<std::string> read_request_line(HANDLE pipe, IoDeadline& deadline) {
  std::vector<char> chunk(cfg::kReadChunk);
  std::string request_bytes;
  for (;;) {
    if (deadline.expired())
      return std::unexpected(
          Error("no request line within " + milliseconds_text(cfg::kRequestTimeout)));
    DWORD read = 0;
    if (!ReadFile(pipe, chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr)) {
      const DWORD code = GetLastError();
      if (code == ERROR_OPERATION_ABORTED && deadline.expired())
        return std::unexpected(
            Error("no request line within " + milliseconds_text(cfg::kRequestTimeout)));
      return std::unexpected(call_failed("ReadFile", code));
    }
    if (read == 0)
      break;
    const std::size_t searched_from = request_bytes.size();
    request_bytes.append(chunk.data(), read);
    if (request_bytes.find(cfg::kRequestTerminator, searched_from) != std::string::npos)
      break;
  }
  const std::size_t end = request_bytes.find(cfg::kRequestTerminator);
  if (end != std::string::npos)
    request_bytes.resize(end);
  return request_bytes;
}

// Writes the whole text, then waits until the client has read it: disconnecting discards what
// the client has not read yet.
Result<void> write_response(HANDLE pipe, std::string_view text, IoDeadline& deadline) {
  const auto timed_out = [] {
    return Error("response not read within " + milliseconds_text(cfg::kResponseTimeout));
  };
  // A write that takes nothing ends the response without an error.
  const WriteOutcome written = write_all(pipe, text);
  if (written.error != 0) {
    if (written.error == ERROR_OPERATION_ABORTED && deadline.expired())
      return std::unexpected(timed_out());
    return std::unexpected(call_failed("WriteFile", written.error));
  }
  // A client that has already read and closed makes this fail; that is no error of ours.
  if (!FlushFileBuffers(pipe) && GetLastError() == ERROR_OPERATION_ABORTED && deadline.expired())
    return std::unexpected(timed_out());
  return {};
}

Result<void> serve_connection(HANDLE pipe, CoreState& state, IoDeadline& deadline) {
  deadline.arm(cfg::kRequestTimeout);
  Result<std::string> line = read_request_line(pipe, deadline);
  deadline.clear();
  if (!line)
    return std::unexpected(line.error());

  Result<Request> request = parse_request(*line);
  if (!request)
    return std::unexpected(request.error());
  // Only a start depends on who the client is, so only a start asks.
  const Caller caller = request->action == "start" ? identify_client(pipe) : Caller{};
  const Response response = dispatch_request(*request, state, caller);
  Result<std::string> text = encode_response(response);
  if (!text)
    return std::unexpected(text.error());

  deadline.arm(cfg::kResponseTimeout);
  Result<void> written = write_response(pipe, *text, deadline);
  deadline.clear();
  return written;
}

}  // namespace

void run_pipe_server(std::shared_ptr<CoreState> state,
                     std::shared_ptr<std::atomic<bool>> stop_flag) {
  run_pipe_server(std::move(state), std::move(stop_flag), cfg::Settings{});
}

void run_pipe_server(std::shared_ptr<CoreState> state, std::shared_ptr<std::atomic<bool>> stop_flag,
                     const cfg::Settings& settings) {
  IoDeadline deadline;
  while (!stop_flag->load()) {
    Result<WinHandle> pipe = create_instance(settings);
    if (pipe) {
      Result<void> accepted = accept_client(pipe->get());
      if (accepted) {
        Result<void> served;
        try {
          served = serve_connection(pipe->get(), *state, deadline);
        } catch (const std::exception& error) {
          deadline.clear();
          served = std::unexpected(Error(error.what()));
        }
        DisconnectNamedPipe(pipe->get());
        pipe->reset();
        if (!served)
          log_line("pipe handle error: " + detailed_text(served.error()));
        continue;
      }
      pipe = std::unexpected(accepted.error());
    }

    log_line("pipe accept error: " + detailed_text(pipe.error()));
    if (short_text(pipe.error()).find(cfg::kFatalMarker) != std::string::npos) {
      log_line("ERROR: security descriptor init failed; stopping service");
      stop_flag->exchange(true);
      return;
    }
    Sleep(static_cast<DWORD>(cfg::kAcceptRetryDelay.count()));
  }
}

}  // namespace corvid
