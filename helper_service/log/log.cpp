#include "log/log.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <optional>

#include "log/log_platform.h"

namespace corvid {

namespace {

// Set once and kept until the process ends; the file handle is never closed.
struct LogSink {
  std::mutex mutex;
  std::optional<log_platform::FileHandle> file;
};

std::atomic<LogSink*> g_sink{nullptr};

}  // namespace

void init_log(const std::string& dir) {
  std::optional<log_platform::FileHandle> file =
      log_platform::open_append(log_platform::join_log_path(dir));
  auto* sink = new LogSink;
  sink->file = file;
  LogSink* expected = nullptr;
  if (!g_sink.compare_exchange_strong(expected, sink)) {
    if (file)
      log_platform::close_file(*file);
    delete sink;
  }
}

std::uint64_t current_filetime() {
  return log_platform::filetime_now();
}

std::string format_log_line(std::uint64_t filetime, std::string_view message) {
  std::string line(kEntryOpen);
  line += std::to_string(filetime);
  line += kEntryClose;
  line += message;
  line += '\n';
  return line;
}

void log_line(std::string_view message) {
  const std::string line = format_log_line(current_filetime(), message);
  if (LogSink* sink = g_sink.load()) {
    std::lock_guard guard(sink->mutex);
    if (sink->file)
      log_platform::write_all(*sink->file, line);
  }
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
