// Orrin::Ptr<T>: a counted reference to a node.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

#include "Orrin/Node.h"

namespace Orrin {

template <class T>
class Ptr {
 public:
  Ptr() noexcept = default;
  Ptr(std::nullptr_t) noexcept {}  // NOLINT
  // Taking and dropping a use are inlined: engines take one per operation.
  [[gnu::always_inline]] explicit Ptr(T* p) noexcept : p_(p) {
    if (p_) p_->incUse();
  }
  [[gnu::always_inline]] Ptr(Ptr const& o) noexcept : Ptr(o.p_) {}
  Ptr(Ptr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  // Converts only where a U* converts to a T* (an upcast, or adding const):
  // a downcast or a cast between unrelated types does not compile.
  template <class U>
  requires std::is_convertible_v<U*, T*> Ptr(Ptr<U> const& o)
  noexcept : Ptr(static_cast<T*>(o.get())) {}  // NOLINT: implicit upcast
  [[gnu::always_inline]] ~Ptr() { reset(); }

  // A reference that takes over a use already added to `p`.
  static Ptr adopt(T* p) noexcept {
    Ptr r;
    r.p_ = p;
    return r;
  }
  // Gives up the reference without dropping its use.
  T* release() noexcept { return std::exchange(p_, nullptr); }

  Ptr& operator=(Ptr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  [[gnu::always_inline]] void reset() noexcept {
    if (T* p = std::exchange(p_, nullptr)) p->decUse();
  }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  friend bool operator==(Ptr const& a, Ptr const& b) { return a.p_ == b.p_; }

 private:
  T* p_ = nullptr;
};

// A new T, default-constructed, in a counted reference. T's own operator new
// decides where the memory comes from and reports it; a constructor that
// throws returns it through T's operator delete.
template <class T>
Ptr<T> ptrIsImpl() {
  return Ptr<T>(new T());
}

}  // namespace Orrin
