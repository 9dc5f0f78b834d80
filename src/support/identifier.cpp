#include "support/identifier.h"

namespace tph {

bool is_valid_identifier(std::string_view value, size_t max_bytes) {
  if (value.empty() || value.size() > max_bytes) return false;
  for (char c : value) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
              c == '.' || c == ':' || c == '_';
    if (!ok) return false;
  }
  return true;
}

}  // namespace tph
