#include "support/payload_binding.h"

#include "support/error_catalogue.h"
#include "support/version.h"

namespace tph {

PayloadSpec::PayloadSpec(std::vector<MemberSpec> members, Layout layout)
    : members_(std::move(members)), layout_(layout) {
  for (const MemberSpec& m : members_) {
    const JsonShape* kept = &kScalarShape;
    if (m.kind == MemberKind::kObject) kept = &m.nested->shape();
    if (m.kind == MemberKind::kList) {
      kept = &lists_.emplace_back(JsonShape{{}, nullptr, {}, false, &m.nested->shape(), m.most_elements});
    }
    shape_.members.push_back({m.name, kept});
    if (layout_ == Layout::kObjectOrPosition) shape_.elements.push_back(kept);
  }
}

std::optional<size_t> PayloadSpec::position(std::string_view name) const {
  for (size_t i = 0; i < members_.size(); ++i) {
    if (members_[i].name == name) return i;
  }
  return std::nullopt;
}

Json* BoundPayload::get(std::string_view name) const {
  std::optional<size_t> i = spec_->position(name);
  return i ? values_[*i] : nullptr;
}

std::string BoundPayload::take_text(std::string_view name) {
  Json* v = get(name);
  return v && v->is_string() ? std::move(v->get_ref<std::string&>()) : std::string();
}

std::optional<std::string> BoundPayload::take_optional_text(std::string_view name) {
  Json* v = get(name);
  if (!v || !v->is_string()) return std::nullopt;
  return std::move(v->get_ref<std::string&>());
}

uint64_t BoundPayload::number(std::string_view name, uint64_t when_absent) const {
  Json* v = get(name);
  if (!v) return when_absent;
  return json_unsigned(*v, UINT64_MAX).value_or(when_absent);
}

HostError binding_error(std::string_view path, std::string_view rule) {
  std::string m = "The print job does not match protocol " + std::to_string(kProtocolVersion) + ": ";
  m.append(path).append(" ").append(rule).append(".");
  return errors::make(errors::kBadRequest, m);
}

namespace {

std::string member_path(std::string_view path, std::string_view name) {
  std::string p(path);
  return p.append(".").append(name);
}

// The member's kind and limit; a failure names the rule.
std::optional<std::string> broken_rule(const MemberSpec& m, const Json& v) {
  switch (m.kind) {
    case MemberKind::kText:
      if (!v.is_string()) return "must be a string";
      return std::nullopt;
    case MemberKind::kUnsigned:
      if (!json_unsigned(v, m.max)) return "must be a whole number from 0 to " + std::to_string(m.max);
      return std::nullopt;
    case MemberKind::kObject:
      if (v.is_object()) return std::nullopt;
      if (v.is_array() && m.nested->layout() == PayloadSpec::Layout::kObjectOrPosition) return std::nullopt;
      if (m.nested->layout() == PayloadSpec::Layout::kObjectOrPosition) {
        return "must be an object, or a list of its " + std::to_string(m.nested->members().size()) +
               " members in order";
      }
      return "must be an object";
    case MemberKind::kList:
      if (!v.is_array()) return "must be a list";
      return std::nullopt;
    case MemberKind::kAny:
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

Result<BoundPayload> bind_payload(Json* value, const StrictJson& parsed, const PayloadSpec& spec,
                                  std::string_view path) {
  const std::vector<MemberSpec>& members = spec.members();
  std::vector<Json*> values(members.size(), nullptr);
  const bool lenient = spec.layout() == PayloadSpec::Layout::kLenient;
  if (value && value->is_object()) {
    if (std::optional<std::string_view> twice = parsed.repeated_member(*value)) {
      // A query reads an ambiguous payload as one that names nothing, and
      // answers with its own error for the member it needs.
      if (lenient) return BoundPayload(spec, std::move(values));
      return binding_error(path, "names " + std::string(*twice) + " twice");
    }
    for (size_t i = 0; i < members.size(); ++i) {
      auto it = value->find(members[i].name);
      if (it != value->end()) values[i] = &*it;
    }
  } else if (value && value->is_array() && spec.layout() == PayloadSpec::Layout::kObjectOrPosition) {
    if (value->size() != members.size()) {
      return binding_error(path, "must be an object, or a list of its " + std::to_string(members.size()) +
                                     " members in order");
    }
    for (size_t i = 0; i < members.size(); ++i) values[i] = &(*value)[i];
  } else if (!lenient) {
    if (!value) return binding_error(path, "is missing");
    return binding_error(path, spec.layout() == PayloadSpec::Layout::kObjectOrPosition
                                   ? "must be an object, or a list of its " + std::to_string(members.size()) +
                                         " members in order"
                                   : std::string("must be an object"));
  }
  for (size_t i = 0; i < members.size(); ++i) {
    const MemberSpec& m = members[i];
    if (values[i] && values[i]->is_null() && m.nullable) values[i] = nullptr;
    if (!values[i]) {
      if (m.required) return binding_error(member_path(path, m.name), "is missing");
      continue;
    }
    if (std::optional<std::string> rule = broken_rule(m, *values[i])) {
      return binding_error(member_path(path, m.name), *rule);
    }
  }
  return BoundPayload(spec, std::move(values));
}

}  // namespace tph
