// A tensor shape as log and error texts write it: "[3, 720, 416]".
#pragma once

#include <span>
#include <string>

namespace kinra2::base {

template <typename Int>
std::string shape_text(std::span<const Int> shape) {
  std::string out = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(shape[i]);
  }
  return out + "]";
}

template <typename Container>
std::string shape_text(const Container& shape) {
  return shape_text(std::span<const typename Container::value_type>(shape.data(), shape.size()));
}

}  // namespace kinra2::base
