#pragma once
// The request and response records of the pipe and their JSON form.

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/error.h"

namespace corvid {

struct Request {
  std::optional<std::string> id = std::nullopt;
  std::optional<std::string> action = std::nullopt;
  std::optional<std::string> config = std::nullopt;
  std::optional<std::string> work_dir = std::nullopt;
  std::optional<std::string> core_path = std::nullopt;
  std::optional<std::string> config_path = std::nullopt;
  std::optional<std::string> log_path = std::nullopt;

  bool operator==(const Request&) const = default;
};

struct Response {
  std::optional<std::string> id;
  bool ok = false;
  std::optional<std::string> error;
  std::optional<nlohmann::json> data;  // objects keep their keys in ascending byte order
};

// The bytes of one request line, without its line feed.
Result<Request> parse_request(std::string_view line);

// A request line as a client sends it: compact JSON with the present fields in ascending key
// order, and a line feed. Fails for a field that is not valid UTF-8, which JSON can't carry.
Result<std::string> encode_request(const Request& request);

// Compact JSON and one line feed.
Result<std::string> encode_response(const Response& response);

}  // namespace corvid
