// The helper log as corvidctl log shows it: entries, the last N of them, local times.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "log_view.h"

namespace corvid::corvidctl {
namespace {

TEST(LogEntries, TheTimestampOfALineThatBeginsAnEntry) {
  struct Case {
    std::string line;
    std::optional<std::uint64_t> intervals;
    std::size_t message = 0;
  };
  const Case cases[] = {
      {"[SystemTime { intervals: 134410860000000000 }] running in console mode",
       134410860000000000u, 47},
      {"[SystemTime { intervals: 0 }] x", 0u, 30},
      {"[SystemTime { intervals: 18446744073709551615 }] largest", 18446744073709551615u, 49},
      {"[SystemTime { intervals: 7 }] ", 7u, 30},
      // Not the helper's timestamp: a later line of an entry.
      {"[SystemTime { intervals: 18446744073709551616 }] one past the largest", std::nullopt},
      {"[SystemTime { intervals:  7 }] two blanks", std::nullopt},
      {"[SystemTime { intervals: }] no digits", std::nullopt},
      {"[SystemTime { intervals: 7x }] a letter", std::nullopt},
      {"[SystemTime { intervals: 7 }]no blank", std::nullopt},
      {"[SystemTime { intervals: 7 }", std::nullopt},
      {" [SystemTime { intervals: 7 }] indented", std::nullopt},
      {"[SystemTime { intervals: 7", std::nullopt},
      {"Caused by:", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const std::optional<EntryStart> start = entry_start(c.line);
    ASSERT_EQ(start.has_value(), c.intervals.has_value());
    if (start) {
      EXPECT_EQ(start->intervals, *c.intervals);
      EXPECT_EQ(start->message, c.message);
    }
  }
}

TEST(LogEntries, CivilTimeIsWrittenWithFixedWidthsAndItsOffsetFromUtc) {
  const std::pair<CivilTime, std::string> cases[] = {
      {{2026, 12, 7, 3, 0, 0, 0}, "2026-12-07 03:00:00.000 +00:00"},
      {{999, 1, 2, 3, 4, 5, 6, 60}, "0999-01-02 03:04:05.006 +01:00"},
      {{30827, 12, 31, 23, 59, 59, 999, -300}, "30827-12-31 23:59:59.999 -05:00"},
      // Zones a whole hour cannot give: Nepal, Newfoundland, the Chatham Islands in summer.
      {{2026, 6, 1, 12, 0, 0, 0, 345}, "2026-06-01 12:00:00.000 +05:45"},
      {{2026, 6, 1, 12, 0, 0, 0, -150}, "2026-06-01 12:00:00.000 -02:30"},
      {{2026, 1, 1, 0, 0, 0, 0, 825}, "2026-01-01 00:00:00.000 +13:45"},
      // --utc: the time is UTC, and says so.
      {{2026, 12, 7, 3, 0, 0, 0, 0, true}, "2026-12-07 03:00:00.000 UTC"},
  };
  for (const auto& [time, text] : cases)
    EXPECT_EQ(civil_time_text(time), text);
}

// Local times as a test zone gives them: UTC+1 for the two instants it knows.
std::optional<CivilTime> test_zone(std::uint64_t intervals) {
  static const std::map<std::uint64_t, CivilTime> known = {
      {134410860000000000u, {2026, 12, 7, 4, 0, 0, 0, 60}},
      {134410860012345678u, {2026, 12, 7, 4, 0, 1, 234, 60}},
  };
  const auto found = known.find(intervals);
  if (found == known.end())
    return std::nullopt;
  return found->second;
}

TEST(LogEntries, AnEntrysFirstLineShowsLocalTimeAndEverythingElseStaysAsItIs) {
  const std::pair<std::string, std::string> cases[] = {
      {"[SystemTime { intervals: 134410860000000000 }] running in console mode",
       "2026-12-07 04:00:00.000 +01:00 running in console mode"},
      {"[SystemTime { intervals: 134410860012345678 }] core not found: C:\\Caf\xC3\xA9\\x.exe\r",
       "2026-12-07 04:00:01.234 +01:00 core not found: C:\\Caf\xC3\xA9\\x.exe\r"},
      {"[SystemTime { intervals: 134410860000000000 }] ", "2026-12-07 04:00:00.000 +01:00 "},
      // A later line of a message, and lines that only look like a timestamp.
      {"    EOF while parsing an object at line 1 column 25",
       "    EOF while parsing an object at line 1 column 25"},
      {"", ""},
      {"[SystemTime { intervals: 1x }] odd", "[SystemTime { intervals: 1x }] odd"},
      {"not UTF-8: \xFF\xFE", "not UTF-8: \xFF\xFE"},
      // A time the zone cannot give keeps its raw form.
      {"[SystemTime { intervals: 18446744073709551615 }] far",
       "[SystemTime { intervals: "
       "18446744073709551615 }] far"},
  };
  for (const auto& [line, shown] : cases) {
    SCOPED_TRACE(line);
    EXPECT_EQ(shown_line(line, test_zone), shown);
  }
}

// Two single-line entries around one of four lines, as the helper writes a failed request.
const std::string kLog =
    "[SystemTime { intervals: 100 }] running in console mode\n"
    "[SystemTime { intervals: 200 }] pipe handle error: invalid request: {\"id\":\"1\"\n"
    "\n"
    "Caused by:\n"
    "    EOF while parsing an object at line 1 column 8\n"
    "[SystemTime { intervals: 300 }] core started\n";
// Where each entry begins.
constexpr std::size_t kFirst = 0;
constexpr std::size_t kSecond = 56;
constexpr std::size_t kThird = 197;

TEST(LastEntries, OfAWholeFile) {
  ASSERT_EQ(kLog.substr(kSecond, 31), "[SystemTime { intervals: 200 }]");
  ASSERT_EQ(kLog.substr(kThird, 31), "[SystemTime { intervals: 300 }]");
  struct Case {
    const char* label;
    std::string text;
    std::size_t count;
    std::optional<std::size_t> offset;
  };
  const std::string preamble = "left from a cut copy\n";
  const std::string partial_entry = "[SystemTime { intervals: 400 }] core sto";
  const Case cases[] = {
      {"the last", kLog, 1, kThird},
      {"an entry of several lines is one", kLog, 2, kSecond},
      {"all three", kLog, 3, kFirst},
      {"more than there are", kLog, 20, kFirst},
      {"none", kLog, 0, kLog.size()},
      {"lines before the first entry come with all of them", preamble + kLog, 4, 0},
      {"but not with fewer", preamble + kLog, 3, preamble.size()},
      {"a partial last line that begins an entry is the last entry", kLog + partial_entry, 1,
       kLog.size()},
      {"none, but a partial last line waits to be followed", kLog + partial_entry, 0, kLog.size()},
      {"a partial later line belongs to its entry", kLog + "    more of it", 1, kThird},
      {"an empty file", "", 20, 0},
      {"an empty file, none", "", 0, 0},
      {"no line feed at all", "[SystemTime { intervals: 1 }] only", 1, 0},
      {"no line feed at all, none", "[SystemTime { intervals: 1 }] only", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(last_entries_offset(c.text, true, c.count), c.offset);
  }
}

TEST(LastEntries, CountsTheEntriesThatBeginInAText) {
  EXPECT_EQ(count_entries(kLog), 3u);
  EXPECT_EQ(count_entries(std::string_view(kLog).substr(kSecond)), 2u);
  // A piece that begins inside an entry counts only those that begin in it.
  EXPECT_EQ(count_entries(std::string_view(kLog).substr(kSecond + 1)), 1u);
  EXPECT_EQ(count_entries("left from a cut copy\n" + kLog + "[SystemTime { intervals: 4 }] sto"),
            4u);
  EXPECT_EQ(count_entries(""), 0u);
  EXPECT_EQ(count_entries("\n\n    more\n"), 0u);
}

// The end of a log read from the back: a line that begins the piece may be cut.
TEST(LastEntries, OfTheEndOfAFileAsksForMoreUntilTheyAllBeginInside) {
  struct Case {
    const char* label;
    std::size_t from;  // where the piece begins in kLog
    std::size_t count;
    std::optional<std::size_t> offset;  // in the piece
  };
  const Case cases[] = {
      {"the last, found after a line feed", kSecond + 10, 1, kThird - kSecond - 10},
      {"two need more", kSecond + 10, 2, std::nullopt},
      {"a piece that starts exactly at an entry cannot know it", kSecond, 2, std::nullopt},
      {"but finds the one after it", kSecond, 1, kThird - kSecond},
      {"one byte earlier it can", kSecond - 1, 2, 1},
      {"more than there are needs the whole file", 1, 20, std::nullopt},
      {"none", kSecond + 10, 0, kLog.size() - kSecond - 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(last_entries_offset(std::string_view(kLog).substr(c.from), false, c.count), c.offset);
  }
  // A partial last line with no line feed before it in the piece: its start is unknown.
  EXPECT_EQ(last_entries_offset("ntervals: 400 }] core sto", false, 0), std::nullopt);
  EXPECT_EQ(last_entries_offset("x\n[SystemTime { intervals: 4 }] core sto", false, 0), 2u);
}

TEST(LineSplitter, LinesCompleteWhenTheirLineFeedArrives) {
  LineSplitter splitter;
  EXPECT_EQ(splitter.add("[SystemTime { interv"), std::vector<std::string>{});
  EXPECT_EQ(splitter.partial(), "[SystemTime { interv");
  EXPECT_EQ(splitter.add("als: 5 }] core started\nnext"),
            std::vector<std::string>{"[SystemTime { intervals: 5 }] core started"});
  EXPECT_EQ(splitter.add("\n\n\nlast\n"), (std::vector<std::string>{"next", "", "", "last"}));
  EXPECT_EQ(splitter.partial(), "");
  EXPECT_EQ(splitter.add("cut"), std::vector<std::string>{});
  splitter.clear();
  EXPECT_EQ(splitter.add("fresh\n"), std::vector<std::string>{"fresh"});
  EXPECT_EQ(splitter.add(""), std::vector<std::string>{});
}

TEST(ServiceLog, BesideTheProgramOfTheRegisteredBinaryPath) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {R"("C:\Program Files\Corvid\corvid_helper_service.exe")",
       R"(C:\Program Files\Corvid\corvid-helper.log)"},
      {R"(C:\Corvid\corvid_helper_service.exe)", R"(C:\Corvid\corvid-helper.log)"},
      {R"("C:\Program Files\Corvid\corvid_helper_service.exe" --flag)",
       R"(C:\Program Files\Corvid\corvid-helper.log)"},
      {R"(C:\Corvid\corvid_helper_service.exe --flag "x y")", R"(C:\Corvid\corvid-helper.log)"},
      {R"(C:/Corvid/corvid_helper_service.exe)", R"(C:/Corvid\corvid-helper.log)"},
      {R"(C:\corvid_helper_service.exe)", R"(C:\corvid-helper.log)"},
      {R"(\\?\D:\Apps\Corvid\helper.exe)", R"(\\?\D:\Apps\Corvid\corvid-helper.log)"},
      {R"("C:\Program Files\Corvid\corvid_helper_service.exe)",
       R"(C:\Program Files\Corvid\corvid-helper.log)"},
      {"corvid_helper_service.exe", std::nullopt},
      {R"(C:\Corvid\)", std::nullopt},
      {R"("")", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [binary_path, log] : cases) {
    SCOPED_TRACE(binary_path);
    EXPECT_EQ(service_log_path(binary_path), log);
  }
}

}  // namespace
}  // namespace corvid::corvidctl
