#include "channel/dispatch.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <string_view>

namespace corvid {

namespace {

nlohmann::json status_data(const CoreStatus& status) {
  nlohmann::json data = nlohmann::json::object();
  data["running"] = status.running;
  data["pid"] = status.pid ? nlohmann::json(static_cast<std::uint64_t>(*status.pid))
                           : nlohmann::json(nullptr);
  return data;
}

// Who the core belongs to, for corvidctl: null when no one owns it.
nlohmann::json owner_data(const std::optional<CoreOwner>& owner) {
  nlohmann::json data = nlohmann::json::object();
  data["owner"] = nullptr;
  if (owner) {
    data["owner"] = nlohmann::json::object();
    data["owner"]["privileged"] = owner->privileged;
    data["owner"]["session"] = owner->session_id
                                   ? nlohmann::json(static_cast<std::uint64_t>(*owner->session_id))
                                   : nlohmann::json(nullptr);
    data["owner"]["sid"] =
        owner->user_sid.empty() ? nlohmann::json(nullptr) : nlohmann::json(owner->user_sid);
  }
  return data;
}

// A start takes the request's paths and configuration text.
StartOptions start_options(const Request& request) {
  return {
      .work_dir = request.work_dir,
      .core_path = request.core_path,
      .config_path = request.config_path,
      .log_path = request.log_path,
      .config = request.config,
  };
}

void run_action(const Request& request, CoreState& state, const Caller& caller,
                Response& response) {
  // Whole-string, case-sensitive: " ping" and "PING" are unknown.
  const std::string_view action = request.action ? std::string_view(*request.action) : "";
  if (action == "status") {
    response.data = status_data(query_core_status(state));
    response.ok = true;
  } else if (action == "start") {
    const Result<void> started = start_core(state, start_options(request), caller);
    response.ok = started.has_value();
    if (!started)
      response.error = short_text(started.error());
  } else if (action == "ping") {
    response.data = nlohmann::json{{"pong", true}};
    response.ok = true;
  } else if (action == "stop") {
    const Result<void> stopped = stop_core(state, caller);
    response.ok = stopped.has_value();
    if (!stopped)
      response.error = short_text(stopped.error());
  } else if (action == "owner") {
    response.data = owner_data(query_core_owner(state));
    response.ok = true;
  } else {
    response.error = "unknown action";
  }
}

}  // namespace

Response dispatch_request(const Request& request, CoreState& state, const Caller& caller) {
  Response response;
  // Every parsed request is answered: an exception from below becomes a failed response.
  try {
    response.id = request.id;
    run_action(request, state, caller, response);
  } catch (const std::exception& error) {
    response.ok = false;
    response.error = error.what();
    response.data.reset();
  } catch (...) {
    response.ok = false;
    response.error = "unexpected failure";
    response.data.reset();
  }
  return response;
}

}  // namespace corvid
