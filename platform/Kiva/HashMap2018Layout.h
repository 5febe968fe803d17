// Kiva::HashMap2018Layout: where the parts of a bucket array of the keyed
// collection core lie, and the group-at-a-time tag matching that lookups use.
//
// A bucket array of S slots (S a multiple of kGroupSlots, at most
// kMaxArraySlots) is one allocation:
//
//     [tag x S][hash bits 16-31 x S][hash bits 8-15 x S][header][fields][node x S]
//      1 byte   2 bytes              1 byte               4 bytes  28 bytes
//
// so that the four bytes of each slot lie before the header, as the node
// operations expect. A slot's tag is kEmpty, kDeleted, or the low 7 bits of
// its member's hash. The header holds S in bits 4-17. The fields after it
// are the core's bookkeeping (references, live and used counts, growth
// limit, depth). A member's hash is known again from its tag and its two
// planes of hash bits, all but bit 7, which nothing in the core uses: the
// directory takes the top bits, the tag bits 0-6, the first group to probe
// bits 8-19. Lookups read only the tags and the nodes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "Kiva/HashMap2018VTable.h"

namespace Kiva::HashMap2018Layout {

inline constexpr std::uint32_t kGroupSlots = 16;
inline constexpr std::uint32_t kMinSlots = kGroupSlots;
// The largest array the node count of the header allows, in whole groups.
inline constexpr std::uint32_t kMaxArraySlots =
    HashMap2018BucketHdr::kMaxNodes / kGroupSlots * kGroupSlots;
// Bytes from the header to the first node.
inline constexpr std::size_t kHeaderBytes = 32;

inline constexpr std::uint8_t kEmpty = 0x80;
inline constexpr std::uint8_t kDeleted = 0xFE;
// The hash bits a member's tag holds.
inline constexpr std::uint32_t kTagMask = 0x7F;
// The hash bits that are never kept (see above).
inline constexpr std::uint32_t kUnkeptBit = 0x80;

inline std::uint8_t tagOf(std::uint32_t hash) {
  return static_cast<std::uint8_t>(hash & kTagMask);
}
inline bool isFull(std::uint8_t tag) {
  return (tag & 0x80) == 0;
}

// The bookkeeping words after the header.
struct Fields {
  HashMap2018BucketHdr hdr;
  std::uint32_t refs;   // the collection's reference and one per iterator
  std::uint32_t live;   // members
  std::uint32_t used;   // members and deleted slots
  std::uint32_t limit;  // used count at which the array must be rebuilt
  std::uint32_t depth;  // local depth: hash bits its members share
  std::uint32_t spare[2];
};
static_assert(sizeof(Fields) == kHeaderBytes);

inline Fields& fieldsOf(HashMap2018BucketHdr* h) {
  return *reinterpret_cast<Fields*>(h);
}
inline std::uint32_t slotsOf(HashMap2018BucketHdr const* h) {
  return h->nodeCount();
}
inline std::uint8_t* tagsOf(HashMap2018BucketHdr* h, std::uint32_t slots) {
  return reinterpret_cast<std::uint8_t*>(h) - std::size_t{4} * slots;
}
inline std::uint16_t* highBitsOf(HashMap2018BucketHdr* h, std::uint32_t slots) {
  return reinterpret_cast<std::uint16_t*>(tagsOf(h, slots) + slots);
}
inline std::uint8_t* middleBitsOf(HashMap2018BucketHdr* h, std::uint32_t slots) {
  return tagsOf(h, slots) + std::size_t{3} * slots;
}
inline char* nodesOf(HashMap2018BucketHdr* h) {
  return reinterpret_cast<char*>(h) + kHeaderBytes;
}

// The hash of the member in `slot` (a full slot), bit 7 clear.
inline std::uint32_t hashAt(HashMap2018BucketHdr* h, std::uint32_t slots, std::uint32_t slot) {
  return std::uint32_t{highBitsOf(h, slots)[slot]} << 16 |
         std::uint32_t{middleBitsOf(h, slots)[slot]} << 8 | tagsOf(h, slots)[slot];
}
inline void hashIs(HashMap2018BucketHdr* h, std::uint32_t slots, std::uint32_t slot,
                   std::uint32_t hash) {
  tagsOf(h, slots)[slot] = tagOf(hash);
  highBitsOf(h, slots)[slot] = static_cast<std::uint16_t>(hash >> 16);
  middleBitsOf(h, slots)[slot] = static_cast<std::uint8_t>(hash >> 8);
}

// The group a probe for `hash` starts at, of `groups` groups.
inline std::uint32_t firstGroup(std::uint32_t hash, std::uint32_t groups) {
  return (((hash >> 8) & 0xFFFu) * groups) >> 12;
}

inline constexpr std::size_t bytesFor(std::uint32_t slots, std::size_t nodeSize) {
  return std::size_t{4} * slots + kHeaderBytes + std::size_t{slots} * nodeSize;
}

// A directory entry: the header's address in bits 0-47 and the slot count in
// bits 48-63, so that tags and nodes are found without waiting for the header.
inline constexpr unsigned kEntrySlotShift = 48;
inline constexpr std::uint64_t kEntryAddressMask = (std::uint64_t{1} << kEntrySlotShift) - 1;

inline std::uint64_t entryFor(HashMap2018BucketHdr* h) {
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(h)) |
         (std::uint64_t{slotsOf(h)} << kEntrySlotShift);
}
inline HashMap2018BucketHdr* bucketOf(std::uint64_t entry) {
  return reinterpret_cast<HashMap2018BucketHdr*>(
      static_cast<std::uintptr_t>(entry & kEntryAddressMask));
}
inline std::uint32_t entrySlots(std::uint64_t entry) {
  return static_cast<std::uint32_t>(entry >> kEntrySlotShift);
}

// Bit i set when tag i of the group at `tags` is `tag`.
inline std::uint32_t matchTag(std::uint8_t const* tags, std::uint8_t tag) {
#if defined(__SSE2__)
  __m128i const group = _mm_loadu_si128(reinterpret_cast<__m128i const*>(tags));
  return static_cast<std::uint32_t>(
      _mm_movemask_epi8(_mm_cmpeq_epi8(group, _mm_set1_epi8(static_cast<char>(tag)))));
#else
  std::uint32_t mask = 0;
  for (std::uint32_t i = 0; i < kGroupSlots; ++i) mask |= std::uint32_t{tags[i] == tag} << i;
  return mask;
#endif
}

// Bit i set when slot i of the group is empty or deleted.
inline std::uint32_t matchFree(std::uint8_t const* tags) {
#if defined(__SSE2__)
  return static_cast<std::uint32_t>(
      _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<__m128i const*>(tags))));
#else
  std::uint32_t mask = 0;
  for (std::uint32_t i = 0; i < kGroupSlots; ++i) mask |= std::uint32_t{!isFull(tags[i])} << i;
  return mask;
#endif
}

// Bit i set when slot i of the group holds a member.
inline std::uint32_t matchFull(std::uint8_t const* tags) {
  return ~matchFree(tags) & 0xFFFFu;
}

inline std::uint32_t matchEmpty(std::uint8_t const* tags) {
  return matchTag(tags, kEmpty);
}

}  // namespace Kiva::HashMap2018Layout
