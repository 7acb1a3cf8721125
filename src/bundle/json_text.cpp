#include "bundle/json_text.hpp"

#include <nlohmann/json.hpp>

#include <string>

namespace kinra2::bundle {

nlohmann::json parse_json_text(std::string_view text) {
  using nlohmann::json;
  if (text.starts_with("\xEF\xBB\xBF"))
    throw json::parse_error::create(
        101, 1, "syntax error while parsing value - a UTF-8 byte-order mark is no JSON text",
        nullptr);
  json value = json::parse(text.begin(), text.end());
  // A NUL inside or before the value is refused by the reader; one that it
  // accepted can only follow the value, with whatever comes after it unread.
  if (const auto nul = text.find('\0'); nul != std::string_view::npos)
    throw json::parse_error::create(
        101, nul + 1,
        "syntax error while parsing value - unexpected NUL byte; expected end of input", nullptr);
  return value;
}

}  // namespace kinra2::bundle
