#include "base/sha256.hpp"

namespace kinra2::base {

std::string hex(std::span<const unsigned char> bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * bytes.size());
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::string sha256_hex(std::string_view bytes) {
  Sha256 d;
  d.update(bytes.data(), bytes.size());
  return d.hex_digest();
}

}  // namespace kinra2::base
