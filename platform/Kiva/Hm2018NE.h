// Kiva::Hm2018NE: base of the node types of keyed collections. It carries the
// collection's 32-bit hash constant, the key and value types and the
// allocation kind; the node type itself declares its key and value members.
#pragma once

#include <cstdint>

namespace Kiva {

template <std::uint32_t HashConstant, class Key, class Value, int AllocKind>
struct Hm2018NE {
  using KeyType = Key;
  using ValueType = Value;
  static constexpr std::uint32_t kHashConstant = HashConstant;
  static constexpr int kAllocKind = AllocKind;
};

}  // namespace Kiva
