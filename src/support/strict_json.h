#pragma once
// Strict RFC 8259 parsing on top of nlohmann::json. The library accepts a few
// things the protocol and the ledger refuse (a leading byte-order mark, any
// nesting depth) and silently keeps the last of two equal member names; this
// wrapper refuses the first two and reports every duplicate member name, so
// each reader can decide which duplicates are failures.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace tph {

using Json = nlohmann::json;

inline constexpr int kMaxJsonNesting = 127;

struct DuplicateMember {
  std::string object_path;  // "" for the top-level object, "/payload", "/jobs/abc", "/payload/6"
  std::string key;
};

struct StrictJson {
  bool ok = false;
  Json value;
  std::vector<DuplicateMember> duplicates;

  // True if `key` occurs twice in the object at `object_path`.
  bool has_duplicate(std::string_view object_path, std::string_view key) const;
  // True if any object at `object_path` has a duplicate member, whatever its name.
  bool has_duplicate_in(std::string_view object_path) const;
};

// Parses a whole document: whitespace may surround the value, nothing else.
StrictJson parse_strict_json(std::string_view bytes);

// A JSON integer without fraction or exponent, not negative, at most `max`.
std::optional<uint64_t> json_unsigned(const Json& v, uint64_t max);

}  // namespace tph
