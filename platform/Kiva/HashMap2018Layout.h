// Kiva::HashMap2018Layout: where the parts of a bucket array of the keyed
// collection core lie, and the group-at-a-time tag matching that lookups use.
//
// A bucket array holds up to C nodes (its header's node count, at most
// kMaxNodes) densely, in the order they came, and finds them through a table
// of G groups of 16 slots. It is one allocation:
//
//     [hash word x C][header][fields][group x G][node x C]
//      4 bytes        4 bytes 28 bytes 48 bytes
//
// so that the four bytes of each node lie before the header, as the node
// operations expect. A node's hash word is its member's hash with bit 7 set
// once the member is removed (a hole: positions are never reused within an
// array). A group is 16 one-byte tags (kEmpty, kDeleted, or the low 7 bits
// of the member's hash) followed by 16 two-byte node numbers, so that a
// lookup finds a slot's node in the cache line of its tags. The fields
// after the header are the core's bookkeeping (references, counts, depth).
// Nothing in the core uses hash bit 7: the directory takes the top bits, the
// tag bits 0-6, the first group to probe bits 8-19.
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
inline constexpr std::size_t kGroupBytes = 3 * kGroupSlots;
// The largest node count of an array, a multiple of 4 (so that the nodes
// after the header keep its 8-byte alignment and more).
inline constexpr std::uint32_t kMaxNodes = HashMap2018BucketHdr::kMaxNodes / 4 * 4;
// Bytes from the header to the group table.
inline constexpr std::size_t kHeaderBytes = 32;
// At most this share (in sixteenths) of a group table's slots ever holds a
// tag that is not empty: an array of C nodes has at least C * 16 / 14 slots.
inline constexpr std::uint32_t kTagLoadSixteenths = 14;

inline constexpr std::uint8_t kEmpty = 0x80;
inline constexpr std::uint8_t kDeleted = 0xFE;
// The hash bits a member's tag holds.
inline constexpr std::uint32_t kTagMask = 0x7F;
// The hash bit a hash word uses to mark a removed member.
inline constexpr std::uint32_t kHoleBit = 0x80;

inline std::uint8_t tagOf(std::uint32_t hash) {
  return static_cast<std::uint8_t>(hash & kTagMask);
}
inline bool isFull(std::uint8_t tag) {
  return (tag & 0x80) == 0;
}

// The bookkeeping words after the header.
struct Fields {
  HashMap2018BucketHdr hdr;
  std::uint32_t refs;    // the collection's reference and one per iterator
  std::uint32_t live;    // members
  std::uint32_t top;     // node positions used (members and holes)
  std::uint32_t groups;  // groups of the table
  std::uint32_t depth;   // local depth: hash bits its members share
  std::uint32_t spare[2];
};
static_assert(sizeof(Fields) == kHeaderBytes);

inline Fields& fieldsOf(HashMap2018BucketHdr* h) {
  return *reinterpret_cast<Fields*>(h);
}
inline std::uint32_t capacityOf(HashMap2018BucketHdr const* h) {
  return h->nodeCount();
}
inline std::uint32_t* hashWordsOf(HashMap2018BucketHdr* h) {
  return reinterpret_cast<std::uint32_t*>(h) - capacityOf(h);
}
inline std::uint8_t* tableOf(HashMap2018BucketHdr* h) {
  return reinterpret_cast<std::uint8_t*>(h) + kHeaderBytes;
}
inline HashMap2018BucketHdr* headerOfTable(std::uint8_t* table) {
  return reinterpret_cast<HashMap2018BucketHdr*>(table - kHeaderBytes);
}
inline std::uint8_t* groupAt(std::uint8_t* table, std::uint32_t g) {
  return table + std::size_t{g} * kGroupBytes;
}
// The node numbers of a group.
inline std::uint16_t* numbersOf(std::uint8_t* group) {
  return reinterpret_cast<std::uint16_t*>(group + kGroupSlots);
}
inline char* nodesOf(std::uint8_t* table, std::uint32_t groups) {
  return reinterpret_cast<char*>(table + std::size_t{groups} * kGroupBytes);
}
inline char* nodesOf(HashMap2018BucketHdr* h) {
  return nodesOf(tableOf(h), fieldsOf(h).groups);
}

// Groups for an array of `capacity` nodes.
inline constexpr std::uint32_t groupsFor(std::uint32_t capacity) {
  std::uint32_t const perGroup = kTagLoadSixteenths;
  return capacity == 0 ? 1 : (capacity + perGroup - 1) / perGroup;
}
inline constexpr std::size_t bytesFor(std::uint32_t capacity, std::size_t nodeSize) {
  return std::size_t{4} * capacity + kHeaderBytes + kGroupBytes * groupsFor(capacity) +
         std::size_t{capacity} * nodeSize;
}

// The group a probe for `hash` starts at, of `groups` groups.
inline std::uint32_t firstGroup(std::uint32_t hash, std::uint32_t groups) {
  return (((hash >> 8) & 0xFFFu) * groups) >> 12;
}

// A directory entry: the group table's address in bits 0-47 and the group
// count in bits 48-63, so that a lookup finds tags and nodes without waiting
// for the header.
inline constexpr unsigned kEntryGroupShift = 48;
inline constexpr std::uint64_t kEntryAddressMask = (std::uint64_t{1} << kEntryGroupShift) - 1;

inline std::uint64_t entryFor(HashMap2018BucketHdr* h) {
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(tableOf(h))) |
         (std::uint64_t{fieldsOf(h).groups} << kEntryGroupShift);
}
inline std::uint8_t* entryTable(std::uint64_t entry) {
  return reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(entry & kEntryAddressMask));
}
inline HashMap2018BucketHdr* bucketOf(std::uint64_t entry) {
  return headerOfTable(entryTable(entry));
}
inline std::uint32_t entryGroups(std::uint64_t entry) {
  return static_cast<std::uint32_t>(entry >> kEntryGroupShift);
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

inline std::uint32_t matchEmpty(std::uint8_t const* tags) {
  return matchTag(tags, kEmpty);
}

}  // namespace Kiva::HashMap2018Layout
