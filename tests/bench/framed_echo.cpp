// The baseline for the round-trip benchmark: a process that reads framed
// messages and answers each with a fixed framed reply, doing nothing else.
#include <unistd.h>

#include <cstdint>
#include <string>

#include "support/version.h"

static bool read_all(void* p, size_t n) {
  auto* b = static_cast<char*>(p);
  while (n > 0) {
    ssize_t r = read(0, b, n);
    if (r <= 0) return false;
    b += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

int main() {
  const std::string reply =
      R"({"protocol":1,"request_id":"r1","ok":true,"result":{"arch":"x86_64","capabilities":[],"platform":"linux","protocol":1,"version":")" + std::string(tph::kHostVersion) + R"("}})";
  uint32_t n = 0;
  std::string body;
  while (read_all(&n, 4)) {
    body.resize(n);
    if (!read_all(body.data(), n)) return 1;
    uint32_t m = static_cast<uint32_t>(reply.size());
    std::string out(reinterpret_cast<char*>(&m), 4);
    out += reply;
    if (write(1, out.data(), out.size()) != static_cast<ssize_t>(out.size())) return 1;
  }
  return 0;
}
