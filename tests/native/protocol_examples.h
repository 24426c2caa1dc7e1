#pragma once
// The checked examples of docs/protocol.md: fenced blocks whose info string begins with
// "exchange". In a block, "> " starts a request (sent with a line feed), "< " gives its response
// line exactly, "(no response)" says the connection is closed unanswered, and "| " (or "|" alone)
// gives one line of the log entry the request leaves. Anything else in a block is an error, so a
// mistyped example fails instead of going unchecked. Shared by the native test (standard-user
// blocks, through dispatch) and the Windows test (the others, through the pipe).

#include <cstddef>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace corvid::test::protocol_doc {

struct Exchange {
  std::size_t line = 0;  // of the request, 1-based
  std::string request;   // without its line feed
  std::optional<std::string> response;
  bool no_response = false;              // the connection is closed unanswered
  std::optional<std::string> log_entry;  // its lines joined by "\n"
};

struct Block {
  std::size_t line = 0;  // of the opening fence
  bool standard_user = false;
  bool per_user_install = false;
  std::vector<Exchange> exchanges;
};

struct Document {
  std::vector<Block> blocks;
  std::vector<std::string> errors;  // "line N: ..." for every line that breaks the form
};

inline std::vector<std::string> split_lines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string_view::npos)
      end = text.size();
    std::string line(text.substr(begin, end - begin));
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    lines.push_back(std::move(line));
    begin = end + 1;
  }
  return lines;
}

inline Document extract(std::string_view markdown) {
  Document document;
  const std::vector<std::string> lines = split_lines(markdown);
  Block* block = nullptr;
  bool in_other_fence = false;
  const auto error = [&](std::size_t number, const std::string& what) {
    document.errors.push_back("line " + std::to_string(number) + ": " + what);
  };
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    const std::size_t number = i + 1;
    if (line.starts_with("```")) {
      if (block != nullptr) {
        if (line != "```")
          error(number, "an example block ends with a bare fence");
        if (block->exchanges.empty())
          error(block->line, "an example block without exchanges");
        else if (!block->exchanges.back().response && !block->exchanges.back().no_response)
          error(block->exchanges.back().line, "a request without its response or (no response)");
        block = nullptr;
      } else if (in_other_fence) {
        in_other_fence = false;
      } else if (line.starts_with("```exchange")) {
        Block opened;
        opened.line = number;
        std::istringstream words(line.substr(3));
        std::string word;
        words >> word;
        if (word != "exchange")
          error(number, "unknown block kind: " + word);
        while (words >> word) {
          if (word == "standard-user") {
            opened.standard_user = true;
          } else if (word == "per-user-install") {
            opened.per_user_install = true;
          } else {
            error(number, "unknown block setting: " + word);
          }
        }
        if (opened.per_user_install && !opened.standard_user)
          error(number, "per-user-install is for standard-user blocks");
        document.blocks.push_back(std::move(opened));
        block = &document.blocks.back();
      } else {
        in_other_fence = true;
      }
      continue;
    }
    if (block == nullptr)
      continue;
    Exchange* last = block->exchanges.empty() ? nullptr : &block->exchanges.back();
    const bool answered = last != nullptr && (last->response || last->no_response);
    if (line.starts_with("> ")) {
      if (last != nullptr && !answered)
        error(last->line, "a request without its response or (no response)");
      Exchange exchange;
      exchange.line = number;
      exchange.request = line.substr(2);
      block->exchanges.push_back(std::move(exchange));
    } else if (line.starts_with("< ") || line == "(no response)") {
      if (last == nullptr || answered) {
        error(number, "an answer without its request");
      } else if (line.starts_with("< ")) {
        last->response = line.substr(2);
      } else {
        last->no_response = true;
      }
    } else if (line == "|" || line.starts_with("| ")) {
      const std::string text = line.size() > 1 ? line.substr(2) : std::string();
      if (!answered)
        error(number, "a log line before the answer");
      else if (last->log_entry)
        *last->log_entry += "\n" + text;
      else
        last->log_entry = text;
    } else {
      error(number, "not a line of an example: " + line);
    }
  }
  if (block != nullptr)
    error(block->line, "an example block is not closed");
  return document;
}

// Whether `actual` is `expected`, where "4321" after "\"pid\":" stands for any process id.
inline bool response_matches(std::string_view expected, std::string_view actual) {
  static constexpr std::string_view kPlaceholder = "\"pid\":4321";
  const std::size_t at = expected.find(kPlaceholder);
  if (at == std::string_view::npos)
    return expected == actual;
  const std::string_view before = expected.substr(0, at + 6);
  const std::string_view after = expected.substr(at + kPlaceholder.size());
  if (!actual.starts_with(before) || !actual.ends_with(after) ||
      actual.size() <= before.size() + after.size())
    return false;
  const std::string_view digits =
      actual.substr(before.size(), actual.size() - before.size() - after.size());
  if (digits[0] == '0')
    return false;
  for (const char c : digits) {
    if (c < '0' || c > '9')
      return false;
  }
  return true;
}

// The document as built beside the test programs (the tests run in that folder).
inline std::optional<std::string> read_document() {
  std::ifstream file("protocol.md", std::ios::binary);
  if (!file)
    return std::nullopt;
  std::ostringstream text;
  text << file.rdbuf();
  // A checkout with CRLF line ends holds the same document; the examples are read as LF lines.
  std::string document = text.str();
  std::string lines;
  lines.reserve(document.size());
  for (std::size_t i = 0; i < document.size(); ++i) {
    if (!(document[i] == '\r' && i + 1 < document.size() && document[i + 1] == '\n'))
      lines += document[i];
  }
  return lines;
}

}  // namespace corvid::test::protocol_doc
