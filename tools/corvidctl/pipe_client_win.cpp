#include "pipe_client_win.h"

#include <windows.h>
#include <aclapi.h>

#include <algorithm>
#include <utility>

#include "channel/pipe_contract.h"
#include "common/os_error.h"
#include "common/handle_win.h"
#include "common/product_names.h"
#include "common/sids_win.h"
#include "common/utf.h"
#include "service_registration_win.h"

namespace corvid::pipe_client {

namespace {

using pipe_config::ServiceProcess;

using Clock = std::chrono::steady_clock;

std::string seconds_text(std::chrono::milliseconds duration) {
  const auto count = duration.count();
  if (count % 1000 == 0)
    return std::to_string(count / 1000) + " s";
  return std::to_string(count) + " ms";
}

DWORD clamp_wait(std::chrono::milliseconds remaining) {
  if (remaining.count() <= 0)
    return 0;
  if (remaining.count() >= static_cast<long long>(INFINITE))
    return INFINITE - 1;
  return static_cast<DWORD>(remaining.count());
}

std::chrono::milliseconds left_until(Clock::time_point deadline) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
}

ExchangeError failure(ExchangeError::Kind kind, std::string message) {
  return ExchangeError{kind, std::move(message), {}};
}

std::expected<HANDLE, ExchangeError> open_pipe(const ExchangeOptions& options) {
  const std::wstring pipe_name = endpoint().pipe_name;
  const wchar_t* name = pipe_name.c_str();
  const std::string shown = from_wide(pipe_name);
  const Clock::time_point start = Clock::now();
  std::optional<Clock::time_point> absent_since;
  for (;;) {
    // Only the rights a client needs (FILE_WRITE_ATTRIBUTES: message reads), which a helper of
    // any version grants every user; GENERIC_WRITE would ask for FILE_CREATE_PIPE_INSTANCE too,
    // which older ones granted no user. Whoever answers may learn who is asking, but not act as
    // them.
    HANDLE pipe = CreateFileW(
        name, GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
        FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (pipe != INVALID_HANDLE_VALUE)
      return pipe;
    const DWORD code = GetLastError();
    if (code == ERROR_PIPE_BUSY) {
      absent_since.reset();
      const std::chrono::milliseconds remaining = left_until(start + options.busy_wait);
      if (remaining.count() <= 0) {
        return std::unexpected(
            failure(ExchangeError::Kind::kNoService, shown + " stayed busy for " +
                                                         seconds_text(options.busy_wait) + ": " +
                                                         os_error_text(code)));
      }
      // An instance may be taken by another client as soon as it is free: then try again.
      WaitNamedPipeW(name, clamp_wait(remaining));
      continue;
    }
    if (code == ERROR_FILE_NOT_FOUND) {
      if (!absent_since)
        absent_since = Clock::now();
      if (Clock::now() - *absent_since < options.absent_wait) {
        Sleep(50);
        continue;
      }
    }
    return std::unexpected(failure(ExchangeError::Kind::kNoService,
                                   "cannot connect to " + shown + ": " + os_error_text(code)));
  }
}

// The default owner of this process's token: what the objects it creates are owned by.
Result<std::string> own_token_owner() {
  WinHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
    return std::unexpected(last_os_error());
  return token_owner_sid(token.get());
}

// Anyone may create a pipe under a name that is free (before the helper starts, after it has
// ended), and would then read what its clients send. The helper's pipe is owned by LocalSystem
// or Administrators; one this user's own processes could have made is no threat to this user.
std::expected<void, ExchangeError> check_owner(HANDLE pipe, std::string* owner_out) {
  const std::string shown = from_wide(endpoint().pipe_name);
  PSID owner = nullptr;
  LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  const DWORD read = GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                     nullptr, nullptr, nullptr, descriptor.put());
  if (read != ERROR_SUCCESS || owner == nullptr) {
    return std::unexpected(
        failure(ExchangeError::Kind::kNotTheHelper,
                "cannot read the owner of " + shown + ": " +
                    os_error_text(read != ERROR_SUCCESS ? read : ERROR_INVALID_OWNER)));
  }
  const Result<std::string> owner_sid = sid_string(owner);
  if (!owner_sid) {
    return std::unexpected(
        failure(ExchangeError::Kind::kNotTheHelper,
                "cannot read the owner of " + shown + ": " + owner_sid.error().message));
  }
  if (owner_out != nullptr)
    *owner_out = *owner_sid;
  // Without our own owner, only the well-known owners pass.
  const std::string own = own_token_owner().value_or(std::string());
  if (!pipe_config::pipe_owner_trusted(*owner_sid, own)) {
    return std::unexpected(failure(ExchangeError::Kind::kNotTheHelper,
                                   "the pipe is not the helper's: it belongs to " + *owner_sid));
  }
  return {};
}

// The helper service's process, as the Service Control Manager tells it to anyone.
ServiceProcess service_process(std::string& unknown_why) {
  const Result<corvidctl::ServiceRegistration> registration =
      corvidctl::read_service_registration(endpoint().service_name);
  if (registration)
    return ServiceProcess{.process_id = registration->status.dwProcessId};
  if (registration.error().os_code == ERROR_SERVICE_DOES_NOT_EXIST)
    return ServiceProcess{};
  unknown_why = registration.error().message;
  return ServiceProcess{.known = false};
}

// While the service runs, its pipe is served by its process and no other. A server that holds
// the name beside it, or in its stead, may have a trusted owner all the same: an instance added
// to the service's own pipe shares its owner.
std::expected<void, ExchangeError> check_server(HANDLE pipe) {
  const std::string shown = from_wide(endpoint().pipe_name);
  ULONG server = 0;
  std::string server_unknown;
  if (!GetNamedPipeServerProcessId(pipe, &server)) {
    server_unknown = last_os_error_text();
    server = 0;
  }
  std::string service_unknown;
  const ServiceProcess service = service_process(service_unknown);
  if (pipe_config::pipe_server_trusted(server, service))
    return {};
  std::string why;
  if (!service.known) {
    why = "cannot tell which process the service runs in: " + service_unknown;
  } else if (server == 0) {
    why = "cannot read which process serves " + shown + ": " + server_unknown;
  } else {
    why = "the pipe is not the helper's: it is served by process " + std::to_string(server) +
          ", the service " + from_wide(endpoint().service_name) + " runs as process " +
          std::to_string(service.process_id);
  }
  return std::unexpected(failure(ExchangeError::Kind::kNotTheHelper, why));
}

// Finishes an overlapped call, waiting until `deadline`; a call still pending then is cancelled.
// Returns 0 or the error code (ERROR_TIMEOUT when time ran out).
DWORD finish(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, DWORD& transferred,
             Clock::time_point deadline) {
  transferred = 0;
  if (!started) {
    const DWORD code = GetLastError();
    if (code != ERROR_IO_PENDING && code != ERROR_MORE_DATA)
      return code;
  }
  if (WaitForSingleObject(overlapped.hEvent, clamp_wait(left_until(deadline))) != WAIT_OBJECT_0) {
    CancelIoEx(pipe, &overlapped);
    GetOverlappedResult(pipe, &overlapped, &transferred, TRUE);
    return ERROR_TIMEOUT;
  }
  if (!GetOverlappedResult(pipe, &overlapped, &transferred, FALSE))
    return GetLastError();
  return 0;
}

}  // namespace

Endpoint endpoint() {
  const auto variable = [](const wchar_t* name, std::wstring fallback) {
    const DWORD length = GetEnvironmentVariableW(name, nullptr, 0);
    if (length <= 1)
      return fallback;
    std::wstring value(length, L'\0');
    value.resize(GetEnvironmentVariableW(name, value.data(), length));
    return value.empty() ? fallback : value;
  };
  return Endpoint{variable(L"CORVIDCTL_TEST_PIPE_NAME", pipe_config::kPipeName),
                  variable(L"CORVIDCTL_TEST_SERVICE_NAME", kServiceName)};
}

std::string with_line_feed(std::string line) {
  if (line.empty() || line.back() != '\n')
    line += '\n';
  return line;
}

std::expected<std::string, ExchangeError> exchange(std::string_view line,
                                                   const ExchangeOptions& options) {
  CORVID_TRY_ASSIGN(const HANDLE opened, open_pipe(options));
  const WinHandle pipe(opened);
  // Before a byte goes out.
  CORVID_TRY(check_owner(pipe.get(), options.owner));
  CORVID_TRY(check_server(pipe.get()));

  // Message reads tell where the answer ends. Should Windows refuse the switch to a client with
  // these rights, byte reads up to the line feed read the same one-line answer.
  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);

  const WinHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) {
    return std::unexpected(failure(ExchangeError::Kind::kNoResponse,
                                   "cannot create an event: " + last_os_error_text()));
  }
  const Clock::time_point deadline = Clock::now() + options.response_wait;
  const auto timed_out = [&] {
    return failure(ExchangeError::Kind::kNoResponse,
                   "no response within " + seconds_text(options.response_wait));
  };

  // The server reads in chunks of its read size and drops a longer message, so a long request
  // goes out as several messages, none longer than that.
  OVERLAPPED overlapped{};
  DWORD transferred = 0;
  BOOL started = FALSE;
  DWORD code = 0;
  const std::size_t piece =
      options.message_size == 0 ? std::max<std::size_t>(line.size(), 1) : options.message_size;
  // An empty line is sent as one zero-length message.
  std::size_t offset = 0;
  do {
    const std::string_view part = line.substr(offset, piece);
    offset += part.size();
    overlapped = OVERLAPPED{};
    overlapped.hEvent = event.get();
    ResetEvent(event.get());
    started =
        WriteFile(pipe.get(), part.data(), static_cast<DWORD>(part.size()), nullptr, &overlapped);
    code = finish(pipe.get(), overlapped, started, transferred, deadline);
    if (code == ERROR_TIMEOUT)
      return std::unexpected(timed_out());
    if (code != 0) {
      return std::unexpected(failure(ExchangeError::Kind::kNoResponse,
                                     "cannot send the request: " + os_error_text(code)));
    }
  } while (offset < line.size());

  std::string response;
  char buffer[4096];
  for (;;) {
    overlapped = OVERLAPPED{};
    overlapped.hEvent = event.get();
    ResetEvent(event.get());
    started = ReadFile(pipe.get(), buffer, sizeof buffer, nullptr, &overlapped);
    code = finish(pipe.get(), overlapped, started, transferred, deadline);
    if (code == 0 || code == ERROR_MORE_DATA) {
      const std::size_t searched_from = response.size();
      response.append(buffer, transferred);
      const std::size_t end = response.find('\n', searched_from);
      const std::size_t line_size = end == std::string::npos ? response.size() : end + 1;
      // Whoever answers decides how much comes: only so much is taken.
      if (line_size > options.max_response ||
          (end == std::string::npos && line_size == options.max_response)) {
        return std::unexpected(failure(
            ExchangeError::Kind::kNoResponse,
            "the response is longer than " + std::to_string(options.max_response) + " bytes"));
      }
      if (end != std::string::npos && code == 0) {
        response.resize(end + 1);
        return response;
      }
      continue;
    }
    if (code == ERROR_TIMEOUT)
      return std::unexpected(timed_out());
    ExchangeError error;
    error.kind = ExchangeError::Kind::kNoResponse;
    error.partial = response;
    if (code == ERROR_BROKEN_PIPE || code == ERROR_PIPE_NOT_CONNECTED) {
      error.message = response.empty() ? "the helper closed the connection without a response"
                                       : "the helper's response ended without a line feed";
    } else {
      error.message = "cannot read the response: " + os_error_text(code);
    }
    return std::unexpected(std::move(error));
  }
}

}  // namespace corvid::pipe_client
