#pragma once
// The request's schema: its fields, in declaration order, which is the order of the positional
// form. One table drives both the scanner (request_scanner.cpp) and the encoder (message.cpp).

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "channel/message.h"

namespace corvid {

struct RequestField {
  std::string_view name;
  std::optional<std::string> Request::*member;
};

inline constexpr std::array<RequestField, 7> kRequestFields = {{
    {"id", &Request::id},
    {"action", &Request::action},
    {"config", &Request::config},
    {"work_dir", &Request::work_dir},
    {"core_path", &Request::core_path},
    {"config_path", &Request::config_path},
    {"log_path", &Request::log_path},
}};

}  // namespace corvid
