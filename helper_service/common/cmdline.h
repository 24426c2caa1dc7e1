#pragma once
// Windows command-line quoting, as CommandLineToArgvW and the C runtime read it back.

#include <string>
#include <string_view>
#include <vector>

namespace corvid {

// The program in double quotes, then each argument after one blank, quoted when empty or holding
// a blank or tab.
std::string build_command_line(std::string_view program, const std::vector<std::string>& args);

// A service's binary path: unchanged unless empty or holding a blank, tab, line feed, vertical
// tab or double quote.
std::string quote_binary_path(std::string_view path);

}  // namespace corvid
