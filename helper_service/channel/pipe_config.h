#pragma once
// Fixed values of the control pipe. Kept free of <windows.h> so that portable tests can read
// them; the flag values are the Windows SDK's, written out (pipe_server.cpp checks them against
// the SDK at compile time).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace corvid::pipe_config {

// \\.\pipe\corvid-helper
inline constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\corvid-helper";
inline constexpr std::string_view kPipeNameUtf8 = "\\\\.\\pipe\\corvid-helper";

// A DACL granting GENERIC_ALL to LocalSystem, the built-in Administrators and the built-in
// Users; no owner, group or SACL. The desktop app runs as an ordinary user. The deny entry right
// after LocalSystem's keeps everyone else from adding an instance (FILE_CREATE_PIPE_INSTANCE,
// 0x4) and so from squatting on the name; a client opening for reading and writing needs no 0x4.
inline constexpr wchar_t kSecurityDescriptor[] =
    L"D:(A;;GA;;;SY)(D;;0x4;;;WD)(A;;GA;;;BA)(A;;GA;;;BU)";
inline constexpr std::uint32_t kSddlRevision = 1;  // SDDL_REVISION_1

// Open mode flags.
inline constexpr std::uint32_t kPipeAccessDuplex = 0x00000003;    // PIPE_ACCESS_DUPLEX
inline constexpr std::uint32_t kFileFlagOverlapped = 0x40000000;  // FILE_FLAG_OVERLAPPED
inline constexpr std::uint32_t kFileFlagFirstPipeInstance =
    0x00080000;  // FILE_FLAG_FIRST_PIPE_INSTANCE
// Synchronous I/O: slow clients are cut off by cancelling the blocked call (CancelSynchronousIo),
// so the handle must not be opened for overlapped I/O. Every instance is the first: the service
// never joins a pipe that someone else created under its name.
inline constexpr std::uint32_t kOpenMode = kPipeAccessDuplex | kFileFlagFirstPipeInstance;

// Pipe mode flags.
inline constexpr std::uint32_t kPipeTypeMessage = 0x00000004;          // PIPE_TYPE_MESSAGE
inline constexpr std::uint32_t kPipeReadmodeMessage = 0x00000002;      // PIPE_READMODE_MESSAGE
inline constexpr std::uint32_t kPipeWait = 0x00000000;                 // PIPE_WAIT
inline constexpr std::uint32_t kPipeNowait = 0x00000001;               // PIPE_NOWAIT
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

inline constexpr std::chrono::milliseconds kAcceptRetryDelay{300};

// A local client writes its line right after connecting: even a configuration of megabytes
// crosses the pipe in well under a second on a loaded machine. A client that has sent no
// complete line after this long is stuck or hostile, and holds the only instance, so it is cut
// off and the next client served.
inline constexpr std::chrono::milliseconds kRequestTimeout{5000};
// The client is waiting for its answer when it is written; this bounds how long a client that
// never reads it (or reads far too late) keeps the instance after its request was handled.
inline constexpr std::chrono::milliseconds kResponseTimeout{2000};

// What one server is created with; the defaults are the service's. Tests use another name, or
// a broken descriptor, without touching the service's pipe.
struct Settings {
  std::wstring_view name = kPipeName;
  std::wstring_view security_descriptor = kSecurityDescriptor;
};

// An accept error whose short text holds this ends the server.
inline constexpr std::string_view kFatalMarker = "security descriptor init failed";

}  // namespace corvid::pipe_config
