#pragma once
// Reading the helper log for people: its entries, the last N of them, and each entry's time as a
// local date and time with its offset from UTC. Portable: the conversion of the time is passed in.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvid::corvidctl {

// An entry begins with a line "[SystemTime { intervals: N }] message" (the helper's
// kEntryOpen, N, kEntryClose); the lines after it that do not begin so belong to it (a message
// of several lines).
struct EntryStart {
  std::uint64_t intervals = 0;  // FILETIME: 100 ns since 1601-01-01 UTC
  std::size_t message = 0;      // where the message begins in the line
};
// The timestamp of a line that begins an entry; empty for any other line.
std::optional<EntryStart> entry_start(std::string_view line);

struct CivilTime {
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
  // Local time minus UTC at that instant, in minutes.
  int utc_offset_minutes = 0;
  // Shown as UTC rather than as a local time with its offset.
  bool utc = false;
};
// "YYYY-MM-DD HH:MM:SS.mmm +HH:MM" (or "-HH:MM"), or "YYYY-MM-DD HH:MM:SS.mmm UTC": a log
// copied from another machine, or read across a change of daylight saving time, is unambiguous.
std::string civil_time_text(const CivilTime& time);

// A FILETIME as a date and time (local, or UTC); empty when it has none.
using LocalTimeOf = std::function<std::optional<CivilTime>(std::uint64_t intervals)>;

// One line as shown, without its line feed: an entry's first line as "<local time> <message>",
// any other line unchanged. A timestamp without a local time keeps its raw form.
std::string shown_line(std::string_view line, const LocalTimeOf& local_time);

// Where the last `count` entries begin in `text`, the last bytes of a log; a last line without a
// line feed counts as a line. `from_file_start`: `text` is the whole file, so its first byte
// begins a line, and with fewer entries than `count` everything is shown (lines before the first
// entry too). Empty: the entries may begin further back, before `text`. 0 entries begin at the
// last line if it has no line feed yet, else at the end.
std::optional<std::size_t> last_entries_offset(std::string_view text, bool from_file_start,
                                               std::size_t count);

// How many entries begin in `text` (lines that begin with a timestamp).
std::size_t count_entries(std::string_view text);

// The program of a service's registered binary path, as the Service Control Manager finds it:
// up to the closing quote, or up to the first blank when unquoted.
std::string_view service_program(std::string_view binary_path);

// The helper log beside the program of a service's registered binary path, quoted or not
// (anything after the program is left out). Empty when that names no file in a directory.
std::optional<std::string> service_log_path(std::string_view binary_path);

// Cuts bytes that arrive in pieces into complete lines; a last line without its line feed waits
// for the rest.
class LineSplitter {
 public:
  // The lines that `bytes` completes, without their line feeds.
  std::vector<std::string> add(std::string_view bytes);
  // What waits for its line feed.
  const std::string& partial() const { return partial_; }
  void clear() { partial_.clear(); }

 private:
  std::string partial_;
};

}  // namespace corvid::corvidctl
