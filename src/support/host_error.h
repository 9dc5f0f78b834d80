#pragma once
// The failure value of every operation in the print host: a code from the
// closed catalogue (error_catalogue.h) and a message for people. Nothing else:
// callers that wrap a lower failure copy what they need into their message.

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace tph {

struct HostError {
  const char* code;     // static upper-case identifier, e.g. "BAD_REQUEST"
  std::string message;  // full sentence, or a context message

  friend bool operator==(const HostError& a, const HostError& b) {
    return std::string_view(a.code) == b.code && a.message == b.message;
  }
};

// A value or an error: a HostError in the core, the port's failure at the
// operating-system boundary. Kept deliberately small: nothing throws across
// a module boundary, it returns one of these.
template <typename T, typename E = HostError>
class Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT
  bool ok() const { return v_.index() == 0; }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  const E& error() const { return std::get<1>(v_); }
  E take_error() { return std::move(std::get<1>(v_)); }

 private:
  std::variant<T, E> v_;
};

// Success with no value, or a HostError.
class Status {
 public:
  Status() = default;
  Status(HostError error) : error_(std::move(error)) {}  // NOLINT
  static Status Ok() { return Status(); }
  bool ok() const { return !error_; }
  const HostError& error() const { return *error_; }
  HostError take_error() { return std::move(*error_); }

 private:
  std::optional<HostError> error_;
};

}  // namespace tph
