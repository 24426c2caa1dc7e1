#include "channel/pipe_server_win.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
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
#include "channel/pipe_identity_win.h"
#include "common/error.h"
#include "common/handle_win.h"
#include "common/io_win.h"
#include "log/log.h"

namespace corvid {

namespace {

namespace cfg = pipe_config;

static_assert(cfg::kPipeAccessDuplex == PIPE_ACCESS_DUPLEX);
static_assert(cfg::kFileFlagFirstPipeInstance == FILE_FLAG_FIRST_PIPE_INSTANCE);
static_assert(cfg::kPipeTypeMessage == PIPE_TYPE_MESSAGE);
static_assert(cfg::kPipeReadmodeMessage == PIPE_READMODE_MESSAGE);
static_assert(cfg::kPipeWait == PIPE_WAIT);
static_assert(cfg::kPipeRejectRemoteClients == PIPE_REJECT_REMOTE_CLIENTS);
static_assert(cfg::kSddlRevision == SDDL_REVISION_1);
static_assert((cfg::kFirstOpenMode & FILE_FLAG_OVERLAPPED) == 0,
              "the I/O deadline cancels synchronous calls");
static_assert(cfg::kWriteDac == WRITE_DAC);
static_assert(cfg::kFirstOpenMode == (cfg::kOpenMode | FILE_FLAG_FIRST_PIPE_INSTANCE | WRITE_DAC));
static_assert(cfg::kReadChunk <= cfg::kInBufferSize);

// "<function> failed: <code>", the code in unsigned decimal, and kept as the error's code.
Error call_failed(std::string_view function, DWORD code) {
  Error error(std::string(function) + " failed: " + std::to_string(code));
  error.os_code = code;
  return error;
}

std::string milliseconds_text(std::chrono::milliseconds duration) {
  return std::to_string(duration.count()) + " ms";
}

// Cuts off one serving thread's blocking calls once a deadline passes: a timer thread cancels
// its synchronous I/O. After expiry the cancel is repeated until the deadline is cleared, since
// the thread may enter its next call just after a cancel found nothing to cancel. Clearing takes
// the same lock as the cancel, so no cancel reaches a call made after `clear` returned. Made on
// the thread it watches.
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

  // The wait for a client: no deadline, but the server's end cuts it short.
  void arm_accept() {
    bool wake = false;
    {
      std::lock_guard guard(mutex_);
      accepting_ = true;
      expired_ = false;
      wake = ending_;
      if (ending_)
        deadline_ = std::chrono::steady_clock::now();
    }
    if (wake)
      changed_.notify_all();
  }

  // Cuts short the wait for a client, now or whenever it begins; a client being served is left
  // to finish.
  void end_accepting() {
    {
      std::lock_guard guard(mutex_);
      ending_ = true;
      if (accepting_)
        deadline_ = std::chrono::steady_clock::now();
    }
    changed_.notify_all();
  }

  // The timer finds the deadline gone when it next wakes; no need to wake it now.
  void clear() {
    std::lock_guard guard(mutex_);
    deadline_.reset();
    accepting_ = false;
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
  bool accepting_ = false;
  bool ending_ = false;
  bool quit_ = false;
};

// Clears the deadline on every way out of a phase, returned or thrown.
class ArmedDeadline {
 public:
  ArmedDeadline(IoDeadline& deadline, std::chrono::milliseconds limit) : deadline_(deadline) {
    deadline_.arm(limit);
  }
  // The accept phase.
  explicit ArmedDeadline(IoDeadline& deadline) : deadline_(deadline) { deadline_.arm_accept(); }
  ~ArmedDeadline() { deadline_.clear(); }
  ArmedDeadline(const ArmedDeadline&) = delete;
  ArmedDeadline& operator=(const ArmedDeadline&) = delete;

 private:
  IoDeadline& deadline_;
};

using Descriptor = LocalMemory<PSECURITY_DESCRIPTOR>;

// The pipe's descriptor, or the inner error of the one failure that ends the server.
Result<Descriptor> build_descriptor(std::wstring_view sddl_text) {
  const std::wstring sddl(sddl_text);
  Descriptor descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), cfg::kSddlRevision,
                                                            descriptor.put(), nullptr) ||
      !descriptor) {
    return std::unexpected(
        call_failed("ConvertStringSecurityDescriptorToSecurityDescriptorW", GetLastError()));
  }
  return descriptor;
}

// A fresh instance of the pipe, or the accept error. `first`: no instance of ours is open, so
// the name must be free, or someone else's pipe would be joined. Every instance allows exactly
// as many as the server holds.
Result<WinHandle> create_instance(const std::wstring& name, PSECURITY_DESCRIPTOR descriptor,
                                  bool first) {
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = descriptor;
  attributes.bInheritHandle = FALSE;
  WinHandle pipe(CreateNamedPipeW(name.c_str(), first ? cfg::kFirstOpenMode : cfg::kOpenMode,
                                  cfg::kPipeMode, cfg::kMaxInstances, cfg::kOutBufferSize,
                                  cfg::kInBufferSize, cfg::kDefaultTimeout, &attributes));
  if (!pipe)
    return std::unexpected(call_failed("CreateNamedPipeW", GetLastError()));
  return pipe;
}

// Waits for a client until one comes or the server ends. A client may have connected since the
// instance was created, before its worker first listened: that is a connection too.
Result<void> accept_client(HANDLE pipe, IoDeadline& deadline) {
  const ArmedDeadline accepting(deadline);
  if (ConnectNamedPipe(pipe, nullptr))
    return {};
  const DWORD code = GetLastError();
  // A client may even have come and gone before this call (ERROR_NO_DATA); serving it finds it
  // gone, as for a client that closes just after connecting.
  if (code == ERROR_PIPE_CONNECTED || code == ERROR_NO_DATA)
    return {};
  return std::unexpected(call_failed("ConnectNamedPipe", code));
}

Error no_request_line(std::chrono::milliseconds limit) {
  return Error("no request line within " + milliseconds_text(limit));
}

Error request_too_long() {
  return Error("request longer than " + std::to_string(cfg::kMaxRequestLine) + " bytes");
}

// Room for `more` bytes, growing by doubling but never past the most a request can need, so a
// refused request holds at most the limit plus one read.
void make_room(std::string& bytes, std::size_t more) {
  const std::size_t needed = bytes.size() + more;
  if (needed <= bytes.capacity())
    return;
  bytes.reserve(
      std::min(std::max(needed, bytes.capacity() * 2), cfg::kMaxRequestLine + cfg::kReadChunk));
}

// Reads until a line feed, a zero-length message or a failure; the request line is everything
// before the first line feed. A line longer than the limit ends the reading as soon as that is
// known. `limit` is the deadline the caller armed, for the error.
Result<std::string> read_request_line(HANDLE pipe, IoDeadline& deadline,
                                      std::chrono::milliseconds limit) {
  std::vector<char> chunk(cfg::kReadChunk);
  std::string request_bytes;
  for (;;) {
    if (deadline.expired())
      return std::unexpected(no_request_line(limit));
    DWORD read = 0;
    if (!ReadFile(pipe, chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr)) {
      const DWORD code = GetLastError();
      if (code == ERROR_OPERATION_ABORTED && deadline.expired())
        return std::unexpected(no_request_line(limit));
      return std::unexpected(call_failed("ReadFile", code));
    }
    if (read == 0)
      return request_bytes;
    const std::size_t searched_from = request_bytes.size();
    make_room(request_bytes, read);
    request_bytes.append(chunk.data(), read);
    const std::size_t end = request_bytes.find(cfg::kRequestTerminator, searched_from);
    if (end != std::string::npos) {
      if (end > cfg::kMaxRequestLine)
        return std::unexpected(request_too_long());
      request_bytes.resize(end);
      return request_bytes;
    }
    if (request_bytes.size() > cfg::kMaxRequestLine)
      return std::unexpected(request_too_long());
  }
}

// Writes the whole text, then waits until the client has read it: disconnecting discards what
// the client has not read yet. `limit` is the deadline the caller armed, for the error.
Result<void> write_response(HANDLE pipe, std::string_view text, IoDeadline& deadline,
                            std::chrono::milliseconds limit) {
  const auto timed_out = [limit] {
    return Error("response not read within " + milliseconds_text(limit));
  };
  // A write that takes nothing ends the response without an error.
  const Result<std::size_t> written = write_all(pipe, text);
  if (!written) {
    const std::uint32_t code = written.error().os_code.value_or(0);
    if (code == ERROR_OPERATION_ABORTED && deadline.expired())
      return std::unexpected(timed_out());
    return std::unexpected(call_failed("WriteFile", code));
  }
  // A client that has already read and closed makes this fail; that is no error of ours.
  if (!FlushFileBuffers(pipe) && GetLastError() == ERROR_OPERATION_ABORTED && deadline.expired())
    return std::unexpected(timed_out());
  return {};
}

// Who the client is, by the settings' judge or, by default, by the client's own token.
Caller judge_client(const cfg::Settings& settings, HANDLE pipe) {
  if (settings.judge_client)
    return settings.judge_client(pipe);
  return identify_client(pipe);
}

// `dispatching` admits one request at a time to the supervisor, whichever instance it came on.
Result<void> serve_connection(HANDLE pipe, CoreState& state, IoDeadline& deadline,
                              const cfg::Settings& settings, std::mutex& dispatching) {
  Result<std::string> line;
  {
    // From the connection on: a client connects only once its instance serves it.
    const ArmedDeadline reading(deadline, settings.request_timeout);
    line = read_request_line(pipe, deadline, settings.request_timeout);
  }
  if (!line)
    return std::unexpected(line.error());

  Result<Request> request = parse_request(*line);
  if (!request)
    return std::unexpected(request.error());
  // Only a start and a stop depend on who the client is, so only they ask; every other action
  // is dispatched as an unprivileged client's, which it does not look at.
  const bool judged = request->action == "start" || request->action == "stop";
  Response response;
  {
    const std::lock_guard one_at_a_time(dispatching);
    const Caller caller = judged ? judge_client(settings, pipe) : Caller{.privileged = false};
    response = dispatch_request(*request, state, caller);
  }
  CORVID_TRY_ASSIGN(const std::string text, encode_response(response));

  const ArmedDeadline writing(deadline, settings.response_timeout);
  return write_response(pipe, text, deadline, settings.response_timeout);
}

void log_accept_error(const Error& error) {
  log_line("pipe accept error: " + detailed_text(error));
}

// The server holds every instance the pipe allows, each served by a worker thread of its own
// that disconnects its client and listens again, never closing the instance, until the server
// ends: so the name never lacks an instance of ours and no one else can add one. A worker ends
// only once `stop_flag` is set, after the client it served then; the first to end has the
// others' waits for a client cut short, and the instances go with the workers.
class PipeServer {
 public:
  PipeServer(CoreState& state, const std::atomic<bool>& stop_flag, const cfg::Settings& settings,
             PSECURITY_DESCRIPTOR filling, PSECURITY_DESCRIPTOR descriptor)
      : state_(state),
        stop_flag_(stop_flag),
        settings_(settings),
        name_(settings.name),
        filling_(filling),
        descriptor_(descriptor) {}

  void run() {
    std::vector<std::thread> workers;
    // The pipe is open to ordinary clients only once no place is left for anyone else's instance.
    WinHandle first;
    while (workers.size() < cfg::kMaxInstances && !stop_flag_.load()) {
      bool made = false;
      run_logging_errors([&] { made = add_worker(workers, first); });
      if (!made)
        retry_delay();
    }
    if (first)
      open_to_users(first.get());
    first.reset();
    {
      std::unique_lock held(mutex_);
      ended_changed_.wait(held, [&] { return ended_ > 0 || workers.size() == ended_; });
      for (IoDeadline* deadline : deadlines_)
        deadline->end_accepting();
      ending_ = true;
    }
    for (std::thread& worker : workers)
      worker.join();
  }

 private:
  void retry_delay() const { Sleep(static_cast<DWORD>(settings_.accept_retry_delay.count())); }

  // Makes the next instance and its worker; false when it could not. `first` gets a handle of
  // its own on the first instance, for the access list.
  bool add_worker(std::vector<std::thread>& workers, WinHandle& first) {
    Result<WinHandle> created = create_instance(name_, filling_, workers.empty());
    if (!created) {
      // Only a helper that is not an administrator cannot fill its own pipe: it is no one's
      // trusted helper, so it takes the ordinary access list and goes on.
      if (first && created.error().os_code == ERROR_ACCESS_DENIED) {
        open_to_users(first.get());
        first.reset();
        created = create_instance(name_, filling_, false);
      }
    }
    if (!created) {
      log_create_error(created.error());
      return false;
    }
    if (workers.empty() && !DuplicateHandle(GetCurrentProcess(), created->get(),
                                            GetCurrentProcess(), first.put(), WRITE_DAC, FALSE, 0))
      log_accept_error(call_failed("DuplicateHandle", GetLastError()));
    // A thread that cannot be made throws, and the instance it was for goes.
    workers.emplace_back([this, pipe = std::move(*created)] {
      serve_instance(pipe.get());
      std::lock_guard guard(mutex_);
      ++ended_;
      ended_changed_.notify_all();
    });
    return true;
  }

  // Gives the pipe (every instance of it) its ordinary access list. Should that fail, clients keep
  // the narrower one: a standard user's read and write open is refused, nothing is opened wider.
  void open_to_users(HANDLE pipe) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor_, &present, &dacl, &defaulted)) {
      log_accept_error(call_failed("GetSecurityDescriptorDacl", GetLastError()));
      return;
    }
    // This one answers its error code itself.
    const DWORD error = SetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                        nullptr, dacl, nullptr);
    if (error != ERROR_SUCCESS)
      log_accept_error(call_failed("SetSecurityInfo", error));
  }

  // Someone else may hold the name for as long as they like: retrying is cheap, saying so
  // every time is not.
  void log_create_error(const Error& error) {
    const auto now = std::chrono::steady_clock::now();
    if (last_create_error_ && now - *last_create_error_ < settings_.create_error_log_interval)
      return;
    last_create_error_ = now;
    log_accept_error(error);
  }

  void serve_instance(HANDLE pipe) {
    IoDeadline deadline;
    {
      std::lock_guard guard(mutex_);
      deadlines_.push_back(&deadline);
      if (ending_)
        deadline.end_accepting();
    }
    // The flag does not keep a worker from waiting for a client: it ends after the client
    // that comes next, or when another's end cuts its wait short.
    for (;;) {
      bool passed = false;
      // Nothing that goes wrong in one client's pass may end the only control channel.
      run_logging_errors([&] {
        pass(pipe, deadline);
        passed = true;
      });
      if (stop_flag_.load())
        break;
      if (!passed)
        retry_delay();
    }
    std::lock_guard guard(mutex_);
    std::erase(deadlines_, &deadline);
  }

  // Accepts one client on the worker's instance and serves it.
  void pass(HANDLE pipe, IoDeadline& deadline) {
    if (Result<void> accepted = accept_client(pipe, deadline); !accepted) {
      // The server's end, not a failure.
      if (stop_flag_.load() && accepted.error().os_code == ERROR_OPERATION_ABORTED)
        return;
      log_accept_error(accepted.error());
      DisconnectNamedPipe(pipe);
      retry_delay();
      return;
    }
    const Result<void> served = serve_connection(pipe, state_, deadline, settings_, dispatching_);
    DisconnectNamedPipe(pipe);
    if (!served)
      log_line("pipe handle error: " + detailed_text(served.error()));
  }

  CoreState& state_;
  const std::atomic<bool>& stop_flag_;
  const cfg::Settings settings_;
  const std::wstring name_;
  const PSECURITY_DESCRIPTOR filling_;
  const PSECURITY_DESCRIPTOR descriptor_;
  std::mutex dispatching_;
  std::optional<std::chrono::steady_clock::time_point> last_create_error_;
  // Guards what follows; taken before a worker's deadline lock, never while dispatching.
  std::mutex mutex_;
  std::condition_variable ended_changed_;
  std::vector<IoDeadline*> deadlines_;
  std::size_t ended_ = 0;
  bool ending_ = false;
};

}  // namespace

void run_pipe_server(std::shared_ptr<CoreState> state,
                     std::shared_ptr<std::atomic<bool>> stop_flag) {
  run_pipe_server(std::move(state), std::move(stop_flag), cfg::Settings{});
}

void run_pipe_server(std::shared_ptr<CoreState> state, std::shared_ptr<std::atomic<bool>> stop_flag,
                     const cfg::Settings& settings) {
  if (stop_flag->load())
    return;
  // Built once: without it no instance could be created safely, so it is the one failure that
  // ends the server (and, in service mode, the service).
  Result<Descriptor> descriptor = build_descriptor(settings.security_descriptor);
  Result<Descriptor> filling = build_descriptor(settings.filling_security_descriptor);
  if (!descriptor || !filling) {
    const Error& inner = !descriptor ? descriptor.error() : filling.error();
    log_line("ERROR: security descriptor init failed: " + detailed_text(inner));
    log_accept_error(Error("security descriptor init failed: " + short_text(inner)));
    log_line("ERROR: security descriptor init failed; stopping service");
    stop_flag->exchange(true);
    return;
  }

  PipeServer server(*state, *stop_flag, settings, filling->get(), descriptor->get());
  server.run();
}

}  // namespace corvid
