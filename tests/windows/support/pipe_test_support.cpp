#include "pipe_test_support.h"

#include <sddl.h>

#include <algorithm>

#include "channel/pipe_config.h"
#include "channel/pipe_server_win.h"
#include "common/utf.h"
#include "log/log.h"
#include "supervisor/backend_win.h"

#include <gtest/gtest.h>

namespace corvid::test {

namespace {

using Clock = std::chrono::steady_clock;

DWORD wait_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() <= 0 ? 0 : static_cast<DWORD>(left.count());
}

// Runs an overlapped call to its end within `wait`; a call still pending then is cancelled.
DWORD complete(HANDLE handle, HANDLE event, OVERLAPPED& overlapped, BOOL started,
               DWORD& transferred, std::chrono::milliseconds wait) {
  transferred = 0;
  if (!started) {
    const DWORD code = GetLastError();
    if (code != ERROR_IO_PENDING && code != ERROR_MORE_DATA)
      return code;
  }
  if (WaitForSingleObject(event, static_cast<DWORD>(wait.count())) != WAIT_OBJECT_0) {
    CancelIoEx(handle, &overlapped);
    // It may have completed all the same.
    if (GetOverlappedResult(handle, &overlapped, &transferred, TRUE))
      return 0;
    const DWORD code = GetLastError();
    return code == ERROR_OPERATION_ABORTED ? ERROR_TIMEOUT : code;
  }
  if (!GetOverlappedResult(handle, &overlapped, &transferred, FALSE))
    return GetLastError();
  return 0;
}

std::vector<LogEntry> read_entries(std::size_t from) {
  const std::optional<std::string> text = read_file(HelperLog::path());
  if (!text || text->size() <= from)
    return {};
  return parse_log(std::string_view(*text).substr(from));
}

}  // namespace

const std::wstring& pipe_name() {
  static const std::wstring name = [] {
    const std::wstring suffix = L"-test-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring pipe = std::wstring(pipe_config::kPipeName) + suffix;
    SetEnvironmentVariableW(L"CORVIDCTL_TEST_PIPE_NAME", pipe.c_str());
    SetEnvironmentVariableW(L"CORVIDCTL_TEST_SERVICE_NAME", (L"corvid-helper" + suffix).c_str());
    return pipe;
  }();
  return name;
}

std::string pipe_name_utf8() {
  return from_wide(pipe_name());
}

std::optional<RawPipeClient> RawPipeClient::connect(std::chrono::milliseconds wait,
                                                    DWORD* last_error,
                                                    std::vector<DWORD>* failures) {
  const Clock::time_point deadline = Clock::now() + wait;
  for (;;) {
    HANDLE handle = CreateFileW(pipe_name().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      if (last_error != nullptr)
        *last_error = 0;
      RawPipeClient client(handle);
      DWORD mode = PIPE_READMODE_MESSAGE;
      if (!SetNamedPipeHandleState(handle, &mode, nullptr, nullptr)) {
        ADD_FAILURE() << "SetNamedPipeHandleState failed: " << GetLastError();
        return std::nullopt;
      }
      client.event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
      return client;
    }
    const DWORD code = GetLastError();
    if (last_error != nullptr)
      *last_error = code;
    if (failures != nullptr)
      failures->push_back(code);
    if (Clock::now() >= deadline)
      return std::nullopt;
    if (code == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(pipe_name().c_str(), std::min<DWORD>(wait_ms(deadline), 200) + 1);
    } else {
      Sleep(10);
    }
  }
}

DWORD RawPipeClient::write(std::string_view bytes, std::chrono::milliseconds wait) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = event_.get();
  ResetEvent(event_.get());
  const BOOL started = WriteFile(handle_.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                 nullptr, &overlapped);
  DWORD transferred = 0;
  const DWORD code = complete(handle_.get(), event_.get(), overlapped, started, transferred, wait);
  if (code == 0 && transferred != bytes.size())
    return ERROR_WRITE_FAULT;
  return code;
}

PipeRead RawPipeClient::read(std::chrono::milliseconds wait) {
  std::string buffer(65536, '\0');
  OVERLAPPED overlapped{};
  overlapped.hEvent = event_.get();
  ResetEvent(event_.get());
  const BOOL started = ReadFile(handle_.get(), buffer.data(), static_cast<DWORD>(buffer.size()),
                                nullptr, &overlapped);
  DWORD transferred = 0;
  PipeRead result;
  result.error = complete(handle_.get(), event_.get(), overlapped, started, transferred, wait);
  buffer.resize(transferred);
  result.bytes = std::move(buffer);
  return result;
}

PipeRead RawPipeClient::read_line(std::chrono::milliseconds wait) {
  const Clock::time_point deadline = Clock::now() + wait;
  PipeRead all;
  for (;;) {
    PipeRead part = read(std::chrono::milliseconds(wait_ms(deadline)));
    all.bytes += part.bytes;
    all.error = part.error;
    if (part.error == ERROR_MORE_DATA)
      continue;
    if (part.error != 0 || all.bytes.find('\n') != std::string::npos)
      return all;
  }
}

bool wait_for_instance(std::chrono::milliseconds wait) {
  const Clock::time_point deadline = Clock::now() + wait;
  for (;;) {
    if (WaitNamedPipeW(pipe_name().c_str(), 100))
      return true;
    if (Clock::now() >= deadline)
      return false;
    Sleep(10);
  }
}

ServerThread::ServerThread(const pipe_config::Settings& settings,
                           std::shared_ptr<CoreBackend> backend)
    : stop_flag_(std::make_shared<std::atomic<bool>>(false)),
      state_(std::make_shared<CoreState>(std::move(backend), stop_flag_)) {
  HelperLog::path();
  // The thread owns what it uses, so that it may outlive this object if it hangs.
  auto done = std::make_shared<std::promise<void>>();
  finished_ = done->get_future().share();
  pipe_config::Settings own = settings;
  own.name = pipe_name();
  thread_ = std::thread([state = state_, flag = stop_flag_, done, own] {
    run_pipe_server(state, flag, own);
    done->set_value();
  });
}

ServerThread::~ServerThread() {
  stop_flag_->store(true);
  const Clock::time_point deadline = Clock::now() + 60s;
  while (!finished() && Clock::now() < deadline) {
    // The thread may already be past its last instance: then nobody answers.
    std::optional<RawPipeClient> client = RawPipeClient::connect(100ms);
    if (client) {
      client->write(R"({"id":"teardown","action":"ping"})"
                    "\n");
      client->read_line(10s);
    }
    finished(100ms);
  }
  if (finished(10s)) {
    thread_.join();
  } else {
    ADD_FAILURE() << "the pipe server thread did not end";
    thread_.detach();
  }
  stop_core(*state_);
}

bool ServerThread::finished(std::chrono::milliseconds wait) {
  return finished_.wait_for(wait) == std::future_status::ready;
}

ScriptedServer::ScriptedServer(std::string reply, std::wstring_view sddl)
    : reply_(std::move(reply)) {
  finished_ = done_.get_future().share();
  LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  const std::wstring text(sddl);
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                            descriptor.put(), nullptr)) {
    ADD_FAILURE() << "bad descriptor for the stand-in: " << GetLastError();
    done_.set_value();
    return;
  }
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor.get(), FALSE};
  pipe_.reset(CreateNamedPipeW(pipe_name().c_str(), PIPE_ACCESS_DUPLEX,
                               PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 65536,
                               65536, 0, &attributes));
  if (!pipe_.valid()) {
    done_.set_value();
    return;
  }
  thread_ = std::thread([this] {
    serve();
    done_.set_value();
  });
}

ScriptedServer::~ScriptedServer() {
  // Unblock a thread still waiting for a client, or for one that never sends.
  while (thread_.joinable() && !wait(0ms)) {
    CancelIoEx(pipe_.get(), nullptr);
    // Connects and lets go at once.
    const WinHandle client(CreateFileW(pipe_name().c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
    wait(100ms);
  }
  if (thread_.joinable())
    thread_.join();
}

void ScriptedServer::serve() {
  if (!ConnectNamedPipe(pipe_.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
    return;
  std::string buffer(65536, '\0');
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(pipe_.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
      break;
    messages_.emplace_back(buffer.data(), read);
    if (read == 0 || messages_.back().find('\n') != std::string::npos)
      break;
  }
  if (!messages_.empty() && ImpersonateNamedPipeClient(pipe_.get())) {
    WinHandle token;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put())) {
      SECURITY_IMPERSONATION_LEVEL level{};
      DWORD size = 0;
      if (GetTokenInformation(token.get(), TokenImpersonationLevel, &level, sizeof level, &size))
        impersonation_level_ = level;
    }
    RevertToSelf();
  }
  if (!reply_.empty()) {
    DWORD written = 0;
    WriteFile(pipe_.get(), reply_.data(), static_cast<DWORD>(reply_.size()), &written, nullptr);
    FlushFileBuffers(pipe_.get());
  }
  DisconnectNamedPipe(pipe_.get());
}

bool ScriptedServer::wait(std::chrono::milliseconds wait) {
  return finished_.wait_for(wait) == std::future_status::ready;
}

std::string ScriptedServer::request() const {
  std::string all;
  for (const std::string& message : messages_)
    all += message;
  return all;
}

const std::string& HelperLog::path() {
  static const std::string file = [] {
    // Left in place: the log stays open until the process ends.
    auto* dir = new TempDir("corvid pipe log");
    init_log(dir->path());
    return dir->path() + "\\corvid-helper.log";
  }();
  return file;
}

std::size_t HelperLog::mark() {
  const std::optional<std::string> text = read_file(path());
  return text ? text->size() : 0;
}

std::vector<std::string> HelperLog::entries_since(std::size_t from) {
  std::vector<std::string> messages;
  for (LogEntry& entry : read_entries(from))
    messages.push_back(std::move(entry.message));
  return messages;
}

std::vector<std::string> HelperLog::wait_for_entries(std::size_t from, std::size_t count,
                                                     std::chrono::milliseconds wait) {
  const Clock::time_point deadline = Clock::now() + wait;
  for (;;) {
    std::vector<std::string> entries = entries_since(from);
    if (entries.size() >= count || Clock::now() >= deadline)
      return entries;
    Sleep(20);
  }
}

std::vector<std::uint64_t> HelperLog::timestamps_since(std::size_t from) {
  std::vector<std::uint64_t> stamps;
  for (const LogEntry& entry : read_entries(from))
    stamps.push_back(entry.intervals);
  return stamps;
}

std::string padded_ping(std::string_view id, std::size_t size) {
  std::string line = R"({"id":")" + std::string(id) + R"(","action":"ping","pad":")";
  const std::string tail = "\"}\n";
  if (line.size() + tail.size() < size)
    line.append(size - line.size() - tail.size(), 'x');
  return line + tail;
}

std::string ask(const std::string& line) {
  std::optional<RawPipeClient> client = RawPipeClient::connect();
  if (!client)
    return "(no connection)";
  if (client->write(line) != 0)
    return "(write failed)";
  return client->read_line().bytes;
}

}  // namespace corvid::test
