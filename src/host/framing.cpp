#include "host/framing.h"

#include "support/error_catalogue.h"

namespace tph {
namespace {

HostError read_failure(std::string_view description) {
  return errors::with_description(errors::kIoError, errors::kPfxReadMessage, description);
}

}  // namespace

Result<std::optional<std::string>> read_message(Channel& channel) {
  uint8_t prefix[4];
  size_t have = 0;
  while (have < sizeof prefix) {
    OsResult<size_t> r = channel.read(prefix + have, sizeof prefix - have);
    if (!r.ok()) return read_failure(r.error().description);
    if (r.value() == 0) {
      if (have == 0) return std::optional<std::string>();  // the end of input
      return read_failure("truncated native message length");
    }
    have += r.value();
  }
  const uint32_t length = static_cast<uint32_t>(prefix[0]) | static_cast<uint32_t>(prefix[1]) << 8 |
                          static_cast<uint32_t>(prefix[2]) << 16 | static_cast<uint32_t>(prefix[3]) << 24;
  if (length == 0 || length > kMaxRequestBytes) {
    return read_failure("native message length is outside the allowed range");
  }
  std::string body;
  body.resize(length);  // exactly the announced size, once
  size_t got = 0;
  while (got < length) {
    OsResult<size_t> r = channel.read(reinterpret_cast<uint8_t*>(body.data()) + got, length - got);
    if (!r.ok()) return read_failure(r.error().description);
    if (r.value() == 0) return read_failure("input ended inside a native message body");
    got += r.value();
  }
  return std::optional<std::string>(std::move(body));
}

Status write_message(Channel& channel, std::string_view body) {
  using namespace errors;
  if (body.size() > 0xFFFFFFFFull) return with_description(kIoError, kPfxWriteMessage, "response too large");
  const auto n = static_cast<uint32_t>(body.size());
  const uint8_t prefix[4] = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16),
                             static_cast<uint8_t>(n >> 24)};
  if (OsStatus s = channel.write_all(prefix, sizeof prefix); !s.ok()) {
    return with_description(kIoError, kPfxWriteMessage, s.error().description);
  }
  if (OsStatus s = channel.write_all(reinterpret_cast<const uint8_t*>(body.data()), body.size()); !s.ok()) {
    return with_description(kIoError, kPfxWriteMessage, s.error().description);
  }
  if (OsStatus s = channel.flush(); !s.ok()) return with_description(kIoError, kPfxWriteMessage, s.error().description);
  return Status::Ok();
}

}  // namespace tph
