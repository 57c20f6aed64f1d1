#pragma once

#include <string>
#include <system_error>
#include <utility>
#include <variant>

// Errors are values: a Result holds either the value or the error, never both.
template <class E>
struct Err {
  E error;
};
template <class E>
Err(E) -> Err<E>;

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Err<E> err) : v_(std::in_place_index<1>, std::move(err.error)) {}
  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const E& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;  // by index, so T and E may be the same type
};

using Unit = std::monostate;  // Result<Unit, E>: success carries nothing

namespace pylon {

// The one rendering of an operating-system error: "system text (os error N)". A condition of our
// own (pylon::not_regular_file) has no system number and renders as its text alone.
std::string os_text(const std::error_code& ec);

// The error of the last failed system call, as a value.
inline std::error_code last_os_error() {
  return {errno, std::system_category()};
}

// An operating-system error by its number, as a value.
inline std::error_code os_error(int code) {
  return {code, std::system_category()};
}

}  // namespace pylon
