// SHA-256 digests as lowercase hexadecimal text: from libcrypto on Linux
// (sha256_posix.cpp), from the platform's BCrypt on Windows (sha256_win.cpp).
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace kinra2::base {

// Lowercase hexadecimal text of raw bytes.
std::string hex(std::span<const unsigned char> bytes);

// An incremental digest: update() as data arrives, then hex_digest() once.
// Throws std::runtime_error when the digest provider fails.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(const void* data, std::size_t n);
  std::string hex_digest();

 private:
  struct Ctx;
  std::unique_ptr<Ctx> ctx_;
};

std::string sha256_hex(std::string_view bytes);

}  // namespace kinra2::base
