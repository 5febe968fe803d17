// Kiva hashing: the process-wide 32-bit seed and the hash of one 32-bit value.
//
// Keyed collections never hash by themselves: their owners hash each key and
// hand the core the pair (key address, hash) as a KeyAndRhashSeedArg.
#pragma once

#include <cstdint>

namespace Kiva {

namespace HashHelper {

namespace Impl {
extern std::uint32_t processHashSeed32;
}

// The runtime's 32-bit hash seed. Fixed for the life of the process once any
// keyed collection exists; callers ask for it afresh for every hash.
inline std::uint32_t hashSeed32() {
  return Impl::processHashSeed32;
}

// Replaces the seed. Only for use before any hashed collection is built
// (tests that check an order does not depend on the seed).
void hashSeed32Is(std::uint32_t seed);

// A key as the collection core sees it: where it is, and its hash.
struct KeyAndRhashSeedArg {
  void const* key;
  std::uint32_t hash;
};

}  // namespace HashHelper

// Finaliser of MurmurHash3: a bijection on 32-bit values with full avalanche,
// so dense keys 0, 1, 2, ... spread evenly over all bits of the hash.
constexpr std::uint32_t mix32(std::uint32_t h) {
  h ^= h >> 16;
  h *= 0x85EBCA6Bu;
  h ^= h >> 13;
  h *= 0xC2B2AE35u;
  h ^= h >> 16;
  return h;
}

// Hash of one 32-bit value under a seed. For a fixed seed, distinct values
// give distinct hashes.
constexpr std::uint32_t hashSingleAttr(std::uint32_t seed, std::uint32_t value) {
  return mix32(value ^ seed);
}

// Folds one more 32-bit value into a running hash (for multi-field values).
constexpr std::uint32_t hashCombine(std::uint32_t h, std::uint32_t value) {
  return mix32(h ^ (value + 0x9E3779B9u + (h << 6) + (h >> 2)));
}

}  // namespace Kiva
