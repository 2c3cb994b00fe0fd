// Errors as values: an operation yields its value or the product's error text.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace kivo {

struct Error {
  std::string text;
};

inline Error fail(std::string text) { return Error{std::move(text)}; }

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT(google-explicit-constructor)
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT(google-explicit-constructor)

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const std::string& error() const { return std::get<1>(v_).text; }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error.text)), failed_(true) {}  // NOLINT(google-explicit-constructor)

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const std::string& error() const { return error_; }

 private:
  std::string error_;
  bool failed_ = false;
};

using Status = Result<void>;

}  // namespace kivo

// Binds the value of a Result expression to `name`, or returns its error from the enclosing function.
#define KIVO_TRY(name, expr)                                           \
  auto name##_result_ = (expr);                                        \
  if (!name##_result_) return ::kivo::fail(name##_result_.error());    \
  auto name = std::move(*name##_result_)
