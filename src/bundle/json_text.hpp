// The bundle's declarations (manifest.json, color.json) read as JSON text:
// UTF-8 holding one JSON value and nothing else.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <string_view>

namespace kinra2::bundle {

// Parses `text` as one JSON value. Throws nlohmann::json::parse_error for
// whatever the reader refuses, and also for the two things it would let
// through: a UTF-8 byte-order mark at the start (it skips one) and a NUL byte
// after the value (it takes one for the end of its input).
nlohmann::json parse_json_text(std::string_view text);

}  // namespace kinra2::bundle
