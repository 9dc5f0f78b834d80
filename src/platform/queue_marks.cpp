#include "platform/queue_marks.h"

#include <algorithm>
#include <cctype>

namespace tph {
namespace {

std::string lowered(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

bool is_separator(char c) { return c == ' ' || c == '\t' || c == ',' || c == ';' || c == '[' || c == ']' || c == '(' || c == ')'; }

}  // namespace

std::string marked_status_language(std::string_view description) {
  size_t i = 0;
  while (i < description.size()) {
    while (i < description.size() && is_separator(description[i])) ++i;
    size_t end = i;
    while (end < description.size() && !is_separator(description[end])) ++end;
    const std::string word = lowered(description.substr(i, end - i));
    if (word == "language=zpl") return "zpl";
    if (word == "language=escpos" || word == "language=esc/pos") return "escpos";
    i = end;
  }
  return "";
}

std::optional<DeviceAddress> socket_device(std::string_view uri) {
  constexpr std::string_view kScheme = "socket://";
  if (uri.size() < kScheme.size() || lowered(uri.substr(0, kScheme.size())) != kScheme) return std::nullopt;
  std::string_view rest = uri.substr(kScheme.size());
  rest = rest.substr(0, rest.find_first_of("/?#"));
  DeviceAddress address;
  std::string_view port_text;
  const bool bracketed = !rest.empty() && rest.front() == '[';
  if (bracketed) {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    address.host = std::string(rest.substr(1, close - 1));
    std::string_view after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      port_text = after.substr(1);
      if (port_text.empty()) return std::nullopt;
    }
  } else {
    const size_t colon = rest.rfind(':');
    address.host = std::string(rest.substr(0, colon));
    if (colon != std::string_view::npos) {
      port_text = rest.substr(colon + 1);
      if (port_text.empty()) return std::nullopt;
    }
  }
  if (address.host.empty() || address.host.find_first_of(bracketed ? "@% []" : "@:% []") != std::string::npos) {
    return std::nullopt;
  }
  if (!port_text.empty()) {
    if (port_text.size() > 5) return std::nullopt;
    unsigned value = 0;
    for (char c : port_text) {
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) return std::nullopt;
    address.port = static_cast<uint16_t>(value);
  }
  return address;
}

void settle_reasons(std::vector<std::string>& reasons) {
  std::sort(reasons.begin(), reasons.end());
  reasons.erase(std::unique(reasons.begin(), reasons.end()), reasons.end());
}

}  // namespace tph
