#pragma once
// Reads what the helper log gained since the capture began. The log is opened once per process,
// in a temporary directory of the test program's own.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace corvid::testing {

// The helper takes paths as UTF-8; path::string() would use the ANSI code page under MSVC, which
// cannot hold every user's temp directory.
std::string utf8_text(const std::filesystem::path& path);
std::filesystem::path utf8_path(std::string_view text);

class LogCapture {
 public:
  LogCapture();
  // Raw bytes written since construction.
  std::string text() const;
  // The messages of the lines written since construction, timestamps removed.
  std::vector<std::string> messages() const;
  // The same, one message per entry: the later lines of a message stay in it, joined by "\n".
  std::vector<std::string> entries() const;

  static std::string log_path();

 private:
  std::size_t start_;
};

}  // namespace corvid::testing
