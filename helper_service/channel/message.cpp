// The encoders of the pipe's records: a request line as a client writes it, from the request's
// schema, and the response line. The request line is read by request_scanner.cpp.
#include "channel/message.h"

#include <exception>
#include <optional>
#include <string>

#include "channel/request_schema.h"
#include "common/utf.h"

namespace corvid {

namespace {
using nlohmann::json;
}  // namespace

Result<std::string> encode_request(const Request& request) {
  try {
    // dump() writes an object's keys in ascending byte order.
    json object = json::object();
    for (const RequestField& field : kRequestFields) {
      const std::optional<std::string>& value = request.*field.member;
      if (!value)
        continue;
      if (find_utf8_fault(*value))
        return std::unexpected(
            Error("the " + std::string(field.name) + " value is not valid UTF-8"));
      object[std::string(field.name)] = *value;
    }
    return object.dump() + "\n";
  } catch (const std::exception& error) {
    return std::unexpected(Error("request not encodable", error.what()));
  }
}

Result<std::string> encode_response(const Response& response) {
  try {
    // The members in this order, always all four; dump() writes the string escapes and the
    // object keys in ascending byte order.
    std::string out = "{\"id\":";
    out += response.id ? json(*response.id).dump() : "null";
    out += ",\"ok\":";
    out += response.ok ? "true" : "false";
    out += ",\"error\":";
    out += response.error ? json(*response.error).dump() : "null";
    out += ",\"data\":";
    out += response.data ? response.data->dump() : "null";
    out += "}\n";
    return out;
  } catch (const std::exception& error) {
    return std::unexpected(Error("response not encodable", error.what()));
  }
}

}  // namespace corvid
