// Kiva::Optional<T>: a value that may be absent.
//
// Layout: the storage of a T followed by a one-byte engaged flag (1 = holds a
// value, 0 = empty). The T in the storage exists only while the flag is 1, so
// an empty Optional constructs no T.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

namespace Kiva {

// The error raised by reading an empty Optional.
class BadOptionalAccess : public std::logic_error {
 public:
  BadOptionalAccess() : std::logic_error("Kiva::Optional: read of an empty value") {}
};

namespace Impl {
// Raises BadOptionalAccess.
[[noreturn]] void throwBadOptionalAccess();
}  // namespace Impl

template <class T>
class Optional {
 public:
  Optional() noexcept = default;
  Optional(T const& value) { emplace(value); }  // NOLINT: implicit like std::optional
  Optional(T&& value) { emplace(std::move(value)); }
  Optional(Optional const& other) {
    if (other.engaged_) emplace(*other.ptr());
  }
  Optional(Optional&& other) noexcept(std::is_nothrow_move_constructible_v<T>) {
    if (other.engaged_) emplace(std::move(*other.ptr()));
  }
  ~Optional() { reset(); }

  // Assignment follows the engaged flags: engaged from engaged assigns the
  // value, empty from engaged constructs it, engaged from empty destroys it.
  Optional& operator=(Optional const& other) {
    if (this == &other) return *this;
    if (other.engaged_) {
      if (engaged_) {
        *ptr() = *other.ptr();
      } else {
        emplace(*other.ptr());
      }
    } else {
      reset();
    }
    return *this;
  }
  Optional& operator=(Optional&& other) noexcept(std::is_nothrow_move_assignable_v<T>) {
    if (this == &other) return *this;
    if (other.engaged_) {
      if (engaged_) {
        *ptr() = std::move(*other.ptr());
      } else {
        emplace(std::move(*other.ptr()));
      }
    } else {
      reset();
    }
    return *this;
  }
  Optional& operator=(T const& value) {
    if (engaged_) {
      *ptr() = value;
    } else {
      emplace(value);
    }
    return *this;
  }

  template <class... Args>
  T& emplace(Args&&... args) {
    reset();
    ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
    engaged_ = 1;
    return *ptr();
  }
  void reset() noexcept {
    if (engaged_) {
      engaged_ = 0;
      std::destroy_at(ptr());
    }
  }

  bool hasValue() const noexcept { return engaged_ != 0; }
  explicit operator bool() const noexcept { return hasValue(); }

  // Checked access: raises through Impl::throwBadOptionalAccess when empty.
  T const& value() const {
    if (!engaged_) Impl::throwBadOptionalAccess();
    return *ptr();
  }
  T& value() {
    if (!engaged_) Impl::throwBadOptionalAccess();
    return *ptr();
  }
  // Unchecked access: the caller knows the Optional is engaged.
  T const& operator*() const noexcept { return *ptr(); }
  T& operator*() noexcept { return *ptr(); }
  T const* operator->() const noexcept { return ptr(); }
  T* operator->() noexcept { return ptr(); }

  T valueOr(T const& fallback) const { return engaged_ ? *ptr() : fallback; }

  friend bool operator==(Optional const& a, Optional const& b) {
    if (a.engaged_ != b.engaged_) return false;
    return !a.engaged_ || *a.ptr() == *b.ptr();
  }

 private:
  T* ptr() noexcept { return std::launder(reinterpret_cast<T*>(storage_)); }
  T const* ptr() const noexcept { return std::launder(reinterpret_cast<T const*>(storage_)); }

  alignas(T) unsigned char storage_[sizeof(T)];
  std::uint8_t engaged_ = 0;
};

}  // namespace Kiva
