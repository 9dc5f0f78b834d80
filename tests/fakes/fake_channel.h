#pragma once
// A native channel fed from a byte string, in pieces of a chosen size, that
// records what was written and can fail writes.

#include <algorithm>
#include <string>

#include "platform/channel.h"

namespace tph::testing {

class FakeChannel final : public Channel {
 public:
  explicit FakeChannel(std::string input = {}, size_t piece = SIZE_MAX) : input_(std::move(input)), piece_(piece) {}
  std::string output;
  bool fail_writes = false;
  int reads = 0;

  OsResult<size_t> read(uint8_t* buffer, size_t capacity) override {
    ++reads;
    size_t n = std::min({capacity, piece_, input_.size() - pos_});
    std::copy_n(input_.data() + pos_, n, buffer);
    pos_ += n;
    return n;
  }
  OsStatus write_all(const uint8_t* data, size_t size) override {
    if (fail_writes) return OsStatus::Fail(232, "The pipe is being closed. (os error 232)");
    output.append(reinterpret_cast<const char*>(data), size);
    return OsStatus::Ok();
  }
  OsStatus flush() override { return OsStatus::Ok(); }
  void write_diagnostic(std::string_view) override {}  // framing writes none
  size_t consumed() const { return pos_; }

 private:
  std::string input_;
  size_t piece_;
  size_t pos_ = 0;
};

inline std::string framed(const std::string& body) {
  const auto n = static_cast<uint32_t>(body.size());
  std::string s{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                static_cast<char>(n >> 24)};
  return s + body;
}

}  // namespace tph::testing
