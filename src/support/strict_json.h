#pragma once
// Strict RFC 8259 parsing on top of nlohmann::json's tokenizer, building only
// the members a reader asked for.
//
// The library's own document builder would build every member of every
// object, and it accepts a few things the protocol and the ledger refuse (a
// leading byte-order mark, any nesting depth, text after a NUL byte) and
// silently keeps the last of two equal member names. Here the reader passes a
// JsonShape naming the members it binds; everything else is checked for
// well-formedness as it streams past and never stored. The document therefore
// costs memory in proportion to the members kept (each at most as large as
// the input), and time linear in the input, whatever the input's shape.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace tph {

using Json = nlohmann::json;

inline constexpr int kMaxJsonNesting = 127;

// Which parts of a document to build. A member or element not named is
// skipped. A kept value of the scalar shape that turns out to be an array or
// object is kept empty, so a reader still sees its type.
struct JsonShape {
  struct Member {
    std::string_view key;
    const JsonShape* shape;
  };
  std::vector<Member> members = {};        // kept members of an object, by name
  const JsonShape* every_member = nullptr;  // kept shape of every member (maps keyed by data)
  // Kept elements of an array, by position. One element beyond them is kept
  // as null, so a reader can tell "too many" without the rest being stored.
  std::vector<const JsonShape*> elements = {};
  // True: any member name repeated in this object counts. False: only the
  // names in `members`.
  bool every_name_unique = false;
  // Kept shape of every element of a list, up to `most_elements` of them;
  // one element beyond is kept as null, as with `elements`.
  const JsonShape* every_element = nullptr;
  size_t most_elements = 0;
};

// A value kept as it is; an array or object kept empty.
extern const JsonShape kScalarShape;

struct StrictJson {
  bool ok = false;
  Json value;
  // Kept objects in which a counted member name occurs twice (see JsonShape),
  // each with the first name found repeated.
  std::unordered_map<const Json::object_t*, std::string> objects_with_repeats;

  bool has_repeated_member(const Json& object) const;
  // The first counted name `object` repeats; nothing when it repeats none.
  std::optional<std::string_view> repeated_member(const Json& object) const;
};

// The checks every strict parse makes before the tokenizer runs: no leading
// byte-order mark, no NUL byte, nesting within kMaxJsonNesting, and no
// number literal longer than kMaxNumberChars (the library would convert an
// enormous one at a cost far out of proportion to its bytes, and none of our
// numbers needs more than a few dozen digits).
inline constexpr size_t kMaxNumberChars = 1024;
bool json_precheck(std::string_view bytes);

// The same checks, byte by byte, for text that arrives in pieces.
class JsonPrecheck {
 public:
  // False from the first byte that breaks a rule on.
  bool byte(char c);

 private:
  size_t seen_ = 0;
  bool bom_ = true;  // the bytes so far could still begin a byte-order mark
  bool in_string_ = false;
  bool escaped_ = false;
  int depth_ = 0;
  size_t number_run_ = 0;  // characters of the number-like run outside strings
  bool ok_ = true;
};

// Parses a whole document: whitespace may surround the value, nothing else.
StrictJson parse_strict_json(std::string_view bytes, const JsonShape& shape);

// A JSON integer without fraction or exponent, not negative, at most `max`.
std::optional<uint64_t> json_unsigned(const Json& v, uint64_t max);

}  // namespace tph
