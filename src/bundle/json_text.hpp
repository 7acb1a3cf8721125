// The bundle's declarations (manifest.json, color.json) read as JSON text:
// UTF-8 holding one JSON value and nothing else.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <string>
#include <string_view>

namespace kinra2::bundle {

// Parses `text` as one JSON value. Throws nlohmann::json::parse_error for
// whatever the reader refuses, and also for the two things it would let
// through: a UTF-8 byte-order mark at the start (it skips one) and a NUL byte
// after the value (it takes one for the end of its input).
nlohmann::json parse_json_text(std::string_view text);

// The bytes of a declaration file. Only a regular file is read: a FIFO named
// manifest.json would block for good, and a device could feed bytes until
// memory runs out. Throws std::system_error when it cannot be opened or read,
// std::runtime_error when it is not a regular file.
std::string read_regular_file(const std::string& path);

}  // namespace kinra2::bundle
