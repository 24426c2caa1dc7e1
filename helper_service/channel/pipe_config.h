#pragma once
// Fixed values of the control pipe. Kept free of <windows.h> so that portable tests can read
// them; the flag values are the Windows SDK's, written out (pipe_server.cpp checks them against
// the SDK at compile time).

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "common/sids.h"

namespace corvid::pipe_config {

// \\.\pipe\corvid-helper
inline constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\corvid-helper";
inline constexpr std::string_view kPipeNameUtf8 = "\\\\.\\pipe\\corvid-helper";

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

// Bytes asked for per ReadFile; a longer message fails with ERROR_MORE_DATA.
inline constexpr std::size_t kReadChunk = 4096;
inline constexpr char kRequestTerminator = '\n';
// The longest request line taken, line feed not counted: far beyond any configuration, and it
// bounds what one client can make a LocalSystem process hold.
inline constexpr std::size_t kMaxRequestLine = 16 * 1024 * 1024;

inline constexpr std::chrono::milliseconds kAcceptRetryDelay{300};

// A local client writes its line right after connecting: even a configuration of megabytes
// crosses the pipe in well under a second on a loaded machine. A client that has sent no
// complete line this long after its serving began is stuck or hostile, and holds up every
// client behind it, so it is cut off and the next client served.
inline constexpr std::chrono::milliseconds kRequestTimeout{5000};
// The client is waiting for its answer when it is written; this bounds how long a client that
// never reads it (or reads far too late) keeps the instance after its request was handled.
inline constexpr std::chrono::milliseconds kResponseTimeout{2000};

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

// Owners of the pipe that a client may trust, as string SIDs: LocalSystem (the service) and the
// built-in Administrators (an elevated console-mode helper).
inline constexpr std::array<std::string_view, 2> kTrustedOwners = {kLocalSystemSid,
                                                                   kAdministratorsSid};

// Whether a client may talk to a pipe owned by `owner_sid`. Besides the trusted owners, a pipe
// owned by the client's own default owner (`own_token_owner_sid`, its token's TokenOwner) is no
// threat to that client: it could have made it itself. An unknown owner (empty) is not trusted.
inline bool pipe_owner_trusted(std::string_view owner_sid, std::string_view own_token_owner_sid) {
  if (owner_sid.empty())
    return false;
  for (const std::string_view trusted : kTrustedOwners) {
    if (owner_sid == trusted)
      return true;
  }
  return owner_sid == own_token_owner_sid;
}

}  // namespace corvid::pipe_config
