#include "log_capture.h"

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "log/log.h"

namespace corvid::testing {

namespace {

std::string file_bytes(const std::string& path) {
  std::ifstream in(utf8_path(path), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string init_dir() {
  static std::once_flag once;
  static std::string dir;
  std::call_once(once, [] {
    auto base = std::filesystem::temp_directory_path() / "corvid-test-logs";
    std::filesystem::create_directories(base);
    for (int i = 0;; ++i) {
      auto candidate = base / ("run-" + std::to_string(i));
      if (std::filesystem::create_directory(candidate)) {
        dir = utf8_text(candidate);
        break;
      }
    }
    init_log(dir);
  });
  return dir;
}

}  // namespace

std::string utf8_text(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

std::filesystem::path utf8_path(std::string_view text) {
  return std::filesystem::path(
      std::u8string(reinterpret_cast<const char8_t*>(text.data()), text.size()));
}

std::string LogCapture::log_path() {
  return utf8_text(utf8_path(init_dir()) / std::string(kLogFileName));
}

LogCapture::LogCapture() : start_(file_bytes(log_path()).size()) {}

std::string LogCapture::text() const {
  return file_bytes(log_path()).substr(start_);
}

std::vector<std::string> LogCapture::messages() const {
  std::vector<std::string> out;
  const std::string all = text();
  std::size_t pos = 0;
  while (pos < all.size()) {
    std::size_t end = all.find('\n', pos);
    if (end == std::string::npos)
      end = all.size();
    std::string line = all.substr(pos, end - pos);
    // Lines of a multi-line message carry no timestamp; they are kept as they are.
    if (line.starts_with("[SystemTime { intervals: ")) {
      const std::size_t close = line.find("}] ");
      if (close != std::string::npos)
        line = line.substr(close + 3);
    }
    out.push_back(line);
    pos = end + 1;
  }
  return out;
}

std::vector<std::string> LogCapture::entries() const {
  std::vector<std::string> out;
  const std::string all = text();
  static constexpr std::string_view kStamp = "[SystemTime { intervals: ";
  std::size_t pos = 0;
  while (pos < all.size()) {
    std::size_t end = all.find('\n', pos);
    if (end == std::string::npos)
      end = all.size();
    const std::string_view line(all.data() + pos, end - pos);
    const std::size_t close = line.find("}] ");
    if (line.starts_with(kStamp) && close != std::string_view::npos)
      out.emplace_back(line.substr(close + 3));
    else if (!out.empty())
      out.back().append("\n").append(line);
    else
      out.emplace_back(line);
    pos = end + 1;
  }
  return out;
}

}  // namespace corvid::testing
