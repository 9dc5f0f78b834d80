#include "support/strict_json.h"

#include <set>

namespace tph {
namespace {

// Depth of the deepest array or object, stopping as soon as it exceeds
// `limit`. A cheap scan before the real parse, so an input of millions of
// opening brackets costs nothing more than one pass. Exact for valid JSON; for
// invalid JSON the real parse fails anyway.
bool nesting_within(std::string_view s, int limit) {
  int depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

struct Frame {
  bool is_object;
  std::string path;
  std::string key;
  size_t index = 0;
  std::set<std::string> keys;
};

}  // namespace

bool StrictJson::has_duplicate(std::string_view object_path, std::string_view key) const {
  for (const auto& d : duplicates) {
    if (d.object_path == object_path && d.key == key) return true;
  }
  return false;
}

bool StrictJson::has_duplicate_in(std::string_view object_path) const {
  for (const auto& d : duplicates) {
    if (d.object_path == object_path) return true;
  }
  return false;
}

StrictJson parse_strict_json(std::string_view bytes) {
  StrictJson out;
  if (bytes.size() >= 3 && static_cast<uint8_t>(bytes[0]) == 0xEF && static_cast<uint8_t>(bytes[1]) == 0xBB &&
      static_cast<uint8_t>(bytes[2]) == 0xBF) {
    return out;  // the library would skip a byte-order mark; the protocol refuses it
  }
  if (!nesting_within(bytes, kMaxJsonNesting)) return out;

  std::vector<Frame> stack;
  auto child_path = [&stack]() -> std::string {
    if (stack.empty()) return "";
    const Frame& p = stack.back();
    return p.path + "/" + (p.is_object ? p.key : std::to_string(p.index));
  };
  auto element_done = [&stack]() {
    if (!stack.empty() && !stack.back().is_object) ++stack.back().index;
  };
  auto callback = [&](int /*depth*/, Json::parse_event_t event, Json& parsed) -> bool {
    switch (event) {
      case Json::parse_event_t::object_start:
        stack.push_back(Frame{true, child_path(), {}, 0, {}});
        break;
      case Json::parse_event_t::array_start:
        stack.push_back(Frame{false, child_path(), {}, 0, {}});
        break;
      case Json::parse_event_t::key: {
        Frame& f = stack.back();
        f.key = parsed.get<std::string>();
        if (!f.keys.insert(f.key).second) out.duplicates.push_back({f.path, f.key});
        break;
      }
      case Json::parse_event_t::object_end:
      case Json::parse_event_t::array_end:
        stack.pop_back();
        element_done();
        break;
      case Json::parse_event_t::value:
        element_done();
        break;
    }
    return true;
  };
  out.value = Json::parse(bytes.begin(), bytes.end(), callback, /*allow_exceptions=*/false,
                          /*ignore_comments=*/false);
  out.ok = !out.value.is_discarded();
  if (!out.ok) out.duplicates.clear();
  return out;
}

std::optional<uint64_t> json_unsigned(const Json& v, uint64_t max) {
  uint64_t n;
  if (v.is_number_unsigned()) {
    n = v.get<uint64_t>();
  } else if (v.is_number_integer() && v.get<int64_t>() == 0) {
    n = 0;  // "-0"
  } else {
    return std::nullopt;
  }
  if (n > max) return std::nullopt;
  return n;
}

}  // namespace tph
