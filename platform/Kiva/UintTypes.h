// Kiva's bit-width unsigned types U1 to U6: an unsigned value of 1 to 6 bits
// held in one byte. Building one from a number or from text checks the range
// and raises Orrin::RangeException when the value does not fit.
#pragma once

#include <cstdint>
#include <string>

#include "Kiva/CharRange.h"
#include "Orrin/RangeException.h"

namespace Kiva {

template <unsigned Bits>
class UnsignedBits {
  static_assert(Bits >= 1 && Bits <= 7, "bit-width types hold 1 to 7 bits");

 public:
  static constexpr unsigned kBits = Bits;
  static constexpr std::uint8_t kMax = static_cast<std::uint8_t>((1u << Bits) - 1);

  constexpr UnsignedBits() = default;
  // Checked: a value above kMax raises Orrin::RangeException.
  constexpr UnsignedBits(unsigned value)  // NOLINT: numbers convert implicitly
      : value_(static_cast<std::uint8_t>(value)) {
    if (value > kMax) throw Orrin::RangeException(std::to_string(value), kMax);
  }
  // Reads the value at the range's position (decimal or 0x hex).
  explicit UnsignedBits(CharRange& range)
      : value_(static_cast<std::uint8_t>(range.readUnsigned(kMax))) {}

  constexpr std::uint8_t value() const { return value_; }
  // Compares and computes as the plain number it holds.
  constexpr operator std::uint8_t() const { return value_; }  // NOLINT

 private:
  std::uint8_t value_ = 0;
};

using U1 = UnsignedBits<1>;
using U2 = UnsignedBits<2>;
using U3 = UnsignedBits<3>;
using U4 = UnsignedBits<4>;
using U5 = UnsignedBits<5>;
using U6 = UnsignedBits<6>;

}  // namespace Kiva
