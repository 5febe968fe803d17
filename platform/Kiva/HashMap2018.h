// Kiva::HashMap2018Generic: the type-erased core of the runtime's keyed
// collections, and Kiva::HashMap2018IteratorGeneric, its iterator.
//
// The core never looks inside a node and never hashes. Every keyed call takes
// the key's address and its 32-bit hash (HashHelper::KeyAndRhashSeedArg); all
// work on nodes (compare, construct, release an array) goes through the node
// operations of the collection type's descriptor (HashMap2018VTable). Node
// destructors are never run: node types must be trivially destructible in
// effect.
//
// Design
// ------
// Extendible hashing over small open-addressed bucket arrays.
//
// The directory has 2^G entries (G >= 1), indexed by the top G bits of the
// hash. Each entry names a bucket array and its slot count, or is 0 when no
// member has a hash with that prefix. An array has a local depth d <= G: all
// its members share the top d hash bits, and it is named by the 2^(G-d)
// consecutive entries of that prefix. Growth is local: a full array splits
// in two by its next hash bit (bit d from the top), touching no other array;
// only when d = G does the directory double first, and doubling copies entry
// words, never arrays. An array that would outgrow the directory's allowance
// (at most max(1024, 2 x members) entries) grows in place of a split instead,
// so that no key set, however its hashes cluster, blows the directory up; an
// array at the largest size always splits.
//
// A bucket array is one allocation from Pooler::slabAllocOrStdMalloc:
//
//     [hash word x S][header][references][depth][free word][node x S]
//
// S, a power of two from 4 to 8192, is the slot count, held in bits 4-17 of
// the header; bits 18-31 hold the live count. Hash word i is the full 32-bit
// hash of the member in slot i, or the array's free-slot word: all ones when
// the array's hashes have their top bit clear, zero when it is set (kept in
// the free word). Since every array's depth is at least 1, that word is
// never the hash of a key looked up in it. The depth word holds the local
// depth.
//
// Placement: a member has two home slots, from the hash's low bits and from
// its bits 7 up (the directory uses the top ones). It goes to the first of
// them that is free, else to the first free slot; a first home slot taken by
// a member that is not at one of its own homes there is handed to its owner,
// that member moving to a free slot (but never while an iterator holds the
// array). Removal frees the slot's hash word and leaves the node's bytes as
// they are.
//
// Lookup: one directory read, then the first home slot's hash word and node,
// which the processor loads side by side since both addresses come from the
// directory entry alone; on a hit (about three lookups in four) that is the
// whole cost, with no indirect call; then the second home slot likewise
// (about one in eight). Otherwise every hash word of the array is compared,
// 16 at a time, and each match confirmed by the key (small arrays: one or
// two groups). The common cases are inline below.
//
// Sizes: a new array starts with 4 slots and doubles when 7/8 full, up to 32;
// an array of 32 or more slots with one slot in 32 left free splits, each
// half getting room for twice its members. So between two splits of an array about half its slots
// fill without any allocation, and memory stays proportional to the member count. Rebuilding an
// array (growth, split, shrink, merge) reports the new array once to the node type's tracker and
// moves each node with `place`.
//
// Deletion frees the slot. An array left empty is released; an array left
// less than 1/8 full is rebuilt at twice its members; two buddy arrays of the
// same depth holding two members or fewer merge (eight, once the directory
// has more than 4 entries per member, when each deletion also looks at a few
// more entries for buddies to merge). The directory halves when no array is
// as deep as it. Bound: every array in the directory has at most 8
// slots per member (a lone member: 4), so allocatedSlots() never exceeds
// 8 x memberCount() (unless memory for a smaller array could not be had).
//
// Arrays that an iterator stands in (reference count above 1) are changed in
// place only by insertion into a free slot, by freeing slots and by changes
// of depth, none of which moves a member; a change that would move members
// (growth, split, shrink, merge) builds new arrays and leaves the referenced
// one as it was, so that the iterator can finish it (see the iterator). A
// bulk removal walk thus rebuilds an array at most a few times, never once
// per removal.
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
inline constexpr std::uint32_t kFieldMask = HashMap2018BucketHdr::kMaxNodes;
// Array sizes: powers of two in [kMinSlots, kMaxSlots]. Arrays grow up to
// kSplitSlots; past that a full array splits (unless the directory's
// allowance is spent).
inline constexpr std::uint32_t kMinSlots = 4;
inline constexpr std::uint32_t kSplitSlots = 32;
inline constexpr std::uint32_t kMaxSlots = 8192;
static_assert(kMaxSlots <= HashMap2018BucketHdr::kMaxNodes);
// Bytes from the header to the first node: header, references, depth, spare.
inline constexpr std::size_t kHeaderBytes = 16;
// Hash words are compared in groups of this many.
inline constexpr std::uint32_t kGroupWords = 16;

inline std::uint32_t slotsOf(std::uint32_t word) {
  return (word >> kSlotShift) & kFieldMask;
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
inline std::uint32_t& depthOf(HashMap2018BucketHdr* h) {
  return reinterpret_cast<std::uint32_t*>(h)[2];
}
// The array's free-slot word (freeWordFor any of its hashes).
inline std::uint32_t& freeWordOf(HashMap2018BucketHdr* h) {
  return reinterpret_cast<std::uint32_t*>(h)[3];
}
// Nodes start 16 bytes after the header, 16-byte aligned (the allocation is,
// and 4 x S is a multiple of 16).
inline char* nodes(HashMap2018BucketHdr* h) {
  return reinterpret_cast<char*>(h) + kHeaderBytes;
}

// A member's two home slots in an array of `slots` slots: the hash's low
// bits, and the bits from 7 up (the directory uses the top ones).
inline constexpr std::uint32_t kSecondHomeShift = 7;
inline std::uint32_t homeOf(std::uint32_t hash, std::uint32_t slots) {
  return hash & (slots - 1);
}
inline std::uint32_t secondHomeOf(std::uint32_t hash, std::uint32_t slots) {
  return (hash >> kSecondHomeShift) & (slots - 1);
}
// Whether `slot` is one of the home slots of the member whose hash is `word`.
inline bool isHome(std::uint32_t word, std::uint32_t slot, std::uint32_t slots) {
  return homeOf(word, slots) == slot || secondHomeOf(word, slots) == slot;
}

// The hash word of a free slot in an array holding hashes whose top bit is
// that of `hash`.
inline constexpr std::uint32_t freeWordFor(std::uint32_t hash) {
  return (hash >> 31) != 0 ? 0u : ~0u;
}

// Bytes of an array of `slots` slots. At least one whole group of hash
// words may be read from its start, so that small arrays are compared in one
// group without a bounds test.
inline constexpr std::size_t bytesFor(std::uint32_t slots, std::uint32_t nodeSize) {
  std::size_t const bytes = std::size_t{4} * slots + kHeaderBytes + std::size_t{slots} * nodeSize;
  return bytes < 4 * kGroupWords ? 4 * kGroupWords : bytes;
}

// A directory entry: the header's address in bits 0-47 and the array's slot
// count in bits 48-63, so that the hash words and nodes can be found without
// waiting for the header; 0 for no array.
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

// Bit i set when word i of the kGroupWords words at `words` equals `value`.
inline std::uint32_t matchMask(std::uint32_t const* words, std::uint32_t value) {
#if defined(__SSE2__)
  __m128i const v = _mm_set1_epi32(static_cast<int>(value));
  auto const* p = reinterpret_cast<__m128i const*>(words);
  __m128i const m0 = _mm_cmpeq_epi32(_mm_loadu_si128(p + 0), v);
  __m128i const m1 = _mm_cmpeq_epi32(_mm_loadu_si128(p + 1), v);
  __m128i const m2 = _mm_cmpeq_epi32(_mm_loadu_si128(p + 2), v);
  __m128i const m3 = _mm_cmpeq_epi32(_mm_loadu_si128(p + 3), v);
  __m128i const bytes = _mm_packs_epi16(_mm_packs_epi32(m0, m1), _mm_packs_epi32(m2, m3));
  return static_cast<std::uint32_t>(_mm_movemask_epi8(bytes));
#else
  std::uint32_t w[kGroupWords];
  std::memcpy(w, words, sizeof w);
  std::uint32_t mask = 0;
  for (std::uint32_t i = 0; i < kGroupWords; ++i) mask |= std::uint32_t{w[i] == value} << i;
  return mask;
#endif
}

// Bit i set when word i of the kGroupWords words at `words` has `bit` set.
inline std::uint32_t bitMask(std::uint32_t const* words, std::uint32_t bit) {
#if defined(__SSE2__)
  __m128i const b = _mm_set1_epi32(static_cast<int>(bit));
  __m128i const zero = _mm_setzero_si128();
  auto const* p = reinterpret_cast<__m128i const*>(words);
  __m128i const m0 = _mm_cmpeq_epi32(_mm_and_si128(_mm_loadu_si128(p + 0), b), zero);
  __m128i const m1 = _mm_cmpeq_epi32(_mm_and_si128(_mm_loadu_si128(p + 1), b), zero);
  __m128i const m2 = _mm_cmpeq_epi32(_mm_and_si128(_mm_loadu_si128(p + 2), b), zero);
  __m128i const m3 = _mm_cmpeq_epi32(_mm_and_si128(_mm_loadu_si128(p + 3), b), zero);
  __m128i const bytes = _mm_packs_epi16(_mm_packs_epi32(m0, m1), _mm_packs_epi32(m2, m3));
  return ~static_cast<std::uint32_t>(_mm_movemask_epi8(bytes)) & 0xFFFFu;
#else
  std::uint32_t mask = 0;
  for (std::uint32_t i = 0; i < kGroupWords; ++i) mask |= std::uint32_t{(words[i] & bit) != 0} << i;
  return mask;
#endif
}

// Bit i set when slot `first` + i of an array of `slots` slots holds a member
// (its hash word is not `freeWord`), for the group of up to kGroupWords slots
// from `first`.
inline std::uint32_t occupiedMask(std::uint32_t const* words, std::uint32_t first,
                                  std::uint32_t slots, std::uint32_t freeWord) {
  std::uint32_t const valid = slots - first >= kGroupWords ? 0xFFFFu : (1u << (slots - first)) - 1;
  return ~matchMask(words + first, freeWord) & valid;
}

// Bit i set when hash word i of an array of `slots` slots (at most 32) is
// `value`: one or two group compares, no loop.
inline std::uint32_t smallArrayMask(std::uint32_t const* words, std::uint32_t slots,
                                    std::uint32_t value) {
  std::uint32_t mask = matchMask(words, value);
  if (slots > kGroupWords) {
    mask |= matchMask(words + kGroupWords, value) << kGroupWords;
    return mask;
  }
  return mask & ((1u << slots) - 1);
}

// Calls f(slot) for each slot of the `slots` hash words at `words` whose word
// is `value`, in slot order, until f returns true; returns that slot, or -1.
template <class F>
inline std::int32_t forEachMatch(std::uint32_t const* words, std::uint32_t slots,
                                 std::uint32_t value, F&& f) {
  if (slots <= 2 * kGroupWords) {
    for (std::uint32_t mask = smallArrayMask(words, slots, value); mask != 0; mask &= mask - 1) {
      std::uint32_t const slot = static_cast<std::uint32_t>(__builtin_ctz(mask));
      if (f(slot)) return static_cast<std::int32_t>(slot);
    }
    return -1;
  }
  for (std::uint32_t g = 0; g < slots; g += kGroupWords) {
    for (std::uint32_t mask = matchMask(words + g, value); mask != 0; mask &= mask - 1) {
      std::uint32_t const slot = g + static_cast<std::uint32_t>(__builtin_ctz(mask));
      if (f(slot)) return static_cast<std::int32_t>(slot);
    }
  }
  return -1;
}

}  // namespace HashMap2018Layout

class HashMap2018IteratorGeneric;

class HashMap2018Generic {
 public:
  // `vt`: the collection type's descriptor; the destructor uses it to release
  // what the owner left. `initialSizeIndex`: the directory starts with
  // 2^initialSizeIndex entries (at least 2, at most 2^16) and never halves
  // below that. `allocateNow`: build the directory at once rather than at the
  // first insert; with false (what owners pass) an empty collection holds no
  // memory.
  HashMap2018Generic(HashMap2018VTable const* vt, std::uint32_t initialSizeIndex, bool allocateNow);
  HashMap2018Generic(HashMap2018Generic const&) = delete;
  HashMap2018Generic& operator=(HashMap2018Generic const&) = delete;
  // Releases whatever is left (owners normally call emptyAllBuckets first).
  ~HashMap2018Generic();

  // The member whose key is k.key, or null. Never inserts.
  void* lookupNodeG(HashMap2018VTable const* vt, HashHelper::KeyAndRhashSeedArg const& k) const;

  // lookupNodeG for a caller that knows the node type: `nodeSize` is the
  // descriptor's node size and `equals(node)` tells whether a node's key is
  // k.key, in place of the descriptor's keyEqualsNode, so that no path reads
  // the descriptor or makes an indirect call. Same result as lookupNodeG.
  template <class KeyEquals>
  void* lookupNodeTyped(HashHelper::KeyAndRhashSeedArg const& k, std::size_t nodeSize,
                        KeyEquals&& equals) const;

  // Inserts a copy of `node`, a fully built node whose key is k.key and whose
  // hash is k.hash, and returns the member in its array. The key must not be a
  // member (checked in builds without NDEBUG: inserting a present key stops
  // the process). Throws std::bad_alloc, leaving the collection unchanged,
  // when no memory can be had.
  void* newMemberG(HashMap2018VTable const* vt, HashHelper::KeyAndRhashSeedArg const& k,
                   void* node);

  // Removes the member whose key is k.key. When `removedStorage` is not null
  // the removed node is first constructed there with `place`. Returns whether
  // a member was removed.
  bool deleteMemberG(HashMap2018VTable const* vt, HashHelper::KeyAndRhashSeedArg const& k,
                     void* removedStorage);

  // Removes `node`, a member that a lookup of a key of hash `hash` returned
  // (and nothing has changed the collection since), without looking it up
  // again. The node's array may be released on the way: read what is needed
  // of the node first.
  void deleteNodeG(HashMap2018VTable const* vt, std::uint32_t hash, void* node);

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

  std::uint32_t bucketIndex(std::uint32_t hash) const {
    return static_cast<std::uint32_t>(std::uint64_t{hash} >> shift_);
  }
  HashMap2018BucketHdr* bucketAt(std::uint32_t index) const {
    return HashMap2018Layout::bucketOf(dir_[index]);
  }
  // First entry and entry count of the range an array of depth `depth` covers
  // around entry `index`.
  std::uint32_t rangeStart(std::uint32_t index, std::uint32_t depth) const {
    return index & ~((std::uint32_t{1} << (depth_ - depth)) - 1);
  }
  std::uint32_t rangeSize(std::uint32_t depth) const {
    return std::uint32_t{1} << (depth_ - depth);
  }
  void rangeIs(std::uint32_t start, std::uint32_t size, HashMap2018BucketHdr* h);

  void directoryAlloc(std::uint32_t depth);
  void directoryFree();
  bool directoryMayDouble() const;
  void directoryDouble();
  void directoryHalve();

  HashMap2018BucketHdr* arrayNew(HashMap2018VTable const* vt, std::uint32_t slots,
                                 std::uint32_t depth, std::uint32_t hash);
  void arrayRelease(HashMap2018VTable const* vt, HashMap2018BucketHdr* h);
  void depthIs(HashMap2018BucketHdr* h, std::uint32_t depth);
  void* placeIn(HashMap2018VTable const* vt, HashMap2018BucketHdr* h, std::uint32_t hash,
                void* node, bool move);
  [[gnu::noinline]] void* placeAway(HashMap2018VTable const* vt, HashMap2018BucketHdr* h,
                                    std::uint32_t hash, void* node, bool move);
  void placeAll(HashMap2018VTable const* vt, HashMap2018BucketHdr* from, HashMap2018BucketHdr* to);
  HashMap2018BucketHdr* arrayForEmptyRange(HashMap2018VTable const* vt, std::uint32_t hash);

  // Each takes the array and the hash of a member that belongs in it.
  void makeRoom(HashMap2018VTable const* vt, std::uint32_t hash, HashMap2018BucketHdr* h);
  void rebuild(HashMap2018VTable const* vt, std::uint32_t hash, HashMap2018BucketHdr* h,
               std::uint32_t slots);
  void split(HashMap2018VTable const* vt, std::uint32_t hash, HashMap2018BucketHdr* h);
  bool tidyNeeded(HashMap2018BucketHdr* h) const;
  [[gnu::noinline]] void afterDelete(HashMap2018VTable const* vt, std::uint32_t hash,
                                     HashMap2018BucketHdr* h);
  bool mergeWithBuddy(HashMap2018VTable const* vt, std::uint32_t hash, HashMap2018BucketHdr* h);
  void sweep(HashMap2018VTable const* vt);

  // Slot of the member whose key is k.key in `h`, or -1, every hash match
  // confirmed by `equals`.
  template <class KeyEquals>
  static std::int32_t slotOf(HashMap2018BucketHdr* h, std::uint32_t slots, std::uint32_t hash,
                             std::size_t nodeSize, KeyEquals&& equals);
  // The lookup after a miss at the home slot.
  template <class KeyEquals>
  [[gnu::noinline]] void* lookupRest(std::uint64_t entry, std::uint32_t hash, std::size_t nodeSize,
                                     KeyEquals&& equals) const;

  // The directory of an empty collection: one empty entry, never written.
  static std::uint64_t noBuckets_[1];

  std::uint64_t* dir_ = noBuckets_;  // 2^depth_ entries (HashMap2018Layout::entryFor)
  HashMap2018VTable const* vt_;
  std::uint32_t count_ = 0;
  std::uint32_t slots_ = 0;
  std::uint32_t deepestArrays_ = 0;  // arrays whose depth is depth_
  std::uint32_t sweep_ = 0;          // where the sparse directory's sweep goes on
  std::uint8_t depth_ = 0;           // the directory has 2^depth_ entries
  std::uint8_t shift_ = 32;          // 32 - depth_
  std::uint8_t initialDepth_;
};

template <class KeyEquals>
inline std::int32_t HashMap2018Generic::slotOf(HashMap2018BucketHdr* h, std::uint32_t slots,
                                               std::uint32_t hash, std::size_t nodeSize,
                                               KeyEquals&& equals) {
  char const* const base = HashMap2018Layout::nodes(h);
  return HashMap2018Layout::forEachMatch(
      HashMap2018Layout::hashes(h, slots), slots, hash,
      [&](std::uint32_t slot) { return equals(static_cast<void const*>(base + slot * nodeSize)); });
}

template <class KeyEquals>
void* HashMap2018Generic::lookupRest(std::uint64_t entry, std::uint32_t hash, std::size_t nodeSize,
                                     KeyEquals&& equals) const {
  HashMap2018BucketHdr* const h = HashMap2018Layout::bucketOf(entry);
  std::int32_t const slot = slotOf(h, HashMap2018Layout::entrySlots(entry), hash, nodeSize, equals);
  return slot < 0 ? nullptr
                  : HashMap2018Layout::nodes(h) + static_cast<std::size_t>(slot) * nodeSize;
}

template <class KeyEquals>
inline void* HashMap2018Generic::lookupNodeTyped(HashHelper::KeyAndRhashSeedArg const& k,
                                                 std::size_t nodeSize, KeyEquals&& equals) const {
  std::uint64_t const entry = dir_[bucketIndex(k.hash)];
  if (entry == 0) return nullptr;
  std::uint32_t const slots = HashMap2018Layout::entrySlots(entry);
  HashMap2018BucketHdr* const h = HashMap2018Layout::bucketOf(entry);
  std::uint32_t const* const hw = HashMap2018Layout::hashes(h, slots);
  // The loads of each home slot's hash word and node depend on the entry
  // alone, so they are in flight together.
  std::uint32_t const home = HashMap2018Layout::homeOf(k.hash, slots);
  void* const node = HashMap2018Layout::nodes(h) + home * nodeSize;
  if (hw[home] == k.hash && equals(static_cast<void const*>(node))) return node;
  std::uint32_t const second = HashMap2018Layout::secondHomeOf(k.hash, slots);
  void* const other = HashMap2018Layout::nodes(h) + second * nodeSize;
  if (hw[second] == k.hash && equals(static_cast<void const*>(other))) return other;
  return lookupRest(entry, k.hash, nodeSize, equals);
}

inline void* HashMap2018Generic::lookupNodeG(HashMap2018VTable const* vt,
                                             HashHelper::KeyAndRhashSeedArg const& k) const {
  KeyEqualsNodeFn const equals = vt->keyEqualsNode();
  return lookupNodeTyped(k, vt->nodeSize, [&](void const* node) { return equals(k.key, node); });
}

// An iterator over one collection.
//
// Order: bucket arrays in the order of their hash prefixes, and within an
// array its slots in order. No caller may rely on the order beyond this.
//
// Position: the iterator stands on one member (or at the end) and holds a
// reference to that member's bucket array, so the array is neither freed
// nor reorganised in place while the iterator is in it: the node it stands
// on stays readable, with its key, whatever happens to the collection.
//
// Changes to the collection during a walk:
//  - Removing the member the iterator stands on (through the collection) is
//    allowed: currNodeMaybeStale() still returns the removed node, unchanged
//    until a later insertion reuses its slot, and advance() moves to the
//    member that followed it.
//  - Removing any other member is allowed; a member removed before the walk
//    reaches it is not visited.
//  - Inserting is allowed; a member inserted during the walk may or may not
//    be visited.
//  - _memberDelAll and emptyAllBuckets are allowed; the walk then ends.
// In every case each member present for the whole walk is visited exactly
// once: an array the iterator holds is never rebuilt in place, and no
// member moves within it. When it has been replaced (grown,
// split, shrunk, merged, or dropped by the collection), the iterator finishes
// the old copy, looking each of its remaining members up in the collection
// to skip those removed since and to return the current node of the others,
// then goes on with the prefixes after the old copy's, skipping members of a
// later array whose hashes lie in prefixes it has finished. The collection
// must outlive any use of the iterator except its destruction, which only
// needs the descriptor.
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

  // Moves to the next member after the current position, or to the end. At
  // the end it does nothing.
  void advance();

  // The current member as it is in the collection now; null at the end. When
  // the member the iterator stood on has been removed, the iterator first
  // moves on to the member that followed it (or to the end).
  void* currNodeNonStale() const;

  // The node the iterator stands on, without looking at the collection: when
  // that member has since been removed, or its array replaced, the node as
  // the iterator's array holds it. Null at the end.
  void* currNodeMaybeStale() const noexcept {
    return hdr_ == nullptr ? nullptr
                           : HashMap2018Layout::nodes(hdr_) + std::size_t{slot_} * vt_->nodeSize;
  }

  // Equal when both are at the end, or both stand on the same member (same
  // collection, hash and key).
  bool operator==(HashMap2018IteratorGeneric const& other) const;

 private:
  bool inCollection() const;
  void* liveNode() const;
  void step() const;
  void firstFrom(std::uint32_t index) const;
  std::int32_t nextSlotIn(HashMap2018BucketHdr* h, std::uint32_t from) const;
  void moveTo(HashMap2018BucketHdr* h, std::uint32_t slot) const;
  void release() const;

  HashMap2018Generic const* coll_ = nullptr;
  HashMap2018VTable const* vt_ = nullptr;
  // The array holding the current node, referenced by this iterator; null at
  // the end. Mutable: looking at the collection may move the iterator.
  mutable HashMap2018BucketHdr* hdr_ = nullptr;
  mutable std::uint32_t slot_ = 0;
  mutable std::uint32_t hash_ = 0;
  // Every hash below this lies in prefixes the walk has finished; members of
  // the current array with such hashes were visited in an earlier copy of it.
  mutable std::uint32_t lower_ = 0;
};

}  // namespace Kiva
