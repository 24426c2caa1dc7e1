#include "log_view.h"

#include <cstdio>
#include <cstdlib>
#include <limits>

#include "log/log.h"

namespace corvid::corvidctl {

std::optional<EntryStart> entry_start(std::string_view line) {
  if (!line.starts_with(kEntryOpen))
    return std::nullopt;
  std::size_t i = kEntryOpen.size();
  std::uint64_t value = 0;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  while (i < line.size() && line[i] >= '0' && line[i] <= '9') {
    const unsigned digit = static_cast<unsigned>(line[i] - '0');
    // The helper writes a 64-bit count; anything longer is not its timestamp.
    if (value > (kMax - digit) / 10)
      return std::nullopt;
    value = value * 10 + digit;
    ++i;
  }
  if (i == kEntryOpen.size() || line.substr(i, kEntryClose.size()) != kEntryClose)
    return std::nullopt;
  return EntryStart{value, i + kEntryClose.size()};
}

std::string civil_time_text(const CivilTime& time) {
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", time.year, time.month,
                time.day, time.hour, time.minute, time.second, time.millisecond);
  if (time.utc)
    return std::string(text) + " UTC";
  const unsigned offset = static_cast<unsigned>(std::abs(time.utc_offset_minutes));
  char zone[16];
  std::snprintf(zone, sizeof zone, " %c%02u:%02u", time.utc_offset_minutes < 0 ? '-' : '+',
                offset / 60 % 100, offset % 60);
  return text + std::string(zone);
}

std::string shown_line(std::string_view line, const LocalTimeOf& local_time) {
  const std::optional<EntryStart> start = entry_start(line);
  if (!start)
    return std::string(line);
  const std::optional<CivilTime> time = local_time(start->intervals);
  if (!time)
    return std::string(line);
  return civil_time_text(*time) + " " + std::string(line.substr(start->message));
}

std::optional<std::size_t> last_entries_offset(std::string_view text, bool from_file_start,
                                               std::size_t count) {
  if (count == 0) {
    if (text.empty() || text.back() == '\n')
      return text.size();
    const std::size_t last_feed = text.rfind('\n');
    // The partial last line: where it begins is known only after a line feed or at the start.
    if (last_feed != std::string_view::npos)
      return last_feed + 1;
    return from_file_start ? std::optional<std::size_t>(0) : std::nullopt;
  }
  std::size_t end = text.size();
  if (end > 0 && text[end - 1] == '\n')
    --end;
  std::size_t found = 0;
  // The last line, complete or not, then every line before it.
  while (true) {
    const std::size_t feed = end == 0 ? std::string_view::npos : text.rfind('\n', end - 1);
    const std::size_t begin = feed == std::string_view::npos ? 0 : feed + 1;
    const bool line_start_known = feed != std::string_view::npos || from_file_start;
    if (!line_start_known)
      return std::nullopt;
    if (entry_start(text.substr(begin, end - begin)) && ++found == count)
      return begin;
    if (begin == 0)
      return from_file_start ? std::optional<std::size_t>(0) : std::nullopt;
    end = begin - 1;
  }
}

std::size_t count_entries(std::string_view text) {
  std::size_t count = 0;
  while (!text.empty()) {
    const std::size_t feed = text.find('\n');
    if (entry_start(text.substr(0, feed)))
      ++count;
    if (feed == std::string_view::npos)
      break;
    text.remove_prefix(feed + 1);
  }
  return count;
}

std::vector<std::string> LineSplitter::add(std::string_view bytes) {
  std::vector<std::string> lines;
  for (;;) {
    const std::size_t feed = bytes.find('\n');
    if (feed == std::string_view::npos)
      break;
    partial_.append(bytes.substr(0, feed));
    lines.push_back(std::move(partial_));
    partial_.clear();
    bytes.remove_prefix(feed + 1);
  }
  partial_.append(bytes);
  return lines;
}

std::string_view service_program(std::string_view binary_path) {
  // No file name holds a double quote, so nothing inside the quotes is escaped.
  if (binary_path.starts_with('"')) {
    binary_path.remove_prefix(1);
    return binary_path.substr(0, binary_path.find('"'));
  }
  return binary_path.substr(0, binary_path.find_first_of(" \t"));
}

std::optional<std::string> service_log_path(std::string_view binary_path) {
  const std::string_view program = service_program(binary_path);
  const std::size_t separator = program.find_last_of("\\/");
  if (separator == std::string_view::npos || separator + 1 == program.size())
    return std::nullopt;
  return std::string(program.substr(0, separator)) + "\\" + std::string(kLogFileName);
}

}  // namespace corvid::corvidctl
