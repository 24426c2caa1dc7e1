#pragma once
// corvidctl's exit status, as scripts rely on it.

namespace corvid::corvidctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitNotOk = 1;     // the response says "ok": false
inline constexpr int kExitNoAnswer = 2;  // no helper, no response, no log to read
inline constexpr int kExitUsage = 3;     // a bad command line, or a file named on it unreadable

}  // namespace corvid::corvidctl
