#pragma once
// Reads what the helper log gained since the capture began. The log is opened once per process,
// in a temporary directory of the test program's own.

#include <string>
#include <vector>

namespace corvid::testing {

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
