#pragma once
// A client of the helper's control pipe: one request line out, one response line back.

#include <chrono>
#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "channel/pipe_contract.h"

namespace corvid::pipe_client {

// A line given as it stands, with a line feed appended unless it already ends with one. (A
// request built from fields is encode_request's line, in channel/message.h.)
std::string with_line_feed(std::string line);

// The pipe a client talks to and the service that should be serving it: the product's, unless a
// test names its own in the environment variables CORVIDCTL_TEST_PIPE_NAME and
// CORVIDCTL_TEST_SERVICE_NAME, so that tests never touch a helper installed on the machine. They
// change nothing but where this one client goes.
struct Endpoint {
  std::wstring pipe_name;
  std::wstring service_name;
};
Endpoint endpoint();

inline constexpr std::size_t kMaxResponse = 1024 * 1024;

struct ExchangeOptions {
  // How long to wait while the pipe is busy: longer than the server holds a client that never
  // completes its request or never reads its answer, so one such client ahead does no harm.
  std::chrono::milliseconds busy_wait{10000};
  // How long an absent pipe is retried: a helper that is just starting has none yet.
  std::chrono::milliseconds absent_wait{1000};
  // How long to wait for the response once the request is written.
  std::chrono::milliseconds response_wait{30000};
  // The request is written in messages of at most this many bytes (the server's read size);
  // 0 writes it as one message.
  std::size_t message_size = pipe_config::kReadChunk;
  // The longest response line taken, line feed included: a helper's is far shorter.
  std::size_t max_response = kMaxResponse;
  // When given, gets the pipe's owner (a SID such as "S-1-5-18") as soon as it is read, trusted
  // or not.
  std::string* owner = nullptr;
};

struct ExchangeError {
  enum class Kind {
    kNoService,  // the pipe could not be opened
    // The pipe's owner is not one the helper's pipe can have, or, while the service runs, the
    // pipe is served by another process than the service's: nothing was sent.
    kNotTheHelper,
    kNoResponse,  // connected, but no complete response line came back
  } kind = Kind::kNoService;
  std::string message;
  // What arrived before the connection ended, when it was no complete line.
  std::string partial;
};

// Connects to the helper's pipe, checks its owner and, while the service runs, that the
// service's process serves it, writes `line` and returns the response line as received, line
// feed included.
std::expected<std::string, ExchangeError> exchange(std::string_view line,
                                                   const ExchangeOptions& options = {});

}  // namespace corvid::pipe_client
