#pragma once
// How the server makes the control pipe, over what every client knows (pipe_contract.h). Kept
// free of <windows.h> so that portable tests can read it; the flag values are the Windows SDK's,
// written out (pipe_server_win.cpp checks them against the SDK at compile time).

#include <chrono>
#include <cstdint>
#include <functional>
#include <string_view>

#include "channel/pipe_contract.h"

namespace corvid::pipe_config {

// LocalSystem and the built-in Administrators get full access; the built-in Users (the desktop
// app runs as one) may read and write the pipe: 0x12019b is FILE_GENERIC_READ |
// FILE_GENERIC_WRITE without FILE_CREATE_PIPE_INSTANCE (0x4). So a user can neither add an
// instance of their own under the name nor change the descriptor (WRITE_DAC), owner
// (WRITE_OWNER) or anything else that would let them do so later. No owner, group or SACL: the
// owner is the service's own.
inline constexpr wchar_t kSecurityDescriptor[] = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12019b;;;BU)";
inline constexpr std::uint32_t kSddlRevision = 1;  // SDDL_REVISION_1

// Open mode flags.
inline constexpr std::uint32_t kPipeAccessDuplex = 0x00000003;  // PIPE_ACCESS_DUPLEX
inline constexpr std::uint32_t kFileFlagFirstPipeInstance =
    0x00080000;  // FILE_FLAG_FIRST_PIPE_INSTANCE
// Synchronous I/O: slow clients are cut off by cancelling the blocked call (CancelSynchronousIo),
// so the handle must not be opened for overlapped I/O.
inline constexpr std::uint32_t kOpenMode = kPipeAccessDuplex;
// While the server holds no instance of its own, someone else may have taken the name
// meanwhile: such a creation must be the pipe's first instance, or fail. A creation while an
// instance of ours is open can only add to our own pipe.
inline constexpr std::uint32_t kFirstOpenMode = kOpenMode | kFileFlagFirstPipeInstance;

// Pipe mode flags.
inline constexpr std::uint32_t kPipeTypeMessage = 0x00000004;          // PIPE_TYPE_MESSAGE
inline constexpr std::uint32_t kPipeReadmodeMessage = 0x00000002;      // PIPE_READMODE_MESSAGE
inline constexpr std::uint32_t kPipeWait = 0x00000000;                 // PIPE_WAIT
inline constexpr std::uint32_t kPipeRejectRemoteClients = 0x00000008;  // PIPE_REJECT_REMOTE_CLIENTS
// The pipe serves the desktop app on this machine only.
inline constexpr std::uint32_t kPipeMode =
    kPipeTypeMessage | kPipeReadmodeMessage | kPipeWait | kPipeRejectRemoteClients;

inline constexpr std::uint32_t kMaxInstances = 4;
inline constexpr std::uint32_t kOutBufferSize = 65536;
inline constexpr std::uint32_t kInBufferSize = 65536;
inline constexpr std::uint32_t kDefaultTimeout = 0;  // the system default

inline constexpr std::chrono::milliseconds kAcceptRetryDelay{300};

// Whether the client connected to a pipe instance (a HANDLE) is privileged: LocalSystem or an
// elevated administrator.
using ClientJudge = std::function<bool(void* pipe)>;

// What one server is created with; the defaults are the service's. Tests use another name, a
// broken descriptor, short deadlines, or a judge of their own (under Wine every client is an
// administrator, so no real client is ever unprivileged there), without touching the service's
// pipe.
struct Settings {
  std::wstring_view name = kPipeName;
  std::wstring_view security_descriptor = kSecurityDescriptor;
  std::chrono::milliseconds request_timeout = kRequestTimeout;
  std::chrono::milliseconds response_timeout = kResponseTimeout;
  std::chrono::milliseconds accept_retry_delay = kAcceptRetryDelay;
  // Asked once per start, after its request was read, and for nothing else. Empty: the client's
  // own token (identify_client), which is what the service uses.
  ClientJudge judge_client = {};
};

}  // namespace corvid::pipe_config
