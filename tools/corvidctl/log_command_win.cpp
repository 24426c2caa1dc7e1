#include "log_command_win.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "common/os_error.h"
#include "common/utf.h"
#include "common/handle_win.h"
#include "common/io_win.h"
#include "common/product_names.h"
#include "console_io_win.h"
#include "exit_codes.h"
#include "log_view.h"
#include "pipe_client_win.h"
#include "service_registration_win.h"

namespace corvid::corvidctl {

namespace {

// How often --follow looks for new entries.
constexpr DWORD kPollMilliseconds = 250;
// The first read from the end of the log; doubled while the entries asked for begin further back.
constexpr std::size_t kFirstTailBytes = 64 * 1024;
constexpr std::size_t kReadPiece = 1024 * 1024;

FILETIME as_filetime(std::uint64_t intervals) {
  return FILETIME{static_cast<DWORD>(intervals & 0xFFFFFFFFu), static_cast<DWORD>(intervals >> 32)};
}

std::uint64_t as_intervals(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

CivilTime civil(const SYSTEMTIME& time) {
  return CivilTime{time.wYear,   time.wMonth,  time.wDay,         time.wHour,
                   time.wMinute, time.wSecond, time.wMilliseconds};
}

std::optional<CivilTime> utc_time_of(std::uint64_t intervals) {
  const FILETIME file_time = as_filetime(intervals);
  SYSTEMTIME utc{};
  if (!FileTimeToSystemTime(&file_time, &utc))
    return std::nullopt;
  CivilTime time = civil(utc);
  time.utc = true;
  return time;
}

std::optional<CivilTime> local_time_of(std::uint64_t intervals) {
  const FILETIME file_time = as_filetime(intervals);
  SYSTEMTIME utc{};
  SYSTEMTIME local{};
  FILETIME local_file_time{};
  // The zone's rules for that date, not today's offset: an entry from summer stays in summer time.
  if (!FileTimeToSystemTime(&file_time, &utc) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) ||
      !SystemTimeToFileTime(&local, &local_file_time))
    return std::nullopt;
  CivilTime time = civil(local);
  // Both counts are whole milliseconds apart from the same instant; the zone's offset is whole
  // minutes.
  const auto difference =
      static_cast<std::int64_t>(as_intervals(local_file_time) - (intervals - intervals % 10000));
  time.utc_offset_minutes = static_cast<int>(difference / 600000000);
  return time;
}

// The helper log of the installed service: corvid-helper.log beside its registered program.
Result<std::string> installed_log_path() {
  const Result<ServiceRegistration> registration = read_service_registration();
  if (!registration) {
    if (registration.error().os_code == ERROR_SERVICE_DOES_NOT_EXIST) {
      return std::unexpected(Error("the helper service " +
                                   from_wide(pipe_client::endpoint().service_name) +
                                   " is not installed (read a copy of its log with --file PATH)"));
    }
    return std::unexpected(registration.error());
  }
  std::optional<std::string> path = service_log_path(registration->binary_path);
  if (!path)
    return std::unexpected(
        Error("no log beside the service's program: " + registration->binary_path));
  return std::move(*path);
}

// The helper log open for reading while the helper appends to it, renames it or removes it.
class LogReader {
 public:
  static Result<LogReader> open(const std::string& path) {
    WinHandle file(CreateFileW(to_wide(path).c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
      return std::unexpected(last_os_error());
    return LogReader(std::move(file));
  }

  // Which file it is: the helper renames a full log to corvid-helper.log.1 and starts another.
  Result<FileIdentity> identity() const { return identity_of(file_.get()); }

  Result<std::uint64_t> size() const {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file_.get(), &size))
      return std::unexpected(last_os_error());
    return static_cast<std::uint64_t>(size.QuadPart);
  }

  // The bytes from `offset` up to `end` (fewer when the file ends sooner).
  Result<std::string> read(std::uint64_t offset, std::uint64_t end) const {
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file_.get(), position, nullptr, FILE_BEGIN))
      return std::unexpected(last_os_error());
    std::string bytes;
    while (offset + bytes.size() < end) {
      const std::size_t want = static_cast<std::size_t>(
          std::min<std::uint64_t>(end - offset - bytes.size(), kReadPiece));
      const std::size_t before = bytes.size();
      bytes.resize(before + want);
      DWORD got = 0;
      if (!ReadFile(file_.get(), bytes.data() + before, static_cast<DWORD>(want), &got, nullptr))
        return std::unexpected(last_os_error());
      bytes.resize(before + got);
      if (got == 0)
        break;
    }
    return bytes;
  }

 private:
  explicit LogReader(WinHandle file) : file_(std::move(file)) {}
  WinHandle file_;
};

// Prints lines as the user asked for their times; false once nobody reads them any more.
class Printer {
 public:
  explicit Printer(bool utc) : time_of_(utc ? utc_time_of : local_time_of) {}

  bool lines(const std::vector<std::string>& lines) const {
    std::string text;
    for (const std::string& line : lines)
      text += shown_line(line, time_of_) + "\n";
    return text.empty() || write_std(STD_OUTPUT_HANDLE, text);
  }

  // Complete lines of `bytes`, then a last line without its line feed as it stands.
  bool everything(LineSplitter& splitter, std::string_view bytes) const {
    if (!lines(splitter.add(bytes)))
      return false;
    const std::string rest = splitter.partial();
    splitter.clear();
    return rest.empty() || lines({rest});
  }

 private:
  LocalTimeOf time_of_;
};

std::string read_error(const std::string& path, const Error& error) {
  return "cannot read " + path + ": " + error.message;
}

// The last entries of one file.
struct Tail {
  std::string text;         // from where the first of them begins
  std::uint64_t end = 0;    // where the text ends in the file
  std::size_t entries = 0;  // how many begin in it
};

// Reads back from the end until the entries asked for all begin within what was read.
Result<Tail> last_entries(const LogReader& file, std::size_t count) {
  CORVID_TRY_ASSIGN(const std::uint64_t size, file.size());
  std::string tail;
  std::uint64_t tail_start = size;
  std::size_t piece = kFirstTailBytes;
  std::optional<std::size_t> begin;
  while (!begin) {
    const std::uint64_t from = tail_start - std::min<std::uint64_t>(tail_start, piece);
    CORVID_TRY_ASSIGN(const std::string bytes, file.read(from, tail_start));
    tail_start = from;
    tail.insert(0, bytes);
    begin = last_entries_offset(tail, tail_start == 0, count);
    piece = std::min<std::size_t>(piece * 2, 64 * kReadPiece);
  }
  Tail result;
  result.end = tail_start + tail.size();
  result.text = tail.substr(*begin);
  result.entries = count_entries(result.text);
  return result;
}

// The entries before the current file's, from the file the helper rotated it to; empty when there
// is none. `current` is the current file's identity: should a rotation come between the two
// opens, the rotated file is the one already read.
std::optional<Tail> rotated_entries(const std::string& path, std::size_t count,
                                    const FileIdentity& current) {
  Result<LogReader> rotated = LogReader::open(path + std::string(kRotatedLogSuffix));
  if (!rotated)
    return std::nullopt;
  const auto identity = rotated->identity();
  if (!identity || identity->same_file(current))
    return std::nullopt;
  Result<Tail> tail = last_entries(*rotated, count);
  if (!tail)
    return std::nullopt;
  return std::move(*tail);
}

// Set by Ctrl+C or Ctrl+Break: --follow ends as the user asked, with success.
HANDLE g_interrupted = nullptr;

BOOL WINAPI on_console_control(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
    return FALSE;
  SetEvent(g_interrupted);
  return TRUE;
}

// Follows the log under `path` from `offset` in `followed`, across the helper's rotations, until
// interrupted or nobody reads the output.
int follow(const std::string& path, LogReader followed, std::uint64_t offset, LineSplitter splitter,
           const Printer& printer) {
  Result<FileIdentity> identity = followed.identity();
  // What the followed file gained since the last look; false once nobody reads the output.
  const auto read_new = [&]() {
    const Result<std::uint64_t> size = followed.size();
    if (!size || *size == offset)
      return true;
    if (*size < offset) {
      // Emptied, or written anew shorter: everything in it is new.
      offset = 0;
      splitter.clear();
    }
    Result<std::string> bytes = followed.read(offset, *size);
    if (!bytes)
      return true;  // looked at again next time
    offset += bytes->size();
    return printer.lines(splitter.add(*bytes));
  };
  for (;;) {
    if (WaitForSingleObject(g_interrupted, kPollMilliseconds) == WAIT_OBJECT_0)
      return kExitOk;
    if (!read_new())
      return kExitOk;
    // A new file under the name: the helper rotated the log (or it was replaced). The rest of
    // the old one first, then the new one from its start.
    Result<LogReader> named = LogReader::open(path);
    if (!named)
      continue;  // gone for a moment: look again
    const auto named_identity = named->identity();
    if (!named_identity || !identity || named_identity->same_file(*identity))
      continue;
    if (!read_new())
      return kExitOk;
    // The helper writes whole entries; a last line cut short stays as it is.
    if (!splitter.partial().empty() && !printer.everything(splitter, ""))
      return kExitOk;
    followed = std::move(*named);
    identity = named_identity;
    offset = 0;
    if (!read_new())
      return kExitOk;
  }
}

}  // namespace

int run_log(const LogOptions& options) {
  std::string path;
  if (options.file) {
    path = *options.file;
  } else {
    Result<std::string> installed = installed_log_path();
    if (!installed) {
      print_error(installed.error().message);
      return kExitNoAnswer;
    }
    path = std::move(*installed);
  }
  // A file named on the command line is the user's to fix; the service's log, the helper's.
  const int unreadable = options.file ? kExitUsage : kExitNoAnswer;
  const Printer printer(options.utc);

  // Should the helper rotate the log between opening it and its rotated file, open them again.
  std::optional<LogReader> file;
  std::optional<Tail> tail;
  std::optional<Tail> older;
  for (int attempt = 0; attempt < 3; ++attempt) {
    Result<LogReader> opened = LogReader::open(path);
    if (!opened) {
      print_error(read_error(path, opened.error()));
      return unreadable;
    }
    file.emplace(std::move(*opened));
    if (options.count == 0 && !options.follow)
      return kExitOk;
    Result<Tail> last = last_entries(*file, options.count);
    if (!last) {
      print_error(read_error(path, last.error()));
      return unreadable;
    }
    tail = std::move(*last);
    older.reset();
    if (tail->entries >= options.count)
      break;
    // Fewer than asked for: the rest are at the end of the file the helper rotated it to.
    const auto identity = file->identity();
    if (!identity)
      break;
    older = rotated_entries(path, options.count - tail->entries, *identity);
    const Result<LogReader> again = LogReader::open(path);
    if (!again)
      break;
    const auto again_identity = again->identity();
    if (!again_identity || again_identity->same_file(*identity))
      break;
  }

  LineSplitter splitter;
  if (older && !printer.everything(splitter, older->text))
    return kExitOk;
  if (!printer.lines(splitter.add(tail->text)))
    return kExitOk;
  if (!options.follow) {
    // A line still being written is shown as it stands.
    printer.everything(splitter, "");
    return kExitOk;
  }

  // A partial last line waits for the rest.
  g_interrupted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (g_interrupted == nullptr || !SetConsoleCtrlHandler(on_console_control, TRUE)) {
    print_error("cannot watch for Ctrl+C: " + last_os_error_text());
    return kExitNoAnswer;
  }
  return follow(path, std::move(*file), tail->end, std::move(splitter), printer);
}

}  // namespace corvid::corvidctl
