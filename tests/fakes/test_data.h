#pragma once
// The committed test images (tests/data) and base64 for building requests.

#include <fstream>
#include <sstream>
#include <string>

namespace tph::testing {

inline std::string read_data(const std::string& name) {
  std::ifstream f(std::string(TPH_TEST_DATA) + "/" + name, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

inline std::string encode_base64(const std::string& bytes) {
  static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    uint32_t v = uint8_t(bytes[i]) << 16 | uint8_t(bytes[i + 1]) << 8 | uint8_t(bytes[i + 2]);
    out += {a[v >> 18], a[(v >> 12) & 63], a[(v >> 6) & 63], a[v & 63]};
  }
  if (bytes.size() - i == 1) {
    uint32_t v = uint8_t(bytes[i]) << 16;
    out += {a[v >> 18], a[(v >> 12) & 63], '=', '='};
  } else if (bytes.size() - i == 2) {
    uint32_t v = uint8_t(bytes[i]) << 16 | uint8_t(bytes[i + 1]) << 8;
    out += {a[v >> 18], a[(v >> 12) & 63], a[(v >> 6) & 63], '='};
  }
  return out;
}

}  // namespace tph::testing
