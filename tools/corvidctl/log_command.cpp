#include "log_command.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <expected>
#include <string_view>
#include <vector>

#include "common/os_error.h"
#include "common/utf.h"
#include "common/win_handle.h"
#include "console_io.h"
#include "exit_codes.h"
#include "log_view.h"

namespace corvid::corvidctl {

namespace {

constexpr wchar_t kServiceName[] = L"corvid-helper";
// How often --follow looks for new entries.
constexpr DWORD kPollMilliseconds = 250;
// The first read from the end of the log; doubled while the entries asked for begin further back.
constexpr std::size_t kFirstTailBytes = 64 * 1024;
constexpr std::size_t kReadPiece = 1024 * 1024;

struct Failure {
  int exit_code;
  std::string message;
};

std::optional<CivilTime> local_time_of(std::uint64_t intervals) {
  FILETIME file_time{static_cast<DWORD>(intervals & 0xFFFFFFFFu),
                     static_cast<DWORD>(intervals >> 32)};
  SYSTEMTIME utc{};
  SYSTEMTIME local{};
  // The zone's rules for that date, not today's offset: an entry from summer stays in summer time.
  if (!FileTimeToSystemTime(&file_time, &utc) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
    return std::nullopt;
  return CivilTime{local.wYear,   local.wMonth,  local.wDay,         local.wHour,
                   local.wMinute, local.wSecond, local.wMilliseconds};
}

// The helper log of the installed service: corvid-helper.log beside its registered program.
std::expected<std::string, Failure> installed_log_path() {
  const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    return std::unexpected(Failure{kExitNoAnswer, "cannot open the Service Control Manager: " +
                                                      os_error_text(GetLastError())});
  }
  const ScHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_CONFIG));
  if (!service) {
    const DWORD code = GetLastError();
    if (code == ERROR_SERVICE_DOES_NOT_EXIST) {
      return std::unexpected(
          Failure{kExitNoAnswer,
                  "the helper service corvid-helper is not installed (read a copy of its "
                  "log with --file PATH)"});
    }
    return std::unexpected(
        Failure{kExitNoAnswer, "cannot open the service corvid-helper: " + os_error_text(code)});
  }
  DWORD needed = 0;
  QueryServiceConfigW(service.get(), nullptr, 0, &needed);
  // QUERY_SERVICE_CONFIGW holds pointers: keep the buffer aligned for them.
  std::vector<std::uint64_t> buffer((needed + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t) +
                                    1);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service.get(), config,
                           static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t)), &needed)) {
    return std::unexpected(Failure{
        kExitNoAnswer,
        "cannot read the configuration of corvid-helper: " + os_error_text(GetLastError())});
  }
  const std::string binary_path =
      config->lpBinaryPathName == nullptr ? std::string() : from_wide(config->lpBinaryPathName);
  std::optional<std::string> path = service_log_path(binary_path);
  if (!path) {
    return std::unexpected(
        Failure{kExitNoAnswer, "no log beside the service's program: " + binary_path});
  }
  return std::move(*path);
}

// The log file, opened for reading afresh on every look: the helper keeps appending to it, and
// may have been reinstalled with a new one meanwhile.
class LogFile {
 public:
  static std::expected<LogFile, DWORD> open(const std::string& path) {
    WinHandle file(CreateFileW(to_wide(path).c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
      return std::unexpected(GetLastError());
    return LogFile(std::move(file));
  }

  std::expected<std::uint64_t, DWORD> size() const {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file_.get(), &size))
      return std::unexpected(GetLastError());
    return static_cast<std::uint64_t>(size.QuadPart);
  }

  // The bytes from `offset` up to `end` (fewer when the file ends sooner).
  std::expected<std::string, DWORD> read(std::uint64_t offset, std::uint64_t end) const {
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file_.get(), position, nullptr, FILE_BEGIN))
      return std::unexpected(GetLastError());
    std::string bytes;
    while (offset + bytes.size() < end) {
      const std::size_t want = static_cast<std::size_t>(
          std::min<std::uint64_t>(end - offset - bytes.size(), kReadPiece));
      const std::size_t before = bytes.size();
      bytes.resize(before + want);
      DWORD got = 0;
      if (!ReadFile(file_.get(), bytes.data() + before, static_cast<DWORD>(want), &got, nullptr))
        return std::unexpected(GetLastError());
      bytes.resize(before + got);
      if (got == 0)
        break;
    }
    return bytes;
  }

 private:
  explicit LogFile(WinHandle file) : file_(std::move(file)) {}
  WinHandle file_;
};

// Shows complete lines; false once nobody reads them any more.
bool print_lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines)
    text += shown_line(line, local_time_of) + "\n";
  return text.empty() || write_std(STD_OUTPUT_HANDLE, text);
}

std::string read_error(const std::string& path, DWORD code) {
  return "cannot read " + path + ": " + os_error_text(code);
}

}  // namespace

int run_log(const LogOptions& options) {
  std::string path;
  if (options.file) {
    path = *options.file;
  } else {
    std::expected<std::string, Failure> installed = installed_log_path();
    if (!installed) {
      print_error(installed.error().message);
      return installed.error().exit_code;
    }
    path = std::move(*installed);
  }
  // A file named on the command line is the user's to fix; the service's log, the helper's.
  const int unreadable = options.file ? kExitUsage : kExitNoAnswer;

  std::expected<LogFile, DWORD> file = LogFile::open(path);
  if (!file) {
    print_error(read_error(path, file.error()));
    return unreadable;
  }
  const std::expected<std::uint64_t, DWORD> size = file->size();
  if (!size) {
    print_error(read_error(path, size.error()));
    return unreadable;
  }
  if (options.count == 0 && !options.follow)
    return kExitOk;

  // The last entries: read back from the end until they all begin within what was read.
  std::string tail;
  std::uint64_t tail_start = *size;
  std::size_t piece = kFirstTailBytes;
  std::optional<std::size_t> begin;
  while (!begin) {
    const std::uint64_t from = tail_start - std::min<std::uint64_t>(tail_start, piece);
    std::expected<std::string, DWORD> bytes = file->read(from, tail_start);
    if (!bytes) {
      print_error(read_error(path, bytes.error()));
      return unreadable;
    }
    tail_start = from;
    tail.insert(0, *bytes);
    begin = last_entries_offset(tail, tail_start == 0, options.count);
    piece = std::min<std::size_t>(piece * 2, 64 * kReadPiece);
  }

  LineSplitter splitter;
  if (!print_lines(splitter.add(std::string_view(tail).substr(*begin))))
    return kExitOk;
  if (!options.follow) {
    // A line still being written is shown as it stands.
    if (!splitter.partial().empty())
      print_lines({splitter.partial()});
    return kExitOk;
  }

  // A partial last line waits for the rest; new bytes are read from where the last look ended.
  std::uint64_t offset = tail_start + tail.size();
  for (;;) {
    Sleep(kPollMilliseconds);
    std::expected<LogFile, DWORD> now = LogFile::open(path);
    if (!now)
      continue;  // gone for a moment (replaced, reinstalled): look again
    const std::expected<std::uint64_t, DWORD> now_size = now->size();
    if (!now_size)
      continue;
    if (*now_size < offset) {
      // Emptied or replaced by a shorter file: everything in it is new.
      offset = 0;
      splitter.clear();
    }
    if (*now_size == offset)
      continue;
    std::expected<std::string, DWORD> bytes = now->read(offset, *now_size);
    if (!bytes)
      continue;
    offset += bytes->size();
    if (!print_lines(splitter.add(*bytes)))
      return kExitOk;
  }
}

}  // namespace corvid::corvidctl
