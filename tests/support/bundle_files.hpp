// Files of hand-made bundles: members, canon latents and IMX containers,
// including containers whose table lies.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace k2test {

inline void write_file(const std::filesystem::path& p, const std::string& bytes) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream o(p, std::ios::binary | std::ios::trunc);
  o.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A canon latent of `floats` little-endian float32 values.
inline std::string canon_bytes(std::size_t floats = 16 * 4680) {
  std::string s(floats * 4, '\0');
  for (std::size_t i = 0; i < floats; ++i) {
    float f = static_cast<float>(i % 97) * 0.25f;
    std::memcpy(s.data() + 4 * i, &f, 4);
  }
  return s;
}

struct RawEntry {
  std::string name;
  std::uint64_t offset;
  std::uint64_t size;
};

inline void put16(std::string& s, std::uint64_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>((v >> 8) & 0xFF);
}
inline void put64(std::string& s, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// An IMX header and table with arbitrary (possibly lying) entries.
inline std::string imx_header(const std::vector<RawEntry>& entries, std::uint16_t count,
                              std::uint16_t rev = 1) {
  std::string s("IMX\0", 4);
  put16(s, rev);
  put16(s, count);
  for (const auto& e : entries) {
    put16(s, e.name.size());
    s += e.name;
    put64(s, e.offset);
    put64(s, e.size);
  }
  return s;
}

// A well-formed IMX container of (name, data) members in the given order.
inline std::string imx_of(const std::vector<std::pair<std::string, std::string>>& members) {
  std::uint64_t off = 8;
  for (const auto& [n, d] : members) off += 2 + n.size() + 16;
  std::vector<RawEntry> toc;
  std::string body;
  for (const auto& [n, d] : members) {
    toc.push_back({n, off + body.size(), d.size()});
    body += d;
  }
  return imx_header(toc, static_cast<std::uint16_t>(toc.size())) + body;
}

}  // namespace k2test
