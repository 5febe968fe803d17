// Kiva::HashMap2018Generic: the type-erased core of the runtime's keyed
// collections, and Kiva::HashMap2018IteratorGeneric, its iterator.
//
// The core never looks inside a node and never hashes. Every keyed call takes
// the key's address and its 32-bit hash (HashHelper::KeyAndRhashSeedArg); all
// work on nodes (compare, construct, move within an array, build a new array,
// release an array) goes through the six node operations of the collection
// type's descriptor (HashMap2018VTable). Node destructors are never run: node
// types must be trivially destructible in effect.
//
// Structure
// ---------
// A directory of 2^depth entries, indexed by the top `depth` bits of the hash;
// each names a bucket array and its slot count, or is 0 for no members. Each
// bucket array is one allocation from Pooler::slabAllocOrStdMalloc:
//
//     [hash word x S][header][reference count][pad to 8][node x S]
//
// S is the array's slot count, held in bits 4-17 of the header (at most
// 16383); bits 18-31 hold the live count n. Members occupy slots 0..n-1 in
// ascending key order (as compareOrLruUnlink orders them), and hash word i is
// the hash of node i. The reference count is 1 for the collection's own hold
// plus one per iterator standing in the array; the array is released only
// through the descriptor's bktHdrRefDec, which frees it when no reference is
// left. An array with more than one reference is never changed in place: the
// collection builds a replacement instead, so an iterator's array is an
// unchanging snapshot.
//
// Arrays use the whole of the allocator's block: a full array grows by about
// half again; an array less than a third full after a deletion shrinks (well
// below what growth leaves, so that deletions do not rebuild it again and
// again); an empty array is released. The directory doubles when the members
// average more than 8 per entry (or, provided they average 2 or more, when an
// array would pass 32 members); doubling splits each array in two by the next
// hash bit, each half with room for twice its members, which is about what
// it holds when the directory next doubles: most inserts between two
// doublings then go in place. It halves, merging neighbouring arrays, when the
// members average fewer than 0.5 per entry. Memory is thus proportional to the
// member count, and lookup, insertion and deletion take O(1) on average,
// dense keys included, given a well-mixed hash (Kiva::hashSingleAttr).
//
// Lookup reads one directory entry, compares the array's hash words in groups
// of 16 without branching on them, and confirms a match with keyEqualsNode.
// Since the entry carries the slot count, the hash words are read without
// waiting for the header. The common case is inline below.
//
// Not thread-safe: callers serialise all use of one collection and of its
// iterators. Node operations must not call back into the collection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "Kiva/AllocTrack.h"
#include "Kiva/Hash.h"
#include "Kiva/HashMap2018VTable.h"

namespace Kiva {

// The tag value that builds an iterator at the end of any collection.
struct EndOfCollectionTag {
  explicit constexpr EndOfCollectionTag() = default;
};
inline constexpr EndOfCollectionTag EndOfCollection{};

// Where the parts of a bucket array lie, given its header.
namespace HashMap2018Layout {

inline constexpr std::uint32_t kSlotShift = 4;
inline constexpr std::uint32_t kLiveShift = 18;
inline constexpr std::uint32_t kMaxSlots = HashMap2018BucketHdr::kMaxNodes;

inline std::uint32_t slotsOf(std::uint32_t word) {
  return (word >> kSlotShift) & kMaxSlots;
}
inline std::uint32_t liveOf(std::uint32_t word) {
  return word >> kLiveShift;
}
inline std::uint32_t slotsOf(HashMap2018BucketHdr const* h) {
  return slotsOf(h->word);
}
inline std::uint32_t liveOf(HashMap2018BucketHdr const* h) {
  return liveOf(h->word);
}

inline std::uint32_t* hashes(HashMap2018BucketHdr* h, std::uint32_t slots) {
  return reinterpret_cast<std::uint32_t*>(h) - slots;
}
inline std::uint32_t* hashes(HashMap2018BucketHdr* h) {
  return hashes(h, slotsOf(h));
}

inline std::uint32_t& refs(HashMap2018BucketHdr* h) {
  return reinterpret_cast<std::uint32_t*>(h)[1];
}

// Nodes start at the first 8-byte boundary after the reference count; the
// allocation itself is 16-byte aligned.
inline char* nodes(HashMap2018BucketHdr* h, std::uint32_t slots) {
  return reinterpret_cast<char*>(h) + 8 + ((slots & 1u) << 2);
}
inline char* nodes(HashMap2018BucketHdr* h) {
  return nodes(h, slotsOf(h));
}

// Lookups compare hash words in groups of kScanWords without branching on
// their values. An array of up to kMaxScanSlots slots is at least as long as
// the groups that cover its slots, so that they may be read whole.
inline constexpr std::uint32_t kScanWords = 16;
inline constexpr std::uint32_t kMaxScanSlots = 2 * kScanWords;

// Bytes of an array of `slots` slots.
inline constexpr std::size_t bytesFor(std::uint32_t slots, std::uint32_t nodeSize) {
  std::size_t const bytes =
      std::size_t{4} * slots + 8 + ((slots & 1u) << 2) + std::size_t{slots} * nodeSize;
  std::uint32_t const groups = slots <= kMaxScanSlots ? (slots + kScanWords - 1) / kScanWords : 0;
  std::size_t const scanned = std::size_t{4} * kScanWords * (groups == 0 ? 1 : groups);
  return bytes < scanned ? scanned : bytes;
}

// A directory entry: the header's address in bits 0-47 and the array's slot
// count in bits 48-61, so that the hash words can be read without waiting for
// the header; 0 for no array.
inline constexpr unsigned kEntrySlotShift = 48;
inline constexpr std::uint64_t kEntryAddressMask = (std::uint64_t{1} << kEntrySlotShift) - 1;

inline std::uint64_t entryFor(HashMap2018BucketHdr* h) {
  return h == nullptr ? 0
                      : static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(h)) |
                            (std::uint64_t{slotsOf(h)} << kEntrySlotShift);
}
inline HashMap2018BucketHdr* bucketOf(std::uint64_t entry) {
  return reinterpret_cast<HashMap2018BucketHdr*>(
      static_cast<std::uintptr_t>(entry & kEntryAddressMask));
}
inline std::uint32_t entrySlots(std::uint64_t entry) {
  return static_cast<std::uint32_t>(entry >> kEntrySlotShift);
}

// Bit i set when word i of the kScanWords words at `words` equals `hash`.
inline std::uint32_t matchMask(std::uint32_t const* words, std::uint32_t hash) {
#if defined(__SSE2__)
  __m128i const h = _mm_set1_epi32(static_cast<int>(hash));
  auto const* p = reinterpret_cast<__m128i const*>(words);
  __m128i const m0 = _mm_cmpeq_epi32(_mm_loadu_si128(p + 0), h);
  __m128i const m1 = _mm_cmpeq_epi32(_mm_loadu_si128(p + 1), h);
  __m128i const m2 = _mm_cmpeq_epi32(_mm_loadu_si128(p + 2), h);
  __m128i const m3 = _mm_cmpeq_epi32(_mm_loadu_si128(p + 3), h);
  __m128i const bytes = _mm_packs_epi16(_mm_packs_epi32(m0, m1), _mm_packs_epi32(m2, m3));
  return static_cast<std::uint32_t>(_mm_movemask_epi8(bytes));
#else
  std::uint32_t w[kScanWords];
  std::memcpy(w, words, sizeof w);
  std::uint32_t mask = 0;
  for (std::uint32_t i = 0; i < kScanWords; ++i) mask |= std::uint32_t{w[i] == hash} << i;
  return mask;
#endif
}

}  // namespace HashMap2018Layout

class HashMap2018IteratorGeneric;

class HashMap2018Generic {
 public:
  // `vt`: the collection type's descriptor; the destructor uses it to release
  // what the owner left. `initialSizeIndex`: the directory starts with
  // 2^initialSizeIndex entries (at most 2^16) and never halves below that.
  // `allocateNow`: build the directory at once rather than at the first insert;
  // with false (what owners pass) an empty collection holds no memory.
  HashMap2018Generic(HashMap2018VTable const* vt, std::uint32_t initialSizeIndex, bool allocateNow);
  HashMap2018Generic(HashMap2018Generic const&) = delete;
  HashMap2018Generic& operator=(HashMap2018Generic const&) = delete;
  // Releases whatever is left (owners normally call emptyAllBuckets first).
  ~HashMap2018Generic();

  // The member whose key is k.key, or null. Never inserts.
  void* lookupNodeG(HashMap2018VTable const* vt, HashHelper::KeyAndRhashSeedArg const& k) const;

  // lookupNodeG for a caller that knows the node type: `nodeSize` is the
  // descriptor's node size and `equals(node)` tells whether a node's key is
  // k.key, in place of the descriptor's keyEqualsNode, so that the common case
  // reads nothing from the descriptor and makes no indirect call. The
  // descriptor, `vt()`, is asked for only by the uncommon cases, which take
  // lookupNodeG's own path. Same result as lookupNodeG.
  template <class KeyEquals>
  void* lookupNodeTyped(HashMap2018VTable const& (*vt)(), HashHelper::KeyAndRhashSeedArg const& k,
                        std::size_t nodeSize, KeyEquals&& equals) const;

  // Inserts a copy of `node`, a fully built node whose key is k.key and whose
  // hash is k.hash, and returns the member in its array. The key must not be a
  // member: inserting a present key stops the process. Throws std::bad_alloc,
  // leaving the collection unchanged, when no memory can be had.
  void* newMemberG(HashMap2018VTable const* vt, HashHelper::KeyAndRhashSeedArg const& k,
                   void* node);

  // Removes the member whose key is k.key. When `removedStorage` is not null
  // the removed node is first constructed there with `place`. Returns whether
  // a member was removed.
  bool deleteMemberG(HashMap2018VTable const* vt, HashHelper::KeyAndRhashSeedArg const& k,
                     void* removedStorage);

  // Removes every member and returns the collection to its initial state.
  void _memberDelAll(HashMap2018VTable const* vt);

  // Releases every bucket array. With `releaseDirectory` the directory goes
  // too and the collection holds no memory (owners pass true before
  // destruction); without, the directory keeps its size for a refill.
  void emptyAllBuckets(HashMap2018VTable const* vt, bool releaseDirectory);

  std::uint32_t memberCount() const { return count_; }
  // Node slots allocated over all the collection's bucket arrays: the members
  // plus the free slots kept for growth. Never less than memberCount().
  std::uint32_t allocatedSlots() const { return slots_; }
  // Entries of the directory (0 while the collection holds no directory).
  std::uint32_t directorySize() const {
    return dir_ == noBuckets_ ? 0 : std::uint32_t{1} << depth_;
  }

  // The core reports one allocation of sizeof(HashMap2018BucketHdr) to this
  // tracker per bucket array it creates; the descriptor's bktHdrRefDec reports
  // the release with the same figures.
  static AllocTrackTypeInfo bucketHeaderTracker_;

 private:
  friend class HashMap2018IteratorGeneric;
  class RunList;

  std::uint32_t bucketIndex(std::uint32_t hash) const {
    return static_cast<std::uint32_t>(std::uint64_t{hash} >> shift_);
  }
  HashMap2018BucketHdr* bucketAt(std::uint32_t index) const {
    return HashMap2018Layout::bucketOf(dir_[index]);
  }
  void bucketAtIs(std::uint32_t index, HashMap2018BucketHdr* h) {
    dir_[index] = HashMap2018Layout::entryFor(h);
  }
  void directoryAlloc(std::uint32_t depth);
  void directoryFree();
  bool directoryDouble(HashMap2018VTable const* vt);
  bool directoryHalve(HashMap2018VTable const* vt);
  HashMap2018BucketHdr* bucketNew(HashMap2018VTable const* vt, std::uint32_t slots,
                                  RunList const& runs);
  void bucketRelease(HashMap2018VTable const* vt, HashMap2018BucketHdr* h);
  // Lookup in any array, every hash match confirmed: big arrays and equal hashes.
  void* lookupSlowG(HashMap2018VTable const* vt, HashHelper::KeyAndRhashSeedArg const& k) const;
  // The lookup both public forms share: `equals` confirms a node, and
  // `descriptor` gives the descriptor for the out-of-line rest.
  template <class KeyEquals, class Descriptor>
  void* lookupWith(HashHelper::KeyAndRhashSeedArg const& k, std::size_t nodeSize,
                   KeyEquals&& equals, Descriptor&& descriptor) const;
  std::uint32_t insertPosition(HashMap2018VTable const* vt, HashMap2018BucketHdr* h,
                               HashHelper::KeyAndRhashSeedArg const& k) const;

  // The directory of an empty collection: one empty entry, never written.
  static std::uint64_t noBuckets_[1];

  std::uint64_t* dir_ = noBuckets_;  // 2^depth_ entries (HashMap2018Layout::entryFor)
  HashMap2018VTable const* vt_;
  std::uint32_t count_ = 0;
  std::uint32_t slots_ = 0;
  std::uint8_t depth_ = 0;   // the directory has 2^depth_ entries
  std::uint8_t shift_ = 32;  // 32 - depth_
  std::uint8_t initialDepth_;
};

inline void* HashMap2018Generic::lookupNodeG(HashMap2018VTable const* vt,
                                             HashHelper::KeyAndRhashSeedArg const& k) const {
  KeyEqualsNodeFn const equals = vt->keyEqualsNode();
  return lookupWith(
      k, vt->nodeSize, [&](void const* node) { return equals(k.key, node); }, [vt] { return vt; });
}

template <class KeyEquals>
inline void* HashMap2018Generic::lookupNodeTyped(HashMap2018VTable const& (*vt)(),
                                                 HashHelper::KeyAndRhashSeedArg const& k,
                                                 std::size_t nodeSize, KeyEquals&& equals) const {
  return lookupWith(k, nodeSize, equals, [vt] { return &vt(); });
}

template <class KeyEquals, class Descriptor>
inline void* HashMap2018Generic::lookupWith(HashHelper::KeyAndRhashSeedArg const& k,
                                            std::size_t nodeSize, KeyEquals&& equals,
                                            Descriptor&& descriptor) const {
  std::uint64_t const entry = dir_[bucketIndex(k.hash)];
  if (entry == 0) return nullptr;
  std::uint32_t const slots = HashMap2018Layout::entrySlots(entry);
  if (slots <= 2 * HashMap2018Layout::kScanWords) {
    // The usual case, kept short: compare whole groups of hash words without
    // branching on their values, so that one lookup does not hold up the
    // memory loads of the next, and confirm the first match.
    HashMap2018BucketHdr* const h = HashMap2018Layout::bucketOf(entry);
    std::uint32_t const* const hashes = HashMap2018Layout::hashes(h, slots);
    std::uint64_t mask = HashMap2018Layout::matchMask(hashes, k.hash);
    if (slots > HashMap2018Layout::kScanWords) {
      mask |= std::uint64_t{HashMap2018Layout::matchMask(hashes + HashMap2018Layout::kScanWords,
                                                         k.hash)}
              << HashMap2018Layout::kScanWords;
    }
    mask &= (std::uint64_t{1} << HashMap2018Layout::liveOf(h)) - 1;
    if (mask == 0) return nullptr;
    void* const node = HashMap2018Layout::nodes(h, slots) +
                       static_cast<std::size_t>(__builtin_ctzll(mask)) * nodeSize;
    if (equals(static_cast<void const*>(node))) return node;
  }
  // Big arrays, and a first hash match that was not the key.
  return lookupSlowG(descriptor(), k);
}

// An iterator over one collection.
//
// Order: members are visited in ascending order of (hash, key). The order does
// not depend on the directory's size or on how members are spread over
// bucket arrays, so no restructuring of the collection moves the iterator
// relative to the members.
//
// Position: the iterator stands on one member (or at the end) and holds a
// reference to that member's bucket array. Since an array with references is
// never changed in place, the node it stands on stays readable, with its key,
// whatever happens to the collection.
//
// Changes to the collection during a walk:
//  - Removing the member the iterator stands on (through the collection) is
//    allowed: currNodeMaybeStale() still returns the removed node's copy, and
//    advance() moves to the member that followed it.
//  - Removing any other member is allowed; a member removed before the walk
//    reaches it is not visited.
//  - Inserting is allowed: a member inserted after the iterator's position is
//    visited, one inserted before it is not.
//  - _memberDelAll and emptyAllBuckets are allowed; the walk then ends.
// In every case each member present for the whole walk is visited exactly
// once. The collection must outlive any use of the iterator except its
// destruction, which only needs the descriptor.
class HashMap2018IteratorGeneric {
 public:
  // At the end.
  HashMap2018IteratorGeneric() noexcept = default;
  explicit HashMap2018IteratorGeneric(EndOfCollectionTag) noexcept {}
  // At the first member of `collection`, or at the end when it is empty.
  HashMap2018IteratorGeneric(HashMap2018Generic const* collection, HashMap2018VTable const* vt);
  // At the member whose key is k.key, or at the end when it is absent.
  HashMap2018IteratorGeneric(HashMap2018Generic const* collection, HashMap2018VTable const* vt,
                             HashHelper::KeyAndRhashSeedArg const& k);

  HashMap2018IteratorGeneric(HashMap2018IteratorGeneric const& other) noexcept;
  HashMap2018IteratorGeneric(HashMap2018IteratorGeneric&& other) noexcept;
  HashMap2018IteratorGeneric& operator=(HashMap2018IteratorGeneric const& other) noexcept;
  HashMap2018IteratorGeneric& operator=(HashMap2018IteratorGeneric&& other) noexcept;
  ~HashMap2018IteratorGeneric();

  // Moves to the first member after the current position, or to the end. At
  // the end it does nothing.
  void advance();

  // The current member as it is in the collection now; null at the end. When
  // the member the iterator stood on has been removed, the iterator first
  // moves on to the member that followed it (or to the end).
  void* currNodeNonStale() const;

  // The node the iterator stands on, without looking at the collection: when
  // that member has since been removed or replaced, a read-only copy of it as
  // it was. Null at the end.
  void* currNodeMaybeStale() const noexcept {
    return hdr_ == nullptr ? nullptr
                           : HashMap2018Layout::nodes(hdr_) + std::size_t{slot_} * vt_->nodeSize;
  }

  // Equal when both are at the end, or both stand on the same position (hash
  // and key) of the same collection.
  bool operator==(HashMap2018IteratorGeneric const& other) const;

 private:
  bool relocate() const;
  void step() const;
  std::int32_t successorIn(HashMap2018BucketHdr* h) const;
  void moveTo(HashMap2018BucketHdr* h, std::uint32_t slot) const;
  void release() const;

  HashMap2018Generic const* coll_ = nullptr;
  HashMap2018VTable const* vt_ = nullptr;
  // The array holding the current node, referenced by this iterator; null at
  // the end. Mutable: looking at the collection may move the iterator.
  mutable HashMap2018BucketHdr* hdr_ = nullptr;
  mutable std::uint32_t slot_ = 0;
  mutable std::uint32_t hash_ = 0;
};

}  // namespace Kiva
