// Parts of the colour correction that only its tests reach.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "image/color_correct.hpp"

namespace kinra2::image {

// An already parsed JSON value.
ColorOutcome parse_color_correct_value(const nlohmann::json& value, std::string_view source = {});

namespace detail {
// Reads KINRA2_COLOR_CORRECT now; only "0", "false", "no", "off" (any case,
// surrounding blanks) switch the correction off.
bool color_enabled();
// Shortest text that reads back as the same float32, Python style: "1.0",
// "0.98", "-2.5", "1e-05", "1e+20".
std::string float_repr(float v);
}  // namespace detail

}  // namespace kinra2::image
