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

// An owner's data: null, or {"privileged":bool,"session":N or null,"sid":"S-..."}.
std::optional<std::string> owner_of(const json& owner) {
  if (owner.is_null())
    return "no one";
  if (!owner.is_object())
    return std::nullopt;
  const auto sid = owner.find("sid");
  const auto privileged = owner.find("privileged");
  if (sid == owner.end() || !sid->is_string() || privileged == owner.end() ||
      !privileged->is_boolean())
    return std::nullopt;
  if (privileged->get<bool>())
    return "an administrator (" + sid->get<std::string>() + ")";
  const auto session = owner.find("session");
  if (session == owner.end() || session->is_null())
    return sid->get<std::string>();
  if (!session->is_number_unsigned())
    return std::nullopt;
  return sid->get<std::string>() + " (session " + std::to_string(session->get<std::uint64_t>()) +
         ")";
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
  if (data != response.end() && data->is_object() && data->contains("owner")) {
    const std::optional<std::string> owner = owner_of(data->at("owner"));
    if (!owner)
      return std::nullopt;
    return "core owned by " + *owner;
  }
  return "ok";
}

namespace {

// The owner member of an "owner" answer; discarded when the line is no such answer.
json owner_member(std::string_view owner_response_line) {
  const json response = json::parse(owner_response_line, nullptr, false);
  if (ok_of(response) != true)
    return json::value_t::discarded;
  const auto data = response.find("data");
  if (data == response.end() || !data->is_object() || !data->contains("owner"))
    return json::value_t::discarded;
  return data->at("owner");
}

}  // namespace

std::optional<bool> status_running(std::string_view status_response_line) {
  const json response = json::parse(status_response_line, nullptr, false);
  if (ok_of(response) != true)
    return std::nullopt;
  const auto data = response.find("data");
  if (data == response.end() || !data->is_object())
    return std::nullopt;
  const auto running = data->find("running");
  if (running == data->end() || !running->is_boolean())
    return std::nullopt;
  return running->get<bool>();
}

std::optional<std::string> owner_text(std::string_view owner_response_line) {
  const json owner = owner_member(owner_response_line);
  if (owner.is_discarded())
    return std::nullopt;
  return owner_of(owner);
}

std::string status_with_owner(std::string status_words, std::string_view owner_response_line) {
  const json owner = owner_member(owner_response_line);
  if (owner.is_object()) {
    if (const std::optional<std::string> words = owner_of(owner))
      status_words += ", owned by " + *words;
  }
  return status_words;
}

}  // namespace corvid::corvidctl
