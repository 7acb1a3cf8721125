// The digest from libcrypto.
#include "base/sha256.hpp"

#include <openssl/evp.h>

#include <stdexcept>

namespace kinra2::base {

struct Sha256::Ctx {
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  ~Ctx() { EVP_MD_CTX_free(md); }
};

Sha256::Sha256() : ctx_(std::make_unique<Ctx>()) {
  if (ctx_->md == nullptr || EVP_DigestInit_ex(ctx_->md, EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("SHA-256 digest failed");
}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t n) {
  if (EVP_DigestUpdate(ctx_->md, data, n) != 1) throw std::runtime_error("SHA-256 digest failed");
}

std::string Sha256::hex_digest() {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx_->md, md, &len) != 1)
    throw std::runtime_error("SHA-256 digest failed");
  return hex({md, len});
}

}  // namespace kinra2::base
