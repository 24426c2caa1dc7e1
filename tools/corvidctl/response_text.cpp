#include "response_text.h"

#include <cstdint>

#include <nlohmann/json.hpp>

namespace corvid::corvidctl {

namespace {

using nlohmann::json;

// A status's data: {"pid":N or null,"running":bool}.
std::optional<std::string> status_text(const json& data) {
  const json& running = data.at("running");
  if (!running.is_boolean())
    return std::nullopt;
  if (!running.get<bool>())
    return "core not running";
  const auto pid = data.find("pid");
  if (pid == data.end() || pid->is_null())
    return "core running";
  if (!pid->is_number_unsigned())
    return std::nullopt;
  return "core running, pid " + std::to_string(pid->get<std::uint64_t>());
}

std::optional<bool> ok_of(const json& response) {
  if (response.is_discarded() || !response.is_object())
    return std::nullopt;
  const auto ok = response.find("ok");
  if (ok == response.end() || !ok->is_boolean())
    return std::nullopt;
  return ok->get<bool>();
}

}  // namespace

std::optional<bool> response_ok(std::string_view response_line) {
  return ok_of(json::parse(response_line, nullptr, false));
}

std::optional<std::string> human_text(std::string_view response_line) {
  const json response = json::parse(response_line, nullptr, false);
  const std::optional<bool> ok = ok_of(response);
  if (!ok)
    return std::nullopt;
  if (!*ok) {
    const auto error = response.find("error");
    if (error == response.end() || !error->is_string())
      return std::nullopt;
    return error->get<std::string>();
  }
  const auto data = response.find("data");
  if (data != response.end() && data->is_object() && data->contains("running"))
    return status_text(*data);
  return "ok";
}

}  // namespace corvid::corvidctl
