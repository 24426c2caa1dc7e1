#include "log/log.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <optional>
#include <utility>

#include "common/shown_text.h"
#include "log/log_platform.h"

namespace corvid {

namespace {

// Set once and kept until the process ends.
std::atomic<LogFile*> g_sink{nullptr};

}  // namespace

LogFile::LogFile(std::string path, std::uint64_t rotate_bytes)
    : path_(std::move(path)),
      rotated_path_(path_ + std::string(kRotatedLogSuffix)),
      rotate_bytes_(rotate_bytes) {
  if (const std::optional<log_platform::FileHandle> file = log_platform::open_append(path_))
    hold(*file);
}

LogFile::~LogFile() {
  if (file_)
    log_platform::close_file(*file_);
}

bool LogFile::is_open() const {
  return file_.has_value();
}

void LogFile::append(std::string_view entry) {
  std::lock_guard guard(mutex_);
  // A file that could not be opened at first stays unopened: the lines go to standard error.
  if (!file_)
    return;
  follow_the_name();
  if (!make_room(entry.size())) {
    ++dropped_;
    return;
  }
  if (dropped_ != 0) {
    log_platform::write_all(
        *file_, format_log_line(current_filetime(),
                                "log: " + std::to_string(dropped_) +
                                    " entries dropped while the log could not be rotated"));
    dropped_ = 0;
  }
  log_platform::write_all(*file_, entry);
}

// Another writer may have rotated the file this one holds: its entries now belong in the new
// file under the name. An entry written in the moment between that rotation and this check lands
// whole at the end of the rotated file.
void LogFile::follow_the_name() {
  const std::optional<FileIdentity> named = log_platform::named_file_state(path_);
  if (named) {
    if (!held_)
      held_ = log_platform::held_file_state(*file_);
    if (held_ && held_->same_file(*named))
      return;
  }
  // Gone or replaced: write under the name again. Should that fail, the held file keeps taking
  // the entries rather than losing them.
  if (const std::optional<log_platform::FileHandle> reopened = log_platform::open_append(path_)) {
    log_platform::close_file(*file_);
    hold(*reopened);
  }
}

bool LogFile::make_room(std::size_t next_entry) {
  const std::optional<std::uint64_t> size = log_platform::held_file_size(*file_);
  // An entry alone longer than the limit still goes into a file of its own.
  if (!size || *size == 0 || *size + next_entry <= rotate_bytes_)
    return true;
  // Tried again with every entry. Meanwhile the file takes entries up to twice the limit and
  // then no more: a reader that never lets go must not fill the volume.
  if (!log_platform::rename_held_file(*file_, path_, rotated_path_).has_value())
    return *size < 2 * rotate_bytes_;
  if (const std::optional<log_platform::FileHandle> fresh = log_platform::open_append(path_)) {
    log_platform::close_file(*file_);
    hold(*fresh);
  }
  return true;
}

void LogFile::hold(std::intptr_t file) {
  file_ = file;
  held_ = log_platform::held_file_state(file);
}

void init_log(const std::string& dir, std::uint64_t rotate_bytes) {
  auto* sink = new LogFile(log_platform::join_log_path(dir), rotate_bytes);
  LogFile* expected = nullptr;
  if (!g_sink.compare_exchange_strong(expected, sink))
    delete sink;  // closes the handle it opened
}

std::uint64_t current_filetime() {
  return log_platform::filetime_now();
}

std::string format_log_line(std::uint64_t filetime, std::string_view message) {
  std::string line(kEntryOpen);
  line += std::to_string(filetime);
  line += kEntryClose;
  // The one place where what reaches the log is made safe to show: a message's own line feeds
  // (the lines of a detailed error) stay, every other character that breaks a line does not.
  line += escape_line_breakers(message, /*keep_line_feeds=*/true);
  line += '\n';
  return line;
}

void log_line(std::string_view message) {
  const std::string line = format_log_line(current_filetime(), message);
  if (LogFile* sink = g_sink.load())
    sink->append(line);
  log_platform::write_stderr(line);
}

void write_stderr(std::string_view bytes) {
  log_platform::write_stderr(bytes);
}

void run_logging_errors(const std::function<void()>& pass) {
  try {
    pass();
  } catch (const std::exception& error) {
    log_line(std::string("service error: ") + error.what());
  } catch (...) {
    log_line("service error: unknown exception");
  }
}

}  // namespace corvid
