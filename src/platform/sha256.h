#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace tph {

// Incremental SHA-256 from the platform's cryptography library.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(const void* data, size_t size);
  std::array<uint8_t, 32> finish();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tph
