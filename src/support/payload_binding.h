#pragma once
// A message payload declared once: its members, their JSON kinds and limits.
// The declaration gives both the parser's shape (what is kept while the
// document streams past) and the binding's checks, so a member cannot be
// bound without being kept, nor kept without being checked. A binding
// failure names the member and the rule it broke.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/host_error.h"
#include "support/strict_json.h"

namespace tph {

enum class MemberKind : uint8_t {
  kText,      // a string
  kUnsigned,  // a whole number from 0 to `max`
  kObject,    // an object (or a list of its members in order) of `nested`
  kList,      // a list of at most `most_elements` values of `nested`
  kAny,       // kept as it is; the message's own checks judge it
};

class PayloadSpec;

struct MemberSpec {
  std::string_view name;
  MemberKind kind = MemberKind::kAny;
  bool required = false;
  bool nullable = false;               // null reads as absent
  uint64_t max = 0;                    // kUnsigned
  const PayloadSpec* nested = nullptr;  // kObject, and every element of kList
  size_t most_elements = 0;            // kList
};

class PayloadSpec {
 public:
  enum class Layout : uint8_t {
    kObject,            // an object only
    kObjectOrPosition,  // an object, or a list of the members in their order
    kLenient,           // as kObject; a value of any other kind, or an object that
                        // names a member twice, binds as no members
  };

  PayloadSpec(std::vector<MemberSpec> members, Layout layout);
  PayloadSpec(const PayloadSpec&) = delete;
  PayloadSpec& operator=(const PayloadSpec&) = delete;

  const std::vector<MemberSpec>& members() const { return members_; }
  Layout layout() const { return layout_; }
  // What the parser keeps of a value of this payload.
  const JsonShape& shape() const { return shape_; }
  // The member's position, or nothing for a name not declared.
  std::optional<size_t> position(std::string_view name) const;

 private:
  std::vector<MemberSpec> members_;
  Layout layout_;
  std::deque<JsonShape> lists_;  // the shapes of list members, by address
  JsonShape shape_;
};

// A payload whose members passed their declared checks. Values point into
// the parsed document, which must outlive this.
class BoundPayload {
 public:
  BoundPayload(const PayloadSpec& spec, std::vector<Json*> values) : spec_(&spec), values_(std::move(values)) {}

  // The member's value; null when it is absent (or null and nullable).
  Json* get(std::string_view name) const;
  // A text member moved out of the document ("" when absent): a label's
  // base64 is the bulk of a request, and the document is not read again.
  std::string take_text(std::string_view name);
  std::optional<std::string> take_optional_text(std::string_view name);
  uint64_t number(std::string_view name, uint64_t when_absent = 0) const;

 private:
  const PayloadSpec* spec_;
  std::vector<Json*> values_;
};

// Binds `value` (null when the payload is absent) to `spec`, checking every
// declared member's kind and limit; `path` names the value in errors
// ("payload", "payload.pages[2]"). Members not declared are ignored. A
// failure is BAD_REQUEST naming the member and the rule.
Result<BoundPayload> bind_payload(Json* value, const StrictJson& parsed, const PayloadSpec& spec,
                                  std::string_view path);

// The binding failure for `path` and the rule it broke.
HostError binding_error(std::string_view path, std::string_view rule);

}  // namespace tph
