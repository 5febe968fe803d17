// Index and unit types of the hardware-table framework.
#pragma once

#include <cstdint>
#include <ostream>

namespace Asic {

// A hardware index as the framework reports it.
using Index = std::uint32_t;
// A chip unit.
using UnitId = std::uint16_t;

class SwTableBase {
 public:
  // Key of a software table: a 32-bit unsigned index, which for known-index
  // tables is also the hardware index of the row. 0xFFFFFFFF is the invalid
  // index ("exhausted"), for which no row exists.
  struct Index {
    static constexpr std::uint32_t kInvalid = 0xFFFFFFFFu;

    std::uint32_t value = 0;

    constexpr Index() = default;
    constexpr Index(std::uint32_t v) : value(v) {}  // NOLINT: indices are numbers
    constexpr operator std::uint32_t() const { return value; }

    constexpr bool isExhausted() const { return value == kInvalid; }
    // Key equality on untyped pointers, as collections and publishers use it.
    static bool isEq(void const* a, void const* b) {
      return static_cast<Index const*>(a)->value == static_cast<Index const*>(b)->value;
    }
    friend std::ostream& operator<<(std::ostream& os, Index i) { return os << i.value; }
  };
  static_assert(sizeof(Index) == 4);
};

constexpr bool isExhausted(SwTableBase::Index index) {
  return index.isExhausted();
}

}  // namespace Asic
