#include <openssl/evp.h>

#include "platform/sha256.h"

namespace tph {

struct Sha256::Impl {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  ~Impl() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) { EVP_DigestInit_ex(impl_->ctx, EVP_sha256(), nullptr); }
Sha256::~Sha256() = default;

void Sha256::update(const void* data, size_t size) { EVP_DigestUpdate(impl_->ctx, data, size); }

std::array<uint8_t, 32> Sha256::finish() {
  std::array<uint8_t, 32> digest{};
  unsigned int length = 0;
  EVP_DigestFinal_ex(impl_->ctx, digest.data(), &length);
  return digest;
}

}  // namespace tph
