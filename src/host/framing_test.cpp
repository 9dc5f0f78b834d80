#include "host/framing.h"

#include <gtest/gtest.h>

#include "fakes/fake_channel.h"

namespace tph {
namespace {

using testing::FakeChannel;
using testing::framed;

TEST(Framing, ReadsMessagesWhateverThePieceSize) {
  for (size_t piece : {size_t(1), size_t(3), size_t(7), SIZE_MAX}) {
    FakeChannel ch(framed("{\"a\":1}") + framed("[]"), piece);
    Result<std::optional<std::string>> a = read_message(ch);
    ASSERT_TRUE(a.ok() && a.value());
    EXPECT_EQ(*a.value(), "{\"a\":1}");
    EXPECT_EQ(read_message(ch).value(), std::optional<std::string>("[]"));
    Result<std::optional<std::string>> end = read_message(ch);
    ASSERT_TRUE(end.ok());
    EXPECT_FALSE(end.value()) << "the end of input";
  }
}

TEST(Framing, ReadFailures) {
  struct Case {
    std::string input;
    std::string message;
    size_t consumed;
  } cases[] = {
      {std::string("\x01", 1), "Cannot read native message: truncated native message length", 1},
      {std::string("\x01\x00\x00", 3), "Cannot read native message: truncated native message length", 3},
      {std::string("\x00\x00\x00\x00", 4), "Cannot read native message: native message length is outside the allowed range", 4},
      // 8 MiB + 1: refused before any body byte is read.
      {std::string("\x01\x00\x80\x00", 4) + "xxxx", "Cannot read native message: native message length is outside the allowed range", 4},
      {std::string("\x0a\x00\x00\x00", 4) + "123456789", "Cannot read native message: input ended inside a native message body", 13},
  };
  for (const auto& c : cases) {
    FakeChannel ch(c.input);
    Result<std::optional<std::string>> m = read_message(ch);
    ASSERT_FALSE(m.ok());
    EXPECT_STREQ(m.error().code_name(), "IO_ERROR");
    EXPECT_EQ(m.error().message, c.message);
    EXPECT_EQ(ch.consumed(), c.consumed);
  }
}

TEST(Framing, ReadsTheLargestAllowedMessage) {
  std::string body(kMaxRequestBytes, ' ');
  FakeChannel ch(std::string("\x00\x00\x80\x00", 4) + body);
  Result<std::optional<std::string>> m = read_message(ch);
  ASSERT_TRUE(m.ok() && m.value());
  EXPECT_EQ(m.value()->size(), kMaxRequestBytes);
}

TEST(Framing, WritesLittleEndianPrefix) {
  FakeChannel ch;
  ASSERT_TRUE(write_message(ch, std::string(300, 'x')).ok());
  EXPECT_EQ(ch.output.substr(0, 4), std::string("\x2c\x01\x00\x00", 4));
  EXPECT_EQ(ch.output.size(), 304u);
}

TEST(Framing, WriteFailureIsIoError) {
  FakeChannel ch;
  ch.fail_writes = true;
  Status s = write_message(ch, "{}");
  ASSERT_FALSE(s.ok());
  EXPECT_STREQ(s.error().code_name(), "IO_ERROR");
  EXPECT_EQ(s.error().message, "Cannot write native response: The pipe is being closed. (os error 232)");
}

}  // namespace
}  // namespace tph
