// docs/protocol.md, example by example, against the real helper: a copy of it in console mode
// with the stand-in core beside it as clash-rs.exe, a fresh one for each example block. The
// client connects as the document tells a client to (the rights it asks for, message reads,
// waiting on a busy pipe) and compares each answer byte for byte. Under Wine every client is an
// administrator: the examples for a standard user are checked natively (protocol_doc_test).
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../native/protocol_examples.h"
#include "common/utf.h"
#include "common/handle_win.h"
#include "host_support.h"
#include "test_support_win.h"

namespace corvid {
namespace {

using namespace std::chrono_literals;
namespace doc = test::protocol_doc;

constexpr wchar_t kPipe[] = L"\\\\.\\pipe\\corvid-helper";

// What one connection brought back: the bytes up to the first line feed (included), and the
// error that ended the reading when no line came.
struct Answer {
  std::string bytes;
  DWORD error = 0;
  bool more_after_line = false;  // the server sent something after its line
};

class Event {
 public:
  Event() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  HANDLE get() const { return event_.get(); }

 private:
  WinHandle event_;
};

// Waits for an overlapped call; cancels it after `wait`. 0 or the error (ERROR_TIMEOUT).
DWORD finish(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, DWORD& done,
             std::chrono::milliseconds wait) {
  done = 0;
  // A read that filled the buffer at once still completes through the event.
  if (!started && GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_MORE_DATA)
    return GetLastError();
  if (WaitForSingleObject(overlapped.hEvent, static_cast<DWORD>(wait.count())) != WAIT_OBJECT_0) {
    CancelIoEx(pipe, &overlapped);
    GetOverlappedResult(pipe, &overlapped, &done, TRUE);
    return ERROR_TIMEOUT;
  }
  return GetOverlappedResult(pipe, &overlapped, &done, FALSE) ? 0 : GetLastError();
}

// One request on a connection of its own, the way the document says to connect. (Overlapped
// only so that no wait here is unbounded.)
Answer exchange(const std::string& request) {
  Answer answer;
  WinHandle pipe;
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  for (;;) {
    pipe.reset(CreateFileW(
        kPipe, GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
        FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (pipe.valid())
      break;
    answer.error = GetLastError();
    if (std::chrono::steady_clock::now() > deadline)
      return answer;
    if (answer.error == ERROR_PIPE_BUSY)
      WaitNamedPipeW(kPipe, 1000);
    else
      Sleep(50);
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr)) {
    answer.error = GetLastError();
    return answer;
  }
  const Event event;
  OVERLAPPED overlapped{};
  DWORD done = 0;
  // Messages of at most 4096 bytes.
  const std::string line = request + "\n";
  for (std::size_t offset = 0; offset < line.size(); offset += done) {
    overlapped = OVERLAPPED{};
    overlapped.hEvent = event.get();
    ResetEvent(event.get());
    const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(line.size() - offset, 4096));
    const BOOL started = WriteFile(pipe.get(), line.data() + offset, piece, nullptr, &overlapped);
    if (const DWORD error = finish(pipe.get(), overlapped, started, done, 10s); error != 0) {
      answer.error = error;
      return answer;
    }
  }
  char buffer[512];  // smaller than some answers: ERROR_MORE_DATA is part of reading one
  for (;;) {
    overlapped = OVERLAPPED{};
    overlapped.hEvent = event.get();
    ResetEvent(event.get());
    const BOOL started = ReadFile(pipe.get(), buffer, sizeof buffer, nullptr, &overlapped);
    const DWORD error = finish(pipe.get(), overlapped, started, done, 15s);
    if (error != 0 && error != ERROR_MORE_DATA) {
      answer.error = error;
      return answer;
    }
    answer.bytes.append(buffer, done);
    const std::size_t end = answer.bytes.find('\n');
    if (end != std::string::npos && error == 0) {
      answer.more_after_line = end + 1 != answer.bytes.size();
      break;
    }
  }
  // One answer per connection: then the helper lets go.
  overlapped = OVERLAPPED{};
  overlapped.hEvent = event.get();
  ResetEvent(event.get());
  const BOOL started = ReadFile(pipe.get(), buffer, sizeof buffer, nullptr, &overlapped);
  const DWORD after = finish(pipe.get(), overlapped, started, done, 15s);
  if (after != ERROR_BROKEN_PIPE && after != ERROR_PIPE_NOT_CONNECTED)
    answer.more_after_line = true;
  return answer;
}

bool log_has(const std::vector<test::LogEntry>& entries, std::size_t from,
             const std::string& message) {
  for (std::size_t i = from; i < entries.size(); ++i) {
    if (entries[i].message == message)
      return true;
  }
  return false;
}

TEST(ProtocolDocumentTest, EveryExampleIsWhatTheHelperAnswers) {
  const std::optional<std::string> text = doc::read_document();
  ASSERT_TRUE(text.has_value()) << "protocol.md is not beside the test program";
  const doc::Document parsed = doc::extract(*text);
  ASSERT_TRUE(parsed.errors.empty()) << ::testing::PrintToString(parsed.errors);

  std::size_t checked = 0;
  for (const doc::Block& block : parsed.blocks) {
    if (block.standard_user)
      continue;
    SCOPED_TRACE("the block at protocol.md line " + std::to_string(block.line));
    test::HelperCopy helper("protocol doc");
    ASSERT_TRUE(helper.ready());
    test::BackgroundProcess console(helper.exe(), {"console"});
    ASSERT_TRUE(console.started()) << console.start_error();
    ASSERT_TRUE(test::wait_for_ping()) << console.err();

    for (const doc::Exchange& example : block.exchanges) {
      SCOPED_TRACE("protocol.md line " + std::to_string(example.line) + ": " + example.request);
      const std::size_t logged = test::read_log(helper.log_path()).size();
      const Answer answer = exchange(example.request);
      EXPECT_FALSE(answer.more_after_line) << answer.bytes;
      if (example.response) {
        ASSERT_EQ(answer.error, 0u) << answer.bytes;
        ASSERT_TRUE(answer.bytes.ends_with("\n")) << answer.bytes;
        const std::string line = answer.bytes.substr(0, answer.bytes.size() - 1);
        EXPECT_TRUE(doc::response_matches(*example.response, line))
            << "expected " << *example.response << "\n     got " << line;
      } else {
        // Dropped: the connection ends with nothing read.
        EXPECT_EQ(answer.bytes, "");
        EXPECT_TRUE(answer.error == ERROR_BROKEN_PIPE || answer.error == ERROR_PIPE_NOT_CONNECTED)
            << answer.error;
      }
      if (example.log_entry) {
        // The entry of a dropped request may be written just after the connection ends.
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        std::vector<test::LogEntry> entries = test::read_log(helper.log_path());
        while (!log_has(entries, logged, *example.log_entry) &&
               std::chrono::steady_clock::now() < deadline) {
          Sleep(50);
          entries = test::read_log(helper.log_path());
        }
        std::string seen;
        for (std::size_t i = logged; i < entries.size(); ++i)
          seen += entries[i].message + "\n---\n";
        EXPECT_TRUE(log_has(entries, logged, *example.log_entry))
            << "no log entry\n"
            << *example.log_entry << "\namong\n"
            << seen;
      }
      ++checked;
    }
    EXPECT_TRUE(console.running()) << console.err();
  }
  EXPECT_GE(checked, 25u);
}

}  // namespace
}  // namespace corvid
