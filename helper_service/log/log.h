#pragma once
// The helper log: "[SystemTime { intervals: N }] message\n" appended to corvid-helper.log in the
// install directory and echoed on standard error.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "common/error.h"

namespace corvid {

inline constexpr std::string_view kLogFileName = "corvid-helper.log";
// What an entry's timestamp is written between.
inline constexpr std::string_view kEntryOpen = "[SystemTime { intervals: ";
inline constexpr std::string_view kEntryClose = " }] ";

// Opens the log in `dir` once per process; later calls leave the first sink in place. Never
// fails visibly: without a file, lines go to standard error only.
void init_log(const std::string& dir);

// Writes one line; callable from any thread at any time.
void log_line(std::string_view message);

// Writes to standard error only, for what must be said before or without the log; dropped when
// there is no standard error (under the Service Control Manager).
void write_stderr(std::string_view bytes);

// Runs one pass of a worker's loop. Whatever it throws is logged as "service error: <text>"
// instead, so that the loop goes on: a worker that died silently would leave the service deaf
// or the core unwatched.
void run_logging_errors(const std::function<void()>& pass);

// The current system time as a FILETIME count (100 ns since 1601-01-01 UTC).
std::uint64_t current_filetime();
std::string format_log_line(std::uint64_t filetime, std::string_view message);

}  // namespace corvid
