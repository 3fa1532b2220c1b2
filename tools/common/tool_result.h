// The error type of the host tools: an error code (an errno value or a tool-specific
// number) plus a message that gains context as it rises through the callers.
#pragma once

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace ota::tool {

class Error {
 public:
  Error(int code, std::string message) : code_(code), message_(std::move(message)) {}

  [[nodiscard]] int code() const { return code_; }
  [[nodiscard]] const std::string& message() const { return message_; }

  // Prefixes what the caller was doing: "writing pkg.zip: open foo: No such file".
  Error& context(std::string_view what) {
    message_ = std::string(what) + ": " + message_;
    return *this;
  }

 private:
  int code_;
  std::string message_;
};

// An Error for a failed system call, from the current errno.
[[nodiscard]] inline Error errno_error(std::string_view what) {
  const int err = errno;
  return Error(err, std::string(what) + ": " + std::strerror(err));
}

// Either a value or an Error, in the manner of std::expected.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}      // NOLINT(google-explicit-constructor)
  Result(Error error) : state_(std::move(error)) {}  // NOLINT(google-explicit-constructor)

  [[nodiscard]] bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  [[nodiscard]] T& value() & { return std::get<0>(state_); }
  [[nodiscard]] T&& value() && { return std::get<0>(std::move(state_)); }
  [[nodiscard]] const Error& error() const { return std::get<1>(state_); }
  [[nodiscard]] Error& error() { return std::get<1>(state_); }

  T* operator->() { return &value(); }
  T& operator*() & { return value(); }

 private:
  std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}  // NOLINT(google-explicit-constructor)

  [[nodiscard]] bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  [[nodiscard]] const Error& error() const { return *error_; }
  [[nodiscard]] Error& error() { return *error_; }

 private:
  std::optional<Error> error_;
};

}  // namespace ota::tool
