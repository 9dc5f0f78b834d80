#include "support/identifier.h"

namespace tph {

bool is_token(std::string_view value, size_t max_bytes, std::string_view punctuation) {
  if (value.empty() || value.size() > max_bytes) return false;
  for (char c : value) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    (c != '\0' && punctuation.find(c) != std::string_view::npos);
    if (!ok) return false;
  }
  return true;
}

}  // namespace tph
