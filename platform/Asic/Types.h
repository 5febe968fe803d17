// Index and unit types of the hardware-table framework, and the root of every
// software table (SwTableBase).
#pragma once

#include <cstdint>
#include <ostream>

#include "Orrin/Node.h"
#include "Orrin/Ptr.h"

namespace Asic {

// A hardware index as the framework reports it.
using Index = std::uint32_t;
// A chip unit.
using UnitId = std::uint16_t;

// Root of every software table: a counted runtime node. It fixes the key type
// of all tables, the states of an entry's hardware index and the handles the
// framework gives out for entries.
class SwTableBase : public Orrin::Node {
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

  // How a write treats the hardware index of its row. Unscoped, so that the
  // states read as SwTableBase::indexAcquired as well as
  // EntryState::indexAcquired.
  enum EntryState : std::uint8_t {
    // Ordinary write: the index is taken into use by this write.
    indexAcquired = 1,
    // Rewrite of a row whose index was already in use when hardware was read
    // back: the index is in use already and must not be counted again.
    indexReconciled = 2,
  };

  // A counted handle on one entry of a table, naming the hardware index the
  // entry occupies.
  class EntryHandle : public Orrin::Node {
   public:
    explicit EntryHandle(Asic::Index hwIndex) : hwIndex_(hwIndex) {}
    ~EntryHandle() override;

    Asic::Index hwIndex() const { return hwIndex_; }

   private:
    Asic::Index hwIndex_;
  };

  // The hardware index of the entry behind `handle`; the invalid index
  // 0xFFFFFFFF for an empty handle.
  static Asic::Index getHwEntryIndex(Orrin::Ptr<EntryHandle const> const& handle);

  ~SwTableBase() override;

 protected:
  SwTableBase() = default;
};

constexpr bool isExhausted(SwTableBase::Index index) {
  return index.isExhausted();
}

// Prints "indexAcquired" or "indexReconciled"; any other value as its number.
std::ostream& operator<<(std::ostream& os, SwTableBase::EntryState state);

}  // namespace Asic
