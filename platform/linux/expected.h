// A value, or the reason there is none: the one result shape of the tools and the Linux stand-ins
// for an operation whose failure a person reads about ("cannot open /x: No such file or
// directory"). The logic keeps std::optional and the keychain seam keeps its status codes; this is
// for the layer that talks to files, sockets, processes and people.
//
// It mirrors the part of C++23's std::expected that the code uses (has_value, value, error, *, ->,
// and unexpected() for the failure), so that it can be swapped for the standard one later.
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace quenlarch {

template <typename E>
struct Unexpected {
  E error;
};

// `return unexpected("why");` from a function returning Expected<T>.
inline Unexpected<std::string> unexpected(std::string reason) { return {std::move(reason)}; }
template <typename E>
Unexpected<E> unexpected(E reason) {
  return {std::move(reason)};
}

template <typename T, typename E = std::string>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit
  template <typename F, typename = std::enable_if_t<std::is_constructible_v<E, F>>>
  Expected(Unexpected<F> failure)  // NOLINT: implicit, as with std::unexpected
      : state_(std::in_place_index<1>, E(std::move(failure.error))) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  // REQUIRES: has_value().
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // REQUIRES: !has_value().
  const E& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, E> state_;
};

// Success without a value, or the reason for the failure.
template <typename E>
class [[nodiscard]] Expected<void, E> {
 public:
  Expected() = default;
  template <typename F, typename = std::enable_if_t<std::is_constructible_v<E, F>>>
  Expected(Unexpected<F> failure)  // NOLINT: implicit, as with std::unexpected
      : failed_(true), error_(std::move(failure.error)) {}

  bool has_value() const { return !failed_; }
  explicit operator bool() const { return has_value(); }
  const E& error() const { return error_; }  // REQUIRES: !has_value()

 private:
  bool failed_ = false;
  E error_{};
};

}  // namespace quenlarch
