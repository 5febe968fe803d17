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
// Extendible hashing over large tag-probed bucket arrays.
//
// The directory has 2^G entries, indexed by the top G bits of the hash. Each
// entry names a bucket array and its slot count (HashMap2018Layout). An array
// has a local depth d <= G: its members share the top d hash bits, and it is
// named by exactly the 2^(G-d) consecutive entries of that prefix. A prefix
// without members names one shared empty array that is never freed and never
// written, so a lookup makes no null test. A collection whose directory has
// one entry keeps it in the collection object itself.
//
// An array (see HashMap2018Layout.h for its bytes) holds up to C nodes
// densely, in the order they came, each with a hash word (its member's
// hash), and finds them through a table of groups of 16 slots, at least 8/7
// slots per node so that the table is never more than 7/8 full. Each slot
// has a one-byte tag (empty, deleted, or 7 bits of its member's hash) and
// the two-byte number of its member's node, in the same cache line. A lookup
// takes the directory entry, starts at the group that hash bits 8-19 pick,
// compares the group's 16 tags with the hash's at once (SSE2, or a portable
// loop), confirms each match by the key of the node the slot names, and
// stops at the first group with an empty slot; groups follow each other
// cyclically. Insertion takes the first free (empty or deleted) slot of the
// same probe without comparing keys and the next node position: owners look
// a key up before they insert it, so the lookup that missed keeps no
// position (a hit, the common case, pays nothing for one) and the insertion
// rereads tags the lookup has just brought in, normally one group.
//
// Growth: once every node position of an array is used, it is rebuilt with
// room for 1.40 to 1.48 times its members, varied from array to array so
// that arrays do not grow in lockstep; past kSplitNodes it splits in two by
// its next hash bit instead (the directory doubling first when the array is
// as deep as it, within an allowance of max(1024, 2 x members) entries; an
// array the directory cannot double for grows up to the node limit). A
// split whose members all fall on one side narrows the array without moving
// anything. Every rebuild builds new arrays: newBucketAssemble copies the
// members' nodes in runs of consecutive positions (one run when nothing was
// removed), then the table is filled from the hash words alone. No member
// ever moves within an array.
//
// Deletion marks the tag (empty when the group has an empty slot, since then
// no probe ever went past that group; deleted otherwise) and the node's hash
// word; the node's position is not reused until the array is rebuilt. Memory
// follows with hysteresis: an array less than 1/8 full is rebuilt half full; a
// sparse array merges with its buddy (same depth, the prefix differing in
// the last bit) when both are few; an empty one is released, its buddy taking
// the range over when it can. Should the collection still hold more than
// max(64, 8 x members) node positions, or a directory of more than max(1024,
// 16 x members) entries, it is rebuilt whole (amortised: that needs the
// members to fall by a large factor again). The bound allocatedSlots() <=
// max(64, 8 x memberCount()) holds after every operation (unless memory for
// the rebuild could not be had).
//
// Arrays that an iterator holds are never freed while it does, and since no
// member moves within an array, no position is reused, and every
// reorganisation builds new arrays, the iterator can finish the array it
// stands in as it was (see the iterator).
//
// checkInvariants() checks the whole structure; builds without NDEBUG also
// check every array the core builds.
//
// Not thread-safe: callers serialise all use of one collection and of its
// iterators. Node operations must not call back into the collection.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Kiva/AllocTrack.h"
#include "Kiva/Hash.h"
#include "Kiva/HashMap2018Layout.h"
#include "Kiva/HashMap2018VTable.h"

namespace Kiva {

// The tag value that builds an iterator at the end of any collection.
struct EndOfCollectionTag {
  explicit constexpr EndOfCollectionTag() = default;
};
inline constexpr EndOfCollectionTag EndOfCollection{};

class HashMap2018IteratorGeneric;

class HashMap2018Generic {
 public:
  // `vt`: the collection type's descriptor; the destructor uses it to release
  // what the owner left. `initialSizeIndex` and `allocateNow` are accepted for
  // the owners' sake: a collection starts with a one-entry directory in the
  // object itself and no memory whatever they say.
  HashMap2018Generic(HashMap2018VTable const* vt, std::uint32_t initialSizeIndex, bool allocateNow);
  HashMap2018Generic(HashMap2018Generic const&) = delete;
  HashMap2018Generic& operator=(HashMap2018Generic const&) = delete;
  // Releases whatever is left (owners normally call emptyAllBuckets first).
  ~HashMap2018Generic();

  // The member whose key is k.key, or null. Never inserts.
  void* lookupNodeG(HashMap2018VTable const* vt, HashHelper::KeyAndRhashSeedArg const& k) const;

  // lookupNodeG for a caller that knows the node type: `nodeSize` is the
  // descriptor's node size and `equals(node)` tells whether a node's key is
  // k.key, so that no path reads the descriptor or makes an indirect call.
  template <class KeyEquals>
  void* lookupNodeTyped(HashHelper::KeyAndRhashSeedArg const& k, std::size_t nodeSize,
                        KeyEquals&& equals) const;

  // Inserts a copy of `node`, a fully built node whose key is k.key and whose
  // hash is k.hash, and returns the member in its array. The key must not be
  // a member: the insertion does not look for it, it only takes the first
  // free slot of the key's probe (builds without NDEBUG check, and stop the
  // process when the key is present). A caller that has just missed the key
  // by its lookup so pays one probe of the tags, which the lookup has just
  // read. Throws std::bad_alloc, leaving the collection unchanged, when no
  // memory can be had.
  void* newMemberG(HashMap2018VTable const* vt, HashHelper::KeyAndRhashSeedArg const& k,
                   void* node);

  // Removes the member whose key is k.key. When `removedStorage` is not null
  // the removed node is first constructed there with `place`. Returns whether
  // a member was removed.
  bool deleteMemberG(HashMap2018VTable const* vt, HashHelper::KeyAndRhashSeedArg const& k,
                     void* removedStorage);

  // deleteMemberG for a caller that knows the node type (see
  // lookupNodeTyped): one probe finds the member, taken(node) sees it before
  // it goes. Returns whether a member was removed.
  template <class KeyEquals, class Taken>
  bool deleteMemberTyped(HashMap2018VTable const* vt, HashHelper::KeyAndRhashSeedArg const& k,
                         KeyEquals&& equals, Taken&& taken);

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

  // Tells the core that its owner expects up to `members` members soon (a
  // warm restart reading rows back, or replaying what the hardware holds; 0
  // ends the expectation). Until the collection has them, arrays that grow
  // take room toward their share of that figure, at most four times their
  // members (within the memory bound), so that a collection filled toward a
  // known size copies its nodes less often. The price is memory: up to four
  // node slots a member until the members come or the arrays shrink.
  void expectMembers(std::uint32_t members) { expected_ = members; }

  std::uint32_t memberCount() const { return count_; }
  // Node slots allocated over all the collection's bucket arrays: the members
  // plus the free slots kept for growth. Never less than memberCount().
  std::uint32_t allocatedSlots() const { return slots_; }
  // Entries of the directory.
  std::uint32_t directorySize() const { return std::uint32_t{1} << depth_; }

  // Checks every structural invariant (directory ranges and depths, each
  // array named by exactly its entries, live and used counts against the
  // tags, every member reachable by its probe, slot and member totals, the
  // memory bound) and stops the process naming the first one broken.
  void checkInvariants() const;

  // The core reports one allocation of sizeof(HashMap2018BucketHdr) to this
  // tracker per bucket array it creates; the descriptor's bktHdrRefDec reports
  // the release with the same figures.
  static AllocTrackTypeInfo bucketHeaderTracker_;

 private:
  friend class HashMap2018IteratorGeneric;
  using Fields = HashMap2018Layout::Fields;

  class RunList;

  std::uint32_t bucketIndex(std::uint32_t hash) const {
    return static_cast<std::uint32_t>(std::uint64_t{hash} >> shift_);
  }
  HashMap2018BucketHdr* bucketAt(std::uint32_t index) const {
    return HashMap2018Layout::bucketOf(dir_[index]);
  }
  std::uint32_t rangeStart(std::uint32_t index, std::uint32_t depth) const {
    return index & ~((std::uint32_t{1} << (depth_ - depth)) - 1);
  }
  std::uint32_t rangeSize(std::uint32_t depth) const {
    return std::uint32_t{1} << (depth_ - depth);
  }
  void rangeIs(std::uint32_t start, std::uint32_t size, HashMap2018BucketHdr* h);
  static bool isEmptyArray(HashMap2018BucketHdr const* h) { return h == emptyArray(); }
  static HashMap2018BucketHdr* emptyArray();

  void directoryIs(std::uint64_t* dir, std::uint32_t depth);
  void directoryDouble();
  void directoryHalve();
  bool directoryMayDouble() const;

  std::uint32_t growPercent(std::uint32_t live);
  std::uint32_t fittedCapacity(HashMap2018VTable const* vt, std::uint32_t members,
                               std::uint32_t percent) const;
  HashMap2018BucketHdr* arrayNew(HashMap2018VTable const* vt, std::uint32_t capacity,
                                 std::uint32_t depth, RunList const* runs);
  void arrayRelease(HashMap2018VTable const* vt, HashMap2018BucketHdr* h);
  void depthIs(HashMap2018BucketHdr* h, std::uint32_t depth);
  void* placeAt(HashMap2018VTable const* vt, HashMap2018BucketHdr* h, std::uint8_t* group,
                std::uint32_t j, std::uint32_t hash, void* node);
  static void gather(RunList& runs, HashMap2018BucketHdr* from, std::size_t nodeSize);
  static std::uint32_t gatherSplit(RunList& low, RunList& high, HashMap2018BucketHdr* from,
                                   std::size_t nodeSize, std::uint32_t bit);
  static void tagAll(HashMap2018BucketHdr* to, HashMap2018BucketHdr* from, std::uint32_t mask,
                     std::uint32_t want);

  [[gnu::noinline]] void* insertSlow(HashMap2018VTable const* vt, std::uint32_t hash, void* node);
  HashMap2018BucketHdr* arrayForEmptyRange(HashMap2018VTable const* vt, std::uint32_t hash);
  void makeRoom(HashMap2018VTable const* vt, std::uint32_t hash, HashMap2018BucketHdr* h);
  void rebuild(HashMap2018VTable const* vt, std::uint32_t hash, HashMap2018BucketHdr* h,
               std::uint32_t capacity);
  void split(HashMap2018VTable const* vt, std::uint32_t hash, HashMap2018BucketHdr* h);
  void boundAfterGrowth(HashMap2018VTable const* vt);

  void eraseSlot(HashMap2018VTable const* vt, std::uint32_t hash, HashMap2018BucketHdr* h,
                 std::uint8_t* group, std::uint32_t j);
  // Removes the member slot `slot` of the array of `entry` names.
  void deleteSlot(HashMap2018VTable const* vt, std::uint32_t hash, std::uint64_t entry,
                  std::int32_t slot);
  [[gnu::noinline]] void afterDelete(HashMap2018VTable const* vt, std::uint32_t hash,
                                     HashMap2018BucketHdr* h);
  bool mergeWithBuddy(HashMap2018VTable const* vt, std::uint32_t hash, HashMap2018BucketHdr* h);
  bool overBound() const;
  void compact(HashMap2018VTable const* vt);
  void swapWith(HashMap2018Generic& other);
  void checkArray(HashMap2018BucketHdr* h) const;

  // The slot (16 x group + slot in the group) of the array of `entry` that
  // names the member whose key is k.key, or -1.
  template <class KeyEquals>
  static std::int32_t slotOf(std::uint64_t entry, std::uint32_t hash, std::size_t nodeSize,
                             KeyEquals&& equals);
  // The node position that slot `slot` of the array of `entry` names.
  static std::uint32_t numberAt(std::uint64_t entry, std::int32_t slot) {
    using namespace HashMap2018Layout;
    std::uint32_t const s = static_cast<std::uint32_t>(slot);
    return numbersOf(groupAt(entryTable(entry), s / kGroupSlots))[s % kGroupSlots];
  }

  std::uint64_t* dir_;            // 2^depth_ entries (HashMap2018Layout::entryFor)
  std::uint64_t inlineEntry_[1];  // the directory while it has one entry
  HashMap2018VTable const* vt_;
  std::uint32_t count_ = 0;
  std::uint32_t slots_ = 0;
  std::uint32_t deepestArrays_ = 0;  // arrays whose depth is depth_
  std::uint32_t jitter_ = 0x2545F491u;
  std::uint32_t expected_ = 0;  // see expectMembers
  std::uint8_t depth_ = 0;      // the directory has 2^depth_ entries
  std::uint8_t shift_ = 32;     // 32 - depth_
  bool compacting_ = false;     // being built by compact(): no compaction of its own
};

template <class KeyEquals>
inline std::int32_t HashMap2018Generic::slotOf(std::uint64_t entry, std::uint32_t hash,
                                               std::size_t nodeSize, KeyEquals&& equals) {
  using namespace HashMap2018Layout;
  std::uint8_t* const table = entryTable(entry);
  std::uint32_t const groups = entryGroups(entry);
  char const* const nodes = nodesOf(table, groups);
  std::uint8_t const tag = tagOf(hash);
  std::uint32_t g = firstGroup(hash, groups);
  for (std::uint32_t n = 0; n < groups; ++n) {
    std::uint8_t* const group = groupAt(table, g);
    for (std::uint32_t m = matchTag(group, tag); m != 0; m &= m - 1) {
      std::uint32_t const j = static_cast<std::uint32_t>(__builtin_ctz(m));
      if (equals(static_cast<void const*>(nodes + std::size_t{numbersOf(group)[j]} * nodeSize)))
        return static_cast<std::int32_t>(g * kGroupSlots + j);
    }
    if (matchEmpty(group) != 0) break;
    g = g + 1 == groups ? 0 : g + 1;
  }
  return -1;
}

template <class KeyEquals>
inline void* HashMap2018Generic::lookupNodeTyped(HashHelper::KeyAndRhashSeedArg const& k,
                                                 std::size_t nodeSize, KeyEquals&& equals) const {
  using namespace HashMap2018Layout;
  std::uint64_t const entry = dir_[bucketIndex(k.hash)];
  std::uint8_t* const table = entryTable(entry);
  std::uint32_t const groups = entryGroups(entry);
  char* const nodes = nodesOf(table, groups);
  std::uint8_t const tag = tagOf(k.hash);
  std::uint32_t g = firstGroup(k.hash, groups);
  for (;;) {
    std::uint8_t* const group = groupAt(table, g);
    for (std::uint32_t m = matchTag(group, tag); m != 0; m &= m - 1) {
      void* const node = nodes + std::size_t{numbersOf(group)[__builtin_ctz(m)]} * nodeSize;
      if (equals(static_cast<void const*>(node))) [[likely]]
        return node;
    }
    if (matchEmpty(group) != 0) [[likely]]
      return nullptr;
    g = g + 1 == groups ? 0 : g + 1;
  }
}

template <class KeyEquals, class Taken>
inline bool HashMap2018Generic::deleteMemberTyped(HashMap2018VTable const* vt,
                                                  HashHelper::KeyAndRhashSeedArg const& k,
                                                  KeyEquals&& equals, Taken&& taken) {
  using namespace HashMap2018Layout;
  std::uint64_t const entry = dir_[bucketIndex(k.hash)];
  std::int32_t const slot = slotOf(entry, k.hash, vt->nodeSize, equals);
  if (slot < 0) return false;
  taken(static_cast<void*>(nodesOf(entryTable(entry), entryGroups(entry)) +
                           std::size_t{numberAt(entry, slot)} * vt->nodeSize));
  deleteSlot(vt, k.hash, entry, slot);
  return true;
}

inline void* HashMap2018Generic::lookupNodeG(HashMap2018VTable const* vt,
                                             HashHelper::KeyAndRhashSeedArg const& k) const {
  KeyEqualsNodeFn const equals = vt->keyEqualsNode();
  return lookupNodeTyped(k, vt->nodeSize, [&](void const* node) { return equals(k.key, node); });
}

// An iterator over one collection.
//
// Order: bucket arrays in the order of their hash prefixes, and within an
// array its node positions in order. No caller may rely on the order beyond this.
//
// Position: the iterator stands on one member (or at the end) and holds a
// reference to that member's bucket array, so the array is not freed while
// the iterator is in it: the node it stands on stays readable, with its key,
// whatever happens to the collection.
//
// Changes to the collection during a walk:
//  - Removing the member the iterator stands on (through the collection) is
//    allowed: currNodeMaybeStale() still returns the removed node, unchanged
//    (its position is not reused), and advance() moves to the member that
//    followed it.
//  - Removing any other member is allowed; a member removed before the walk
//    reaches it is not visited.
//  - Inserting is allowed; a member inserted during the walk may or may not
//    be visited.
//  - _memberDelAll and emptyAllBuckets are allowed; the walk then ends.
// In every case each member present for the whole walk is visited exactly
// once. Members never move within an array, so while the iterator's array
// is in the collection, the node positions after its own hold exactly the
// members it has still to visit there (and any inserted since). Once the array has been replaced
// (rebuilt, split, merged, or dropped), the iterator finishes the old copy, looking each of its
// remaining members up in the collection to skip those removed since and to return the current node
// of the others, then goes on with the prefixes after the old copy's, skipping members of later
// arrays whose hashes lie in prefixes it has finished. The collection must outlive any use of the
// iterator except its destruction, which only needs the descriptor.
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
                           : HashMap2018Layout::nodesOf(hdr_) + std::size_t{slot_} * vt_->nodeSize;
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
