#pragma once
// corvidctl's exit status, as scripts rely on it: each says what happened, and `corvidctl --help`
// and docs/protocol.md list them.

namespace corvid::corvidctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitNotOk = 1;  // the helper refused: the response says "ok": false
// No helper answers: no pipe, a pipe that stayed busy, no complete response or one that is not a
// JSON object with "ok"; log: the service is not installed or its log cannot be read.
inline constexpr int kExitNoAnswer = 2;
inline constexpr int kExitUsage = 3;         // a bad command line, or a file named on it unreadable
inline constexpr int kExitUntrusted = 4;     // the pipe's owner is not one the helper can be
inline constexpr int kExitDoctorFailed = 5;  // doctor: at least one check failed

}  // namespace corvid::corvidctl
