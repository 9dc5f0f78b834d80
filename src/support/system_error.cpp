#include "support/system_error.h"

namespace tph {

std::string format_system_error_description(uint32_t code, std::optional<std::string_view> system_text,
                                            uint32_t formatter_error) {
  if (!system_text) {
    return "OS Error " + std::to_string(code) + " (FormatMessageW() returned error " +
           std::to_string(formatter_error) + ")";
  }
  std::string_view text = *system_text;
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n' || text.back() == '\v' || text.back() == '\f')) {
    text.remove_suffix(1);
  }
  std::string out(text);
  out += " (os error ";
  out += std::to_string(code);
  out += ')';
  return out;
}

}  // namespace tph
