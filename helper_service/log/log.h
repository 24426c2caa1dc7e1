#pragma once
// The helper log: "[SystemTime { intervals: N }] message\n" appended to corvid-helper.log in the
// install directory and echoed on standard error. At 10 MiB the file becomes corvid-helper.log.1
// and a new one is started, so the log never holds much more than twice that; while the file
// cannot be renamed it takes entries up to 20 MiB and then drops them, counted.

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "common/file_identity.h"
#include "common/product_names.h"

namespace corvid {

// The size at which the log is rotated.
inline constexpr std::uint64_t kLogRotateBytes = 10 * 1024 * 1024;
// What an entry's timestamp is written between.
inline constexpr std::string_view kEntryOpen = "[SystemTime { intervals: ";
inline constexpr std::string_view kEntryClose = " }] ";

// Opens the log in `dir` once per process; later calls leave the first sink in place. Never
// fails visibly: without a file, lines go to standard error only. `rotate_bytes` is for tests.
void init_log(const std::string& dir, std::uint64_t rotate_bytes = kLogRotateBytes);

// Writes one entry; callable from any thread at any time. Control characters other than line
// feeds, DEL, U+0085, U+2028 and U+2029 are written as \uXXXX: nothing in a message can end or
// rewrite a line, or forge an entry, in the file or on a console.
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
// The entry as written: the message escaped as log_line does.
std::string format_log_line(std::uint64_t filetime, std::string_view message);

// The log file of one writer: appends whole entries and rotates the file when the next entry
// would take it past `rotate_bytes`. Other writers (another process of the helper, console mode
// beside the service) may append to and rotate the same file at the same time: before each entry
// the writer checks that the file under the name is still the one it holds and reopens it by
// name when not, and it renames only the file it holds, so a rotation never replaces a file that
// another writer has just started. When the rename fails (a reader holds the old file without
// sharing), entries go on into the current file and the rename is tried again with the next one,
// until the file holds twice `rotate_bytes`: from then on entries are dropped from the file (not
// from standard error) and counted, and the first entry written after a rotation is preceded by
// "log: N entries dropped while the log could not be rotated".
class LogFile {
 public:
  // Opens `path` for appending, creating it when missing; `is_open` tells whether that worked.
  LogFile(std::string path, std::uint64_t rotate_bytes);
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  bool is_open() const;
  // Writes the whole entry, after a rotation when it is due; errors are ignored.
  void append(std::string_view entry);

 private:
  void follow_the_name();
  // Rotates when `next_entry` would take the file past the limit; false when the entry must be
  // dropped (the file could not be rotated and has reached twice the limit).
  bool make_room(std::size_t next_entry);
  // Holds `file` from now on, and which file it is (that does not change while it is held).
  void hold(std::intptr_t file);

  std::mutex mutex_;
  const std::string path_;
  const std::string rotated_path_;
  const std::uint64_t rotate_bytes_;
  std::optional<std::intptr_t> file_;
  std::optional<FileIdentity> held_;
  std::uint64_t dropped_ = 0;
};

}  // namespace corvid
