#pragma once
// How the server makes the control pipe, over what every client knows (pipe_contract.h). Kept
// free of <windows.h> so that portable tests can read it; the flag values are the Windows SDK's,
// written out (pipe_server_win.cpp checks them against the SDK at compile time).

#include <chrono>
#include <cstdint>
#include <functional>
#include <string_view>

#include "channel/pipe_contract.h"
#include "supervisor/start_policy.h"

namespace corvid::pipe_config {

// LocalSystem and the built-in Administrators get full access; the built-in Users (the desktop
// app runs as one) may read and write the pipe as any ordinary client asks to: 0x12019f is
// FILE_GENERIC_READ | FILE_GENERIC_WRITE. Its FILE_APPEND_DATA bit is, for a pipe,
// FILE_CREATE_PIPE_INSTANCE, so no access list keeps a user from adding an instance: the server
// does, by holding every instance the pipe allows for as long as it runs. Nothing more: no
// WRITE_DAC, WRITE_OWNER or DELETE. No owner, group or SACL: the owner is the service's own.
inline constexpr wchar_t kSecurityDescriptor[] = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12019f;;;BU)";
inline constexpr std::uint32_t kUsersAccess = 0x0012019f;  // as in kSecurityDescriptor
// What the pipe carries until the server holds all its instances: the same, but Users may not
// add an instance (0x12019b lacks FILE_CREATE_PIPE_INSTANCE, 0x4), so no one can take one of the
// server's places in the moments between its first instance and its last. Ordinary clients
// (GENERIC_WRITE) are refused until then; the server then gives the pipe kSecurityDescriptor.
inline constexpr wchar_t kFillingSecurityDescriptor[] =
    L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12019b;;;BU)";
inline constexpr std::uint32_t kSddlRevision = 1;  // SDDL_REVISION_1

// Open mode flags.
inline constexpr std::uint32_t kPipeAccessDuplex = 0x00000003;  // PIPE_ACCESS_DUPLEX
inline constexpr std::uint32_t kFileFlagFirstPipeInstance =
    0x00080000;  // FILE_FLAG_FIRST_PIPE_INSTANCE
// Synchronous I/O: slow clients are cut off by cancelling the blocked call (CancelSynchronousIo),
// so the handle must not be opened for overlapped I/O.
inline constexpr std::uint32_t kOpenMode = kPipeAccessDuplex;
// The server's first instance must be the pipe's first, or it would join someone else's pipe;
// the others are made while it is held, so they can only add to the server's own. The first may
// change the pipe's access list (WRITE_DAC), once every instance is there.
inline constexpr std::uint32_t kWriteDac = 0x00040000;  // WRITE_DAC
inline constexpr std::uint32_t kFirstOpenMode = kOpenMode | kFileFlagFirstPipeInstance | kWriteDac;

// Pipe mode flags.
inline constexpr std::uint32_t kPipeTypeMessage = 0x00000004;          // PIPE_TYPE_MESSAGE
inline constexpr std::uint32_t kPipeReadmodeMessage = 0x00000002;      // PIPE_READMODE_MESSAGE
inline constexpr std::uint32_t kPipeWait = 0x00000000;                 // PIPE_WAIT
inline constexpr std::uint32_t kPipeRejectRemoteClients = 0x00000008;  // PIPE_REJECT_REMOTE_CLIENTS
// The pipe serves the desktop app on this machine only.
inline constexpr std::uint32_t kPipeMode =
    kPipeTypeMessage | kPipeReadmodeMessage | kPipeWait | kPipeRejectRemoteClients;

// The server holds every instance the pipe allows, each served by a thread of its own for as
// long as the server runs, so no one else can add one under the name: a client that stalls holds
// up only its own instance.
inline constexpr std::uint32_t kMaxInstances = 4;
inline constexpr std::uint32_t kOutBufferSize = 65536;
inline constexpr std::uint32_t kInBufferSize = 65536;
inline constexpr std::uint32_t kDefaultTimeout = 0;  // the system default

inline constexpr std::chrono::milliseconds kAcceptRetryDelay{300};
// While someone else holds the name the server retries every kAcceptRetryDelay, but says so
// only this often.
inline constexpr std::chrono::milliseconds kCreateErrorLogInterval{60000};

// Who the client connected to a pipe instance (a HANDLE) is: whether it is privileged
// (LocalSystem or an elevated administrator), its user and its session.
using ClientJudge = std::function<Caller(void* pipe)>;

// What one server is created with; the defaults are the service's. Tests use another name, a
// broken descriptor, short deadlines, or a judge of their own (under Wine every client is an
// administrator, so no real client is ever unprivileged there), without touching the service's
// pipe.
struct Settings {
  std::wstring_view name = kPipeName;
  std::wstring_view security_descriptor = kSecurityDescriptor;
  std::wstring_view filling_security_descriptor = kFillingSecurityDescriptor;
  std::chrono::milliseconds request_timeout = kRequestTimeout;
  std::chrono::milliseconds response_timeout = kResponseTimeout;
  std::chrono::milliseconds accept_retry_delay = kAcceptRetryDelay;
  std::chrono::milliseconds create_error_log_interval = kCreateErrorLogInterval;
  // Asked once per start or stop, after its request was read, and for nothing else. Empty: the
  // client's own token (identify_client), which is what the service uses.
  ClientJudge judge_client = {};
};

}  // namespace corvid::pipe_config
