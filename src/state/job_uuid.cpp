#include "state/job_uuid.h"

#include <cstdio>

namespace tph {
namespace {

uint64_t fnv1a(uint64_t h, std::string_view bytes) {
  for (char c : bytes) {
    h ^= static_cast<uint8_t>(c);
    h *= 0x100000001b3ull;
  }
  return h;
}

}  // namespace

std::string attempt_job_uuid(std::string_view intent_id, uint64_t created_at_ms) {
  // Two independent 64-bit hashes of the same bytes: a collision with a
  // print system's random uuid is out of reach, and no library can fail.
  std::string bytes(intent_id);
  bytes += '\n';
  bytes += std::to_string(created_at_ms);
  uint64_t high = fnv1a(0xcbf29ce484222325ull, bytes);
  uint64_t low = fnv1a(0x84222325cbf29ce4ull, "tavelin-attempt\n" + bytes);
  // RFC 9562's layout: version 8 (vendor-defined), variant 10.
  high = (high & ~0xF000ull) | 0x8000ull;
  low = (low & ~(0xC000ull << 48)) | (0x8000ull << 48);
  char text[64];
  std::snprintf(text, sizeof text, "urn:uuid:%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(high >> 32),
                static_cast<unsigned>((high >> 16) & 0xFFFF), static_cast<unsigned>(high & 0xFFFF),
                static_cast<unsigned>(low >> 48), static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull));
  return text;
}

}  // namespace tph
