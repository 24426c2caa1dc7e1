// The baseline for the helper's round trips: the least a server of this protocol's shape can do.
// A bare named-pipe server with the helper's pipe modes and default security, holding its
// instances as the helper does (every instance the pipe allows, the first made as the pipe's
// first, each served by a thread of its own that disconnects its client and listens again),
// which answers each line with the line itself and flushes the answer to the client before
// letting go. No parsing, dispatch or logging.
//
// corvid_bench_echo.exe [PIPE_NAME]   (default \\.\pipe\corvid-bench-echo)
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "channel/pipe_contract.h"
#include "common/handle_win.h"

namespace cfg = corvid::pipe_config;

namespace {

// The helper's server settings are its own (channel/pipe_config.h); the echo makes its pipe the
// same way: synchronous duplex, messages, local clients only, four instances, 64 KiB buffers,
// the system's default time-out, a retry after 300 ms.
constexpr DWORD kOpenMode = PIPE_ACCESS_DUPLEX;
constexpr DWORD kFirstOpenMode = kOpenMode | FILE_FLAG_FIRST_PIPE_INSTANCE;
constexpr DWORD kPipeMode =
    PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
constexpr DWORD kMaxInstances = 4;
constexpr DWORD kBufferSize = 65536;
constexpr DWORD kDefaultTimeout = 0;
constexpr DWORD kRetryDelayMs = 300;

void serve(HANDLE pipe) {
  std::vector<char> chunk(cfg::kReadChunk);
  std::string request;
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(pipe, chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr))
      return;
    if (read == 0)
      break;
    request.append(chunk.data(), read);
    if (request.find(cfg::kRequestTerminator) != std::string::npos)
      break;
  }
  const std::size_t end = request.find(cfg::kRequestTerminator);
  if (end != std::string::npos)
    request.resize(end);
  request += '\n';
  std::size_t offset = 0;
  while (offset < request.size()) {
    DWORD written = 0;
    if (!WriteFile(pipe, request.data() + offset, static_cast<DWORD>(request.size() - offset),
                   &written, nullptr) ||
        written == 0)
      return;
    offset += written;
  }
  FlushFileBuffers(pipe);
}

}  // namespace

// One instance for life: listens, serves, disconnects, listens again.
void serve_instance(HANDLE pipe) {
  for (;;) {
    if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED)
      serve(pipe);
    DisconnectNamedPipe(pipe);
  }
}

int wmain(int argc, wchar_t** argv) {
  const std::wstring name = argc > 1 ? argv[1] : L"\\\\.\\pipe\\corvid-bench-echo";
  std::vector<std::thread> workers;
  while (workers.size() < kMaxInstances) {
    HANDLE pipe =
        CreateNamedPipeW(name.c_str(), workers.empty() ? kFirstOpenMode : kOpenMode, kPipeMode,
                         kMaxInstances, kBufferSize, kBufferSize, kDefaultTimeout, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
      Sleep(kRetryDelayMs);
      continue;
    }
    workers.emplace_back([pipe] {
      const corvid::WinHandle owned(pipe);
      serve_instance(owned.get());
    });
  }
  for (std::thread& worker : workers)
    worker.join();
  return 0;
}
