// Reading a JSON value as a rectangular n-dimensional array of numbers, with
// refusal texts that name the offending element. Module-private: the colour
// correction parser and its tests use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kinra2::image::detail {

// Deeper nesting than any sane table is refused before it costs recursion.
inline constexpr std::size_t MAX_ARRAY_DIMS = 32;

// The shape is that of a nested list read as an n-dimensional array: a bare
// number has shape (), [] has shape (0,). `values` holds the elements in row
// order. Each returns the refusal text, empty when the value is accepted.
std::string read_u8_array(const nlohmann::json& value, std::vector<std::size_t>& shape,
                          std::vector<std::uint8_t>& values);
std::string read_f32_array(const nlohmann::json& value, std::vector<std::size_t>& shape,
                           std::vector<float>& values);

// The name a Python reader of the same text would give the value's type.
std::string json_type_name(const nlohmann::json& value);

// A shape as a Python tuple reads: "(3, 256)", "(3,)", "()".
std::string tuple_text(const std::vector<std::size_t>& shape);

// Cuts a description meant for one log line to `max` bytes, at a UTF-8
// character boundary.
std::string clipped(std::string text, std::size_t max = 160);

}  // namespace kinra2::image::detail
