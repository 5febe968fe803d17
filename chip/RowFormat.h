// The simulated chip's row format, derived from a table's entry declaration.
//
// A row is a fixed number of bytes holding, from bit 0 upwards, the valid bit
// and then every field of the entry in declaration order at its declared
// width (U1..U6: 1 to 6 bits, uint8_t: 8 bits, uint32_t: 32 bits). Bit n of
// a row is bit (n % 8) of byte (n / 8); a field's least significant bit comes
// first. Bits past the last field are zero. A row whose valid bit is clear
// holds no entry and is all zero.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <tuple>

#include "runtime/EntryFields.h"

namespace SimChip {

// Bits `width` (at most 32) of `row` from bit `offset` hold `value`.
inline void bitsIs(std::uint8_t* row, unsigned offset, unsigned width, std::uint32_t value) {
  for (unsigned i = 0; i < width; ++i) {
    unsigned const bit = offset + i;
    std::uint8_t const mask = static_cast<std::uint8_t>(1u << (bit % 8));
    if ((value >> i) & 1u) {
      row[bit / 8] |= mask;
    } else {
      row[bit / 8] &= static_cast<std::uint8_t>(~mask);
    }
  }
}

inline std::uint32_t bits(std::uint8_t const* row, unsigned offset, unsigned width) {
  std::uint32_t value = 0;
  for (unsigned i = 0; i < width; ++i) {
    unsigned const bit = offset + i;
    value |= static_cast<std::uint32_t>((row[bit / 8] >> (bit % 8)) & 1u) << i;
  }
  return value;
}

template <class Entry>
struct RowFormat {
  static constexpr unsigned kValidBit = 0;
  static constexpr unsigned kFieldBits =
      std::apply([](auto... f) { return (0u + ... + decltype(f)::kBits); }, Entry::fields());
  static constexpr unsigned kBits = 1 + kFieldBits;
  static constexpr unsigned kBytes = (kBits + 7) / 8;
  using Row = std::array<std::uint8_t, kBytes>;

  // Bit offset of each field, in declaration order.
  static constexpr auto kOffsets = [] {
    std::array<unsigned, IfaRuntime::kFieldCount<Entry> + 1> offsets{};
    unsigned next = 1, i = 0;
    std::apply([&](auto... f) { ((offsets[i++] = next, next += decltype(f)::kBits), ...); },
               Entry::fields());
    offsets[i] = next;
    return offsets;
  }();

  // The valid row of `entry`.
  static Row pack(Entry const& entry) {
    Row row{};
    bitsIs(row.data(), kValidBit, 1, 1);
    std::size_t i = 0;
    IfaRuntime::forEachField<Entry>(
        [&](auto const& f) { bitsIs(row.data(), kOffsets[i++], f.kBits, f.get(entry)); });
    return row;
  }

  // The entry a row holds (its valid bit is not looked at).
  static Entry unpack(std::uint8_t const* row) {
    Entry entry;
    std::size_t i = 0;
    IfaRuntime::forEachField<Entry>(
        [&](auto const& f) { f.set(entry, bits(row, kOffsets[i++], f.kBits)); });
    return entry;
  }

  static bool valid(std::uint8_t const* row) { return bits(row, kValidBit, 1) != 0; }
};

}  // namespace SimChip
