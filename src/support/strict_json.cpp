#include "support/strict_json.h"

#include <unordered_set>

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

// The member names seen in one object. Most objects have a handful, where a
// linear search beats any set; a large one (the ledger's jobs) moves to a hash set.
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

struct Frame {
  bool is_object;
  std::string path;
  std::string key;
  size_t index = 0;
  MemberNames keys;
};

// Builds the document with the library's own DOM builder and, beside it,
// notes every member name that repeats within one object. A SAX handler
// rather than the library's parse callback, which costs twice as much.
class DuplicateNotingSax {
 public:
  DuplicateNotingSax(Json& result, std::vector<DuplicateMember>& duplicates)
      : dom_(result, /*allow_exceptions=*/false), duplicates_(duplicates) {}

  bool null() { return done(dom_.null()); }
  bool boolean(bool v) { return done(dom_.boolean(v)); }
  bool number_integer(Json::number_integer_t v) { return done(dom_.number_integer(v)); }
  bool number_unsigned(Json::number_unsigned_t v) { return done(dom_.number_unsigned(v)); }
  bool number_float(Json::number_float_t v, const Json::string_t& s) { return done(dom_.number_float(v, s)); }
  bool string(Json::string_t& v) { return done(dom_.string(v)); }
  bool binary(Json::binary_t& v) { return done(dom_.binary(v)); }
  bool start_object(std::size_t n) {
    stack_.push_back(Frame{true, child_path(), {}, 0, {}});
    return dom_.start_object(n);
  }
  bool key(Json::string_t& k) {
    Frame& f = stack_.back();
    f.key = k;
    if (!f.keys.insert(k)) duplicates_.push_back({f.path, k});
    return dom_.key(k);
  }
  bool end_object() {
    stack_.pop_back();
    return done(dom_.end_object());
  }
  bool start_array(std::size_t n) {
    stack_.push_back(Frame{false, child_path(), {}, 0, {}});
    return dom_.start_array(n);
  }
  bool end_array() {
    stack_.pop_back();
    return done(dom_.end_array());
  }
  template <typename Exception>
  bool parse_error(std::size_t pos, const std::string& token, const Exception& e) {
    return dom_.parse_error(pos, token, e);
  }
  bool errored() const { return dom_.is_errored(); }

 private:
  std::string child_path() const {
    if (stack_.empty()) return "";
    const Frame& p = stack_.back();
    return p.path + "/" + (p.is_object ? p.key : std::to_string(p.index));
  }
  bool done(bool ok) {
    if (!stack_.empty() && !stack_.back().is_object) ++stack_.back().index;
    return ok;
  }

  nlohmann::detail::json_sax_dom_parser<Json> dom_;
  std::vector<DuplicateMember>& duplicates_;
  std::vector<Frame> stack_;
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

  DuplicateNotingSax sax(out.value, out.duplicates);
  const bool parsed = Json::sax_parse(bytes.begin(), bytes.end(), &sax, nlohmann::detail::input_format_t::json,
                                      /*strict=*/true, /*ignore_comments=*/false);
  out.ok = parsed && !sax.errored();
  if (!out.ok) {
    out.value = Json();
    out.duplicates.clear();
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
