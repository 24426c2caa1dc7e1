// The baseline for the helper's round trips: a bare named-pipe server with the helper's pipe
// settings and connection pattern (one instance at a time, message mode, one line per
// connection, the answer flushed to the client before the instance is disconnected and
// closed), which answers each line with the line itself. No parsing, dispatch or logging.
//
// corvid_bench_echo.exe [PIPE_NAME]   (default \\.\pipe\corvid-bench-echo)
#include <windows.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "channel/pipe_config.h"

namespace cfg = corvid::pipe_config;

namespace {

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

int wmain(int argc, wchar_t** argv) {
  const std::wstring name = argc > 1 ? argv[1] : L"\\\\.\\pipe\\corvid-bench-echo";
  for (;;) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            cfg::kSecurityDescriptor, cfg::kSddlRevision, &descriptor, nullptr))
      return 1;
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = descriptor;
    HANDLE pipe = CreateNamedPipeW(name.c_str(), cfg::kOpenMode, cfg::kPipeMode, cfg::kMaxInstances,
                                   cfg::kOutBufferSize, cfg::kInBufferSize, cfg::kDefaultTimeout,
                                   &attributes);
    LocalFree(descriptor);
    if (pipe == INVALID_HANDLE_VALUE) {
      Sleep(static_cast<DWORD>(cfg::kAcceptRetryDelay.count()));
      continue;
    }
    if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED)
      serve(pipe);
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
  }
}
