#pragma once
#include <cstdint>

namespace tph {

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
inline constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;

// Milliseconds since the Unix epoch from a file time (100 ns units since
// 1601-01-01); 0 for a clock set before 1970.
constexpr uint64_t now_ms_from_file_time(uint64_t file_time) {
  return file_time < kUnixEpochAsFileTime ? 0 : (file_time - kUnixEpochAsFileTime) / 10000;
}


}  // namespace tph
