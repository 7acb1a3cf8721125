// The digest from the platform's own cryptography (BCrypt), so the Windows
// build needs no crypto library of its own.
#include "base/sha256.hpp"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace kinra2::base {

namespace {
[[noreturn]] void fail() { throw std::runtime_error("SHA-256 digest failed"); }
bool ok(NTSTATUS s) { return s >= 0; }
}  // namespace

struct Sha256::Ctx {
  BCRYPT_ALG_HANDLE alg = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~Ctx() {
    if (hash) BCryptDestroyHash(hash);
    if (alg) BCryptCloseAlgorithmProvider(alg, 0);
  }
};

Sha256::Sha256() : ctx_(std::make_unique<Ctx>()) {
  if (!ok(BCryptOpenAlgorithmProvider(&ctx_->alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
      !ok(BCryptCreateHash(ctx_->alg, &ctx_->hash, nullptr, 0, nullptr, 0, 0)))
    fail();
}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t n) {
  auto* p = static_cast<unsigned char*>(const_cast<void*>(data));  // BCrypt only reads it
  while (n > 0) {
    const ULONG step = static_cast<ULONG>(std::min<std::size_t>(n, std::numeric_limits<ULONG>::max()));
    if (!ok(BCryptHashData(ctx_->hash, p, step, 0))) fail();
    p += step;
    n -= step;
  }
}

std::string Sha256::hex_digest() {
  unsigned char md[32];
  if (!ok(BCryptFinishHash(ctx_->hash, md, sizeof md, 0))) fail();
  return hex({md, sizeof md});
}

}  // namespace kinra2::base
