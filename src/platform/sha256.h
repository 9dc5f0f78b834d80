#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/os_status.h"

namespace tph {

// Incremental SHA-256 from the platform's cryptography library. Any failure
// of the library (setting up, hashing or finishing) makes finish() answer
// a failure: a digest that was not computed must never stand for a label.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(const void* data, size_t size);
  OsResult<std::array<uint8_t, 32>> finish();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  bool failed_ = false;
};

}  // namespace tph
