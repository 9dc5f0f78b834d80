#include <windows.h>
#include <bcrypt.h>

#include "platform/sha256.h"

namespace tph {

struct Sha256::Impl {
  BCRYPT_ALG_HANDLE alg = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~Impl() {
    if (hash) BCryptDestroyHash(hash);
    if (alg) BCryptCloseAlgorithmProvider(alg, 0);
  }
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
  failed_ = BCryptOpenAlgorithmProvider(&impl_->alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0 ||
            BCryptCreateHash(impl_->alg, &impl_->hash, nullptr, 0, nullptr, 0, 0) != 0;
}
Sha256::~Sha256() = default;

void Sha256::update(const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    ULONG chunk = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
    if (failed_ || BCryptHashData(impl_->hash, const_cast<PUCHAR>(p), chunk, 0) != 0) {
      failed_ = true;
      return;
    }
    p += chunk;
    size -= chunk;
  }
}

OsResult<std::array<uint8_t, 32>> Sha256::finish() {
  std::array<uint8_t, 32> digest{};
  if (failed_ || BCryptFinishHash(impl_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0) != 0) {
    failed_ = true;
    return OsStatus::Fail(0, "the SHA-256 digest could not be computed");
  }
  failed_ = true;  // finished: a later update or finish is a misuse
  return digest;
}

}  // namespace tph
