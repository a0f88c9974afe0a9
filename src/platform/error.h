#pragma once

#include <optional>
#include <string>
#include <utility>

namespace talvora::platform {

// Every failure the platform reports reaches the rest of the recorder only through its
// human-readable description, which is what the event stream shows unchanged.
struct Error {
  std::string description;
};

// The outcome of an operation that has nothing to return: none on success.
using Status = std::optional<Error>;

// A value or the error that kept it from being made.
template <typename T>
class Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design
  Result(Error error) : error_(std::move(error)) {}  // NOLINT: implicit by design

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  T& value() { return *value_; }
  const T& value() const { return *value_; }
  T&& take() { return std::move(*value_); }
  const Error& error() const { return *error_; }

 private:
  std::optional<T> value_;
  std::optional<Error> error_;
};

}  // namespace talvora::platform
