// Asic::EntryBase: base of every software-table entry (one row of a hardware
// table, in the feature's terms).
#pragma once

#include <cstdint>

#include "Kiva/Hash.h"

namespace Asic {

class EntryBase {
 public:
  virtual ~EntryBase() = default;

  // Hardware blocks one entry occupies. Entries that do not define their own
  // block size occupy one.
  virtual std::uint32_t getBlockSize() const { return 1; }

  // The framework's hash of an entry: its field values folded in field order
  // under `seed`. Equal entries hash equally. The entry type names its fields
  // through visitFieldValues(f), which calls f(value) for each field in order.
  template <class E>
  static std::uint32_t hash(E const& entry, std::uint32_t seed) {
    std::uint32_t h = Kiva::mix32(seed ^ 0x3C6EF372u);
    entry.visitFieldValues([&h](std::uint32_t value) { h = Kiva::hashCombine(h, value); });
    return h;
  }

 protected:
  EntryBase() = default;
  EntryBase(EntryBase const&) = default;
  EntryBase& operator=(EntryBase const&) = default;
};

}  // namespace Asic
