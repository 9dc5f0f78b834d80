// The reader of standard input on its own thread: a wait with a limit ends
// with nothing and the same read goes on; messages come whole and in order;
// the end and a broken frame are told once.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>

#include "host/inbox.h"

namespace tph {
namespace {

using namespace std::chrono_literals;

// Standard input the test feeds a piece at a time; a read waits for one.
class FedChannel final : public Channel {
 public:
  void feed(std::string bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_ += bytes;
    changed_.notify_all();
  }
  void close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    changed_.notify_all();
  }
  OsResult<size_t> read(uint8_t* buffer, size_t capacity) override {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !pending_.empty() || closed_; });
    const size_t n = std::min(capacity, pending_.size());
    std::memcpy(buffer, pending_.data(), n);
    pending_.erase(0, n);
    return n;
  }
  OsStatus write_all(const uint8_t*, size_t) override { return OsStatus::Ok(); }
  OsStatus flush() override { return OsStatus::Ok(); }
  void write_diagnostic(std::string_view) override {}

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string pending_;
  bool closed_ = false;
};

std::string framed(const std::string& body) {
  const auto n = static_cast<uint32_t>(body.size());
  std::string f = {static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16), static_cast<char>(n >> 24)};
  return f + body;
}

TEST(Inbox, TimedWaitsMessagesInOrderAndTheEnd) {
  static FedChannel channel;  // outlives a reader left waiting
  Inbox inbox(channel);
  EXPECT_FALSE(inbox.next(20ms)) << "nothing came: the wait ends with nothing";
  // A message cut in two across a timed wait still comes whole.
  const std::string first = framed("{\"a\":1}");
  channel.feed(first.substr(0, 6));
  EXPECT_FALSE(inbox.next(20ms));
  channel.feed(first.substr(6) + framed("[2]"));
  std::optional<Inbox::Message> m = inbox.next(std::nullopt);
  ASSERT_TRUE(m && m->ok() && m->value());
  EXPECT_EQ(*m->value(), "{\"a\":1}");
  m = inbox.next(1000ms);
  ASSERT_TRUE(m && m->ok() && m->value());
  EXPECT_EQ(*m->value(), "[2]");
  channel.close();
  m = inbox.next(std::nullopt);
  ASSERT_TRUE(m && m->ok());
  EXPECT_FALSE(m->value()) << "the end of input";
}

TEST(Inbox, ABrokenFrameIsAFailureNotAMessage) {
  static FedChannel channel;
  Inbox inbox(channel);
  channel.feed(std::string("\x05\x00\x00\x00{}", 6));
  channel.close();
  std::optional<Inbox::Message> m = inbox.next(1000ms);
  ASSERT_TRUE(m);
  EXPECT_FALSE(m->ok());
  EXPECT_STREQ(m->error().code_name(), "IO_ERROR");
}

}  // namespace
}  // namespace tph
