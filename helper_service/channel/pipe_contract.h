#pragma once
// What a client of the control pipe must know: its name, how a request is cut and bounded, how
// long the server waits on a client, and which owners and servers of the pipe a client may trust.
// The server's own settings (modes, access list, instances, buffers) are in pipe_config.h, which
// only the helper sees. Free of <windows.h>, so that portable code and tests can read it.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/sids.h"

namespace corvid::pipe_config {

// \\.\pipe\corvid-helper
inline constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\corvid-helper";
inline constexpr std::string_view kPipeNameUtf8 = "\\\\.\\pipe\\corvid-helper";

// Bytes the server asks for per ReadFile; a longer message fails there with ERROR_MORE_DATA.
inline constexpr std::size_t kReadChunk = 4096;
inline constexpr char kRequestTerminator = '\n';
// The longest request line taken, line feed not counted: far beyond any configuration, and it
// bounds what one client can make a LocalSystem process hold.
inline constexpr std::size_t kMaxRequestLine = 16 * 1024 * 1024;

// A local client writes its line right after connecting: even a configuration of megabytes
// crosses the pipe in well under a second on a loaded machine. A client that has sent no
// complete line this long after its serving began is stuck or hostile, and holds up every
// client behind it, so it is cut off and the next client served.
inline constexpr std::chrono::milliseconds kRequestTimeout{5000};
// The client is waiting for its answer when it is written; this bounds how long a client that
// never reads it (or reads far too late) keeps the instance after its request was handled.
inline constexpr std::chrono::milliseconds kResponseTimeout{2000};

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

// What a client could learn of the helper service before it talks to the pipe: its process, 0
// when it is not registered or no process runs it (a helper in console mode may then serve the
// pipe); `known` false when the Service Control Manager could not tell.
struct ServiceProcess {
  bool known = true;
  std::uint32_t process_id = 0;
};

// Whether a pipe served by process `server_pid` (0: unknown) may be the helper's. While the
// service runs, its process alone serves the pipe: any other server is someone else's, whatever
// its owner. Without a running service, the owner rule alone decides.
inline bool pipe_server_trusted(std::uint32_t server_pid, ServiceProcess service) {
  if (!service.known)
    return false;
  if (service.process_id == 0)
    return true;
  return server_pid != 0 && server_pid == service.process_id;
}

}  // namespace corvid::pipe_config
