#pragma once
// One owner for every kind of operating-system resource: a traits type says what the value is,
// which value means "none", which values are no resource at all, and how one is released.
// Move-only; released on every path.
//
//   struct Traits {
//     using Type = ...;
//     static Type null() noexcept;            // what an empty owner holds
//     static bool valid(Type) noexcept;       // false for every "no resource" value
//     static void close(Type) noexcept;       // called once, only for valid values
//     // Optional: the thread's last error, kept across a release (see KeepsLastError).
//     static Saved save_error() noexcept;
//     static void restore_error(Saved) noexcept;
//   };

#include <utility>

namespace corvid {

// A caller reads the thread's last error after the call that failed, often after an owner was
// reset on the way out; releasing a resource must not change what it reads.
template <class Traits>
concept KeepsLastError = requires {
  Traits::restore_error(Traits::save_error());
};

template <class Traits>
class UniqueHandle {
 public:
  using Type = typename Traits::Type;

  UniqueHandle() noexcept = default;
  explicit UniqueHandle(Type value) noexcept : value_(value) {}
  UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other)
      reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  Type get() const noexcept { return value_; }
  bool valid() const noexcept { return Traits::valid(value_); }
  explicit operator bool() const noexcept { return valid(); }

  // Gives up ownership without releasing.
  [[nodiscard]] Type release() noexcept { return std::exchange(value_, Traits::null()); }
  // Releases what is held and takes `value`; taking what it already holds changes nothing, so
  // that nothing is released twice.
  void reset(Type value = Traits::null()) noexcept {
    if (value == value_)
      return;
    const Type old = std::exchange(value_, value);
    if (!Traits::valid(old))
      return;
    if constexpr (KeepsLastError<Traits>) {
      const auto saved = Traits::save_error();
      Traits::close(old);
      Traits::restore_error(saved);
    } else {
      Traits::close(old);
    }
  }
  // For an API that returns the resource through an out-parameter: releases what is held and
  // hands out the place to fill.
  Type* put() noexcept {
    reset();
    return &value_;
  }

 private:
  Type value_ = Traits::null();
};

}  // namespace corvid
