#include "image/json_array.hpp"

#include <cfloat>
#include <cmath>
#include <functional>

#include "base/shape_text.hpp"

namespace kinra2::image::detail {

namespace {

// How an offending element reads in a message. Only scalars are shown: the
// JSON writer recurses, so a deeply nested object would overflow the stack.
std::string element_text(const nlohmann::json& node) {
  if (node.is_structured()) return json_type_name(node);
  return json_type_name(node) + " " +
         clipped(node.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), 40);
}

// Checks one element and stores it; returns the refusal text, empty when fine.
using AcceptElement = std::function<std::string(const nlohmann::json&)>;

// Walks `value` depth first against the shape its first elements promise.
std::string read_array(const nlohmann::json& value, std::vector<std::size_t>& shape,
                       const AcceptElement& accept) {
  shape.clear();
  const nlohmann::json* v = &value;
  while (v->is_array()) {
    if (shape.size() == MAX_ARRAY_DIMS)
      return "more than " + std::to_string(MAX_ARRAY_DIMS) + " nested levels";
    shape.push_back(v->size());
    if (v->empty()) break;
    v = &(*v)[0];
  }
  std::vector<std::size_t> at;
  // Recursion depth is bounded by MAX_ARRAY_DIMS.
  auto walk = [&](auto&& self, const nlohmann::json& node) -> std::string {
    std::size_t d = at.size();
    if (d < shape.size()) {
      if (!node.is_array() || node.size() != shape[d])
        return "ragged nesting at " + base::shape_text(at) + ": expected a list of " +
               std::to_string(shape[d]) + " elements, got " +
               (node.is_array() ? std::to_string(node.size()) + " elements" : json_type_name(node));
      for (std::size_t i = 0; i < node.size(); ++i) {
        at.push_back(i);
        std::string e = self(self, node[i]);
        at.pop_back();
        if (!e.empty()) return e;
      }
      return {};
    }
    if (node.is_array())
      return "ragged nesting at " + base::shape_text(at) + ": a list where a number was expected";
    if (!node.is_number())
      return "element " + base::shape_text(at) + " is " + element_text(node) + ", not a number";
    std::string e = accept(node);
    if (!e.empty()) return "element " + base::shape_text(at) + " " + e;
    return {};
  };
  return walk(walk, value);
}

std::string accept_u8(const nlohmann::json& n, std::uint8_t& out) {
  double d = n.get<double>();
  if (n.is_number_integer() || n.is_number_unsigned()) {
    if (n.is_number_unsigned() ? n.get<std::uint64_t>() <= 255
                               : (n.get<std::int64_t>() >= 0 && n.get<std::int64_t>() <= 255)) {
      out = static_cast<std::uint8_t>(n.get<std::int64_t>());
      return {};
    }
  } else if (d >= 0.0 && d <= 255.0 && std::floor(d) == d) {
    out = static_cast<std::uint8_t>(d);
    return {};
  }
  return "= " + n.dump() + " is not an integer in 0..255";
}

std::string accept_f32(const nlohmann::json& n, float& out) {
  if (n.is_number_float()) {
    double d = n.get<double>();
    // Beyond the rounding midpoint above FLT_MAX a float32 would be infinite;
    // casting such a double is undefined, so it is refused first.
    if (!(std::fabs(d) < 0x1.ffffffp127)) return "= " + n.dump() + " is not a finite float32";
    out = std::fabs(d) > FLT_MAX ? std::copysign(FLT_MAX, static_cast<float>(d > 0 ? 1 : -1))
                                 : static_cast<float>(d);
  } else {
    out = n.is_number_unsigned() ? static_cast<float>(n.get<std::uint64_t>())
                                 : static_cast<float>(n.get<std::int64_t>());
  }
  return {};
}

template <typename T>
std::string read_typed(const nlohmann::json& value, std::vector<std::size_t>& shape,
                       std::vector<T>& values, std::string (*accept)(const nlohmann::json&, T&)) {
  values.clear();
  return read_array(value, shape, [&](const nlohmann::json& n) {
    T out{};
    std::string e = accept(n, out);
    if (e.empty()) values.push_back(out);
    return e;
  });
}

}  // namespace

std::string read_u8_array(const nlohmann::json& value, std::vector<std::size_t>& shape,
                          std::vector<std::uint8_t>& values) {
  return read_typed<std::uint8_t>(value, shape, values, accept_u8);
}

std::string read_f32_array(const nlohmann::json& value, std::vector<std::size_t>& shape,
                           std::vector<float>& values) {
  return read_typed<float>(value, shape, values, accept_f32);
}

std::string json_type_name(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::array: return "list";
    case nlohmann::json::value_t::string: return "str";
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned: return "int";
    case nlohmann::json::value_t::number_float: return "float";
    case nlohmann::json::value_t::boolean: return "bool";
    case nlohmann::json::value_t::null: return "NoneType";
    case nlohmann::json::value_t::object: return "dict";
    default: return "bytes";
  }
}

std::string tuple_text(const std::vector<std::size_t>& shape) {
  std::string s = "(";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(shape[i]);
  }
  if (shape.size() == 1) s += ",";
  return s + ")";
}

std::string clipped(std::string text, std::size_t max) {
  if (text.size() <= max) return text;
  std::size_t cut = max;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  text.resize(cut);
  return text + "...";
}

}  // namespace kinra2::image::detail
