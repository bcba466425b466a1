// Result<T, E>: the value of an operation or the error kind that stopped it.
//
// Everything below the Python boundary reports failure through this type
// instead of exceptions. It is move-only friendly, never allocates on its own,
// and must be inspected (`[[nodiscard]]`): a dropped error is a compile error
// under -Werror.
#pragma once

#include <cstdlib>
#include <type_traits>
#include <utility>
#include <variant>

namespace vesk {

// Tag carrying an error into a Result: `return Err(SegmentError::errno_(e));`
template <class E>
struct Err {
  E error;
};
template <class E>
Err(E) -> Err<E>;

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  template <class E2>
  Result(Err<E2> err) : v_(std::in_place_index<1>, E(std::move(err.error))) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const E& error() const { return std::get<1>(v_); }

  T* operator->() { return &value(); }
  T& operator*() & { return value(); }

 private:
  std::variant<T, E> v_;
};

// A Result that carries no value on success.
template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <class E2>
  Result(Err<E2> err) : err_(E(std::move(err.error))), failed_(true) {}  // NOLINT

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const E& error() const { return err_; }

 private:
  E err_{};
  bool failed_ = false;
};

}  // namespace vesk
