#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace tph {

// Incremental SHA-256 from the platform's cryptography library. Any failure
// of the library (setting up, hashing or finishing) makes finish() answer
// nothing: a digest that was not computed must never stand for a label.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(const void* data, size_t size);
  std::optional<std::array<uint8_t, 32>> finish();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  bool failed_ = false;
};

}  // namespace tph
