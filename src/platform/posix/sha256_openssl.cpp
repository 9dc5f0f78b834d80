#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "platform/sha256.h"

namespace tph {

struct Sha256::Impl {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  ~Impl() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256() {
  // A digest needs no configuration: OpenSSL is started without reading its
  // configuration file, which a host started for one message would otherwise
  // read and parse before its first hash.
  static const bool started = OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) == 1;
  impl_ = std::make_unique<Impl>();
  failed_ = !started || !impl_->ctx || EVP_DigestInit_ex(impl_->ctx, EVP_sha256(), nullptr) != 1;
}
Sha256::~Sha256() = default;

void Sha256::update(const void* data, size_t size) {
  if (failed_ || EVP_DigestUpdate(impl_->ctx, data, size) != 1) failed_ = true;
}

OsResult<std::array<uint8_t, 32>> Sha256::finish() {
  std::array<uint8_t, 32> digest{};
  unsigned int length = 0;
  if (failed_ || EVP_DigestFinal_ex(impl_->ctx, digest.data(), &length) != 1 || length != digest.size()) {
    failed_ = true;
    return OsStatus::Fail(0, "the SHA-256 digest could not be computed");
  }
  failed_ = true;  // finished: a later update or finish is a misuse
  return digest;
}

}  // namespace tph
