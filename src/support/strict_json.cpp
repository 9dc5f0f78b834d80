#include "support/strict_json.h"

#include <algorithm>
#include <unordered_set>

namespace tph {

const JsonShape kScalarShape{};

namespace {

bool is_scalar_shape(const JsonShape& s) {
  return s.members.empty() && !s.every_member && s.elements.empty() && !s.every_element;
}

// The member names seen in one object. Most objects have a handful, where a
// linear search beats any set; a large one moves to a hash set. Each name is
// stored once, so the cost is the size of the names themselves.
class MemberNames {
 public:
  // False when `key` was already there.
  bool insert(const std::string& key) {
    if (many_.empty()) {
      for (const auto& k : few_) {
        if (k == key) return false;
      }
      few_.push_back(key);
      if (few_.size() == kFew) {
        many_.insert(few_.begin(), few_.end());
        few_.clear();
      }
      return true;
    }
    return many_.insert(key).second;
  }

 private:
  static constexpr size_t kFew = 16;
  std::vector<std::string> few_;
  std::unordered_set<std::string> many_;
};

// One kept array or object being filled.
struct Frame {
  Json* container = nullptr;
  const JsonShape* shape = nullptr;
  size_t index = 0;        // position of the next array element
  std::vector<bool> seen;  // which of shape->members have been met
  MemberNames names;       // every member name, when the shape counts them all
  const JsonShape* next_shape = nullptr;  // shape of the next member's value; null: skip it
  std::string next_key;
};

// Builds the kept parts of the document from the tokenizer's events. Values
// outside the shape are counted through (`skip_depth_`) and dropped.
class ShapedSax {
 public:
  ShapedSax(const JsonShape& shape, StrictJson& out) : root_shape_(shape), out_(out) {}

  bool null() { return scalar(Json(nullptr)); }
  bool boolean(bool v) { return scalar(Json(v)); }
  bool number_integer(Json::number_integer_t v) { return scalar(Json(v)); }
  bool number_unsigned(Json::number_unsigned_t v) { return scalar(Json(v)); }
  bool number_float(Json::number_float_t v, const Json::string_t&) { return scalar(Json(v)); }
  bool string(Json::string_t& v) {
    if (skip_depth_ > 0) return true;
    // A copy of exactly the text's size: the tokenizer's buffer grows by
    // doubling, and a long string (a label's base64) would keep up to twice
    // its size for as long as the document lives.
    if (Json* slot = next_slot().first) *slot = Json::string_t(v.data(), v.size());
    return true;
  }
  bool binary(Json::binary_t&) { return false; }  // not produced by JSON text

  bool start_object(std::size_t) { return start(Json::object()); }
  bool start_array(std::size_t) { return start(Json::array()); }
  bool end_object() { return end(); }
  bool end_array() { return end(); }

  bool key(Json::string_t& k) {
    if (skip_depth_ > 0) return true;
    Frame& f = stack_.back();
    f.next_shape = nullptr;
    const auto& members = f.shape->members;
    for (size_t i = 0; i < members.size(); ++i) {
      if (members[i].key != k) continue;
      if (f.seen[i]) note_repeat(f, k);
      f.seen[i] = true;
      f.next_shape = members[i].shape;
      break;
    }
    if (!f.next_shape) f.next_shape = f.shape->every_member;
    if (f.shape->every_name_unique && !f.names.insert(k)) note_repeat(f, k);
    if (f.next_shape) f.next_key = std::move(k);
    return true;
  }

  template <typename Exception>
  bool parse_error(std::size_t, const std::string&, const Exception&) {
    return false;
  }

 private:
  bool scalar(Json v) {
    if (skip_depth_ > 0) return true;
    if (Json* slot = next_slot().first) *slot = std::move(v);
    return true;
  }

  bool start(Json empty) {
    if (skip_depth_ > 0) {
      ++skip_depth_;
      return true;
    }
    auto [slot, shape] = next_slot();
    if (!slot) {
      skip_depth_ = 1;
      return true;
    }
    *slot = std::move(empty);
    if (is_scalar_shape(*shape)) {
      skip_depth_ = 1;  // kept empty: the reader only learns its type
      return true;
    }
    Frame f;
    f.container = slot;
    f.shape = shape;
    if (slot->is_object()) f.seen.assign(shape->members.size(), false);
    stack_.push_back(std::move(f));
    return true;
  }

  bool end() {
    if (skip_depth_ > 0) {
      --skip_depth_;
      return true;
    }
    stack_.pop_back();
    return true;
  }

  // Where the next value goes and the shape it is kept to; no slot when it
  // is skipped.
  std::pair<Json*, const JsonShape*> next_slot() {
    if (stack_.empty()) return {&out_.value, &root_shape_};
    Frame& f = stack_.back();
    if (f.container->is_object()) {
      const JsonShape* shape = f.next_shape;
      if (!shape) return {nullptr, nullptr};
      f.next_shape = nullptr;
      // A repeated name replaces the earlier value, as the ledger's records do.
      return {&(*f.container)[std::move(f.next_key)], shape};
    }
    const auto& elements = f.shape->elements;
    const size_t i = f.index++;
    if (f.shape->every_element) {
      if (i > f.shape->most_elements) return {nullptr, nullptr};
      f.container->push_back(nullptr);
      if (i == f.shape->most_elements) return {nullptr, nullptr};  // "one too many"
      return {&f.container->back(), f.shape->every_element};
    }
    if (i < elements.size()) {
      f.container->push_back(nullptr);
      return {&f.container->back(), elements[i]};
    }
    if (i == elements.size() && !elements.empty()) f.container->push_back(nullptr);  // "one too many"
    return {nullptr, nullptr};
  }

  void note_repeat(const Frame& f, const Json::string_t& name) {
    const auto* object = f.container->get_ptr<const Json::object_t*>();
    out_.objects_with_repeats.try_emplace(object, name);
  }

  const JsonShape& root_shape_;
  StrictJson& out_;
  std::vector<Frame> stack_;
  size_t skip_depth_ = 0;
};

}  // namespace

bool StrictJson::has_repeated_member(const Json& object) const {
  const auto* p = object.get_ptr<const Json::object_t*>();
  return p && objects_with_repeats.count(p) > 0;
}

std::optional<std::string_view> StrictJson::repeated_member(const Json& object) const {
  const auto* p = object.get_ptr<const Json::object_t*>();
  if (!p) return std::nullopt;
  auto it = objects_with_repeats.find(p);
  if (it == objects_with_repeats.end()) return std::nullopt;
  return it->second;
}

bool JsonPrecheck::byte(char c) {
  if (!ok_) return false;
  const auto u = static_cast<unsigned char>(c);
  // The library would skip a byte-order mark; the protocol refuses it.
  static constexpr unsigned char kBom[3] = {0xEF, 0xBB, 0xBF};
  if (bom_ && seen_ < 3) {
    bom_ = u == kBom[seen_];
    if (bom_ && seen_ == 2) return ok_ = false;
  }
  ++seen_;
  // The tokenizer takes a NUL byte for the end of the input and would accept
  // whatever follows it. A raw NUL is never valid JSON: outside a string it
  // is no token, inside one it is a control character that must be escaped.
  if (c == '\0') return ok_ = false;
  if (in_string_) {
    if (escaped_) {
      escaped_ = false;
    } else if (c == '\\') {
      escaped_ = true;
    } else if (c == '"') {
      in_string_ = false;
    }
    return true;
  }
  const bool numeric = (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
  number_run_ = numeric ? number_run_ + 1 : 0;
  if (number_run_ > kMaxNumberChars) return ok_ = false;
  if (c == '"') {
    in_string_ = true;
  } else if (c == '[' || c == '{') {
    if (++depth_ > kMaxJsonNesting) return ok_ = false;
  } else if (c == ']' || c == '}') {
    --depth_;
  }
  return true;
}

bool json_precheck(std::string_view bytes) {
  // One cheap pass before the real parse, so that an input of millions of
  // opening brackets or digits costs nothing more than that pass.
  JsonPrecheck check;
  for (char c : bytes) {
    if (!check.byte(c)) return false;
  }
  return true;
}

StrictJson parse_strict_json(std::string_view bytes, const JsonShape& shape) {
  StrictJson out;
  if (!json_precheck(bytes)) return out;

  ShapedSax sax(shape, out);
  out.ok = Json::sax_parse(bytes.begin(), bytes.end(), &sax, nlohmann::detail::input_format_t::json,
                           /*strict=*/true, /*ignore_comments=*/false);
  if (!out.ok) {
    out.value = Json();
    out.objects_with_repeats.clear();
  }
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
