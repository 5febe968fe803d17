#include "Kiva/HashMap2018.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "Pooler/Pooler.h"

namespace Kiva {

using namespace HashMap2018Layout;

namespace {

// The directory never grows deeper than this (2^24 entries). With distinct
// hashes an array of kMaxSlots is full only at a depth of 19 or less, so
// this is reached only by members that share their hash.
constexpr std::uint32_t kMaxDepth = 24;
// The directory's depth before any member arrives is capped here.
constexpr std::uint32_t kMaxInitialDepth = 16;
// The directory may double while it keeps at most this many entries, or
// twice the member count if that is more.
constexpr std::uint64_t kDirectoryAllowance = 1024;
// Two buddy arrays merge when they hold this many members or fewer between
// them, so that a draining collection (a restart's synced entries) copies
// few members on its way to empty; once the directory has more than
// kSparseDirectory entries per member, up to kSparseMergeMembers, so that
// what a mass deletion leaves gathers into few arrays and the directory
// halves.
constexpr std::uint32_t kMergeMembers = 2;
constexpr std::uint32_t kSparseMergeMembers = 8;
constexpr std::uint64_t kSparseDirectory = 4;
// Directory entries a sparse directory's sweep looks at per deletion.
constexpr std::uint32_t kSweepEntries = 8;
// An array is rebuilt smaller once fewer than 1/kShrinkBelow of its slots are
// in use.
constexpr std::uint32_t kShrinkBelow = 8;
// A new array for an empty range covers at most 2^kEmptyRangeDepths entries.
constexpr std::uint32_t kEmptyRangeDepths = 6;

constexpr Pooler::Type kDirectoryType{"Kiva::HashMap2018Generic directory", 0};

[[noreturn]] void fatal(char const* function, char const* message) {
  std::fprintf(stderr, "Kiva::HashMap2018Generic::%s: %s\n", function, message);
  std::fflush(stderr);
  std::abort();
}

// Members an array of `slots` slots takes before it must grow or split:
// small arrays, which grow, up to 7/8; others nearly to the last slot, since
// their home slots are kept for their owners (see placeIn).
constexpr std::uint32_t fillLimit(std::uint32_t slots) {
  return slots < 16 ? slots - slots / 8 : slots - slots / 32;
}

// The size of an array built for `members` members: room for twice as many.
std::uint32_t slotsFor(std::uint32_t members) {
  std::uint32_t s = kMinSlots;
  while (s < 2 * members && s < kMaxSlots) s *= 2;
  return s;
}

// Set bits of a 16-bit group mask, inline whatever the target (a population
// count instruction is not part of baseline x86-64).
constexpr std::uint32_t bitCount(std::uint32_t mask) {
  mask = mask - ((mask >> 1) & 0x5555u);
  mask = (mask & 0x3333u) + ((mask >> 2) & 0x3333u);
  mask = (mask + (mask >> 4)) & 0x0F0Fu;
  return (mask + (mask >> 8)) & 0x1Fu;
}
static_assert(bitCount(0xFFFFu) == 16 && bitCount(0x8001u) == 2 && bitCount(0) == 0);

bool isFree(std::uint32_t word, HashMap2018BucketHdr* h) {
  return word == freeWordOf(h);
}

}  // namespace

AllocTrackTypeInfo HashMap2018Generic::bucketHeaderTracker_{"Kiva::HashMap2018BucketHdr"};
std::uint64_t HashMap2018Generic::noBuckets_[1] = {0};

HashMap2018Generic::HashMap2018Generic(HashMap2018VTable const* vt, std::uint32_t initialSizeIndex,
                                       bool allocateNow)
    : vt_(vt),
      initialDepth_(static_cast<std::uint8_t>(
          std::clamp<std::uint32_t>(initialSizeIndex, 1, kMaxInitialDepth))) {
  if (vt == nullptr || vt->nodeSize == 0)
    fatal("HashMap2018Generic", "no descriptor or node size 0");
  if (allocateNow) directoryAlloc(initialDepth_);
}

HashMap2018Generic::~HashMap2018Generic() {
  if (dir_ != noBuckets_) emptyAllBuckets(vt_, true);
}

// ---- Directory ------------------------------------------------------------------

void HashMap2018Generic::directoryAlloc(std::uint32_t depth) {
  std::size_t const bytes = sizeof(std::uint64_t) << depth;
  void* memory = Pooler::slabAllocOrStdMalloc(bytes, Pooler::slabOrStdMalloc);
  if (memory == nullptr) throw std::bad_alloc();
  std::memset(memory, 0, bytes);
  dir_ = static_cast<std::uint64_t*>(memory);
  depth_ = static_cast<std::uint8_t>(depth);
  shift_ = static_cast<std::uint8_t>(32 - depth);
}

void HashMap2018Generic::directoryFree() {
  if (dir_ != noBuckets_) Pooler::slabFreeOrStdFree(dir_, kDirectoryType);
  dir_ = noBuckets_;
  depth_ = 0;
  shift_ = 32;
}

bool HashMap2018Generic::directoryMayDouble() const {
  std::uint64_t const next = std::uint64_t{2} << depth_;
  return depth_ < kMaxDepth && next <= std::max(kDirectoryAllowance, std::uint64_t{2} * count_);
}

// Every entry becomes two; no array changes, and none is as deep as the
// directory any more.
void HashMap2018Generic::directoryDouble() {
  std::uint32_t const size = std::uint32_t{1} << depth_;
  auto* const next = static_cast<std::uint64_t*>(
      Pooler::slabAllocOrStdMalloc(sizeof(std::uint64_t) * 2 * size, Pooler::slabOrStdMalloc));
  if (next == nullptr) throw std::bad_alloc();
  for (std::uint32_t i = 0; i < size; ++i) next[2 * i] = next[2 * i + 1] = dir_[i];
  std::uint32_t const depth = depth_ + 1u;
  directoryFree();
  dir_ = next;
  depth_ = static_cast<std::uint8_t>(depth);
  shift_ = static_cast<std::uint8_t>(32 - depth);
  deepestArrays_ = 0;
}

// Only when no array is as deep as the directory: every pair of entries then
// names the same array (or none).
void HashMap2018Generic::directoryHalve() {
  std::uint32_t const size = std::uint32_t{1} << (depth_ - 1);
  auto* const next = static_cast<std::uint64_t*>(
      Pooler::slabAllocOrStdMalloc(sizeof(std::uint64_t) * size, Pooler::slabOrStdMalloc));
  if (next == nullptr) return;  // keep the larger directory; it is still right
  for (std::uint32_t i = 0; i < size; ++i) next[i] = dir_[2 * i];
  std::uint32_t const depth = depth_ - 1u;
  directoryFree();
  dir_ = next;
  depth_ = static_cast<std::uint8_t>(depth);
  shift_ = static_cast<std::uint8_t>(32 - depth);
  deepestArrays_ = 0;
  for (std::uint32_t i = 0; i < size; ++i) {
    HashMap2018BucketHdr* const h = bucketAt(i);
    if (h != nullptr && depthOf(h) == depth_ && (i == 0 || dir_[i - 1] != dir_[i]))
      ++deepestArrays_;
  }
}

void HashMap2018Generic::rangeIs(std::uint32_t start, std::uint32_t size, HashMap2018BucketHdr* h) {
  std::uint64_t const entry = entryFor(h);
  for (std::uint32_t i = 0; i < size; ++i) dir_[start + i] = entry;
}

// ---- Arrays -----------------------------------------------------------------------

HashMap2018BucketHdr* HashMap2018Generic::arrayNew(HashMap2018VTable const* vt, std::uint32_t slots,
                                                   std::uint32_t depth, std::uint32_t hash) {
  void* memory =
      Pooler::slabAllocOrStdMalloc(bytesFor(slots, vt->nodeSize), Pooler::slabOrStdMalloc);
  if (memory == nullptr) throw std::bad_alloc();
  auto* h = reinterpret_cast<HashMap2018BucketHdr*>(static_cast<std::uint32_t*>(memory) + slots);
  if ((reinterpret_cast<std::uintptr_t>(h) & ~kEntryAddressMask) != 0) {
    fatal("newMemberG", "a bucket array lies beyond the 48-bit address space");
  }
  std::uint32_t const free = freeWordFor(hash);
  std::fill_n(static_cast<std::uint32_t*>(memory), slots, free);
  h->word = slots << kSlotShift;
  refs(h) = 1;
  depthOf(h) = depth;
  freeWordOf(h) = free;
  // The node type's tracker hears of the whole array at once; nodes come one
  // by one through place.
  vt->newBucketAssemble()(vt, slots, nodes(h), nullptr, 0);
  AllocTrackTypeInfo::_trackAllocation(bucketHeaderTracker_, "Kiva::HashMap2018BucketHdr",
                                       sizeof(HashMap2018BucketHdr), 1);
  slots_ += slots;
  if (depth == depth_) ++deepestArrays_;
  return h;
}

// Takes `h` out of the collection's figures and drops the collection's
// reference; an iterator standing in it keeps it alive.
void HashMap2018Generic::arrayRelease(HashMap2018VTable const* vt, HashMap2018BucketHdr* h) {
  slots_ -= slotsOf(h);
  if (depthOf(h) == depth_) --deepestArrays_;
  vt->bktHdrRefDec()(h);
}

void HashMap2018Generic::depthIs(HashMap2018BucketHdr* h, std::uint32_t depth) {
  if (depthOf(h) == depth_) --deepestArrays_;
  depthOf(h) = depth;
  if (depth == depth_) ++deepestArrays_;
}

// Builds a member of `h` from `node` in the first of its home slots that is
// free, else in the first free slot. A first home slot held by a member that
// is at none of its own homes there is handed to its owner and that member
// moves to the free slot instead (unless an iterator holds the array:
// members it has not reached must stay where they are), so that more members
// are found at home. The array must have a free slot.
inline void* HashMap2018Generic::placeIn(HashMap2018VTable const* vt, HashMap2018BucketHdr* h,
                                         std::uint32_t hash, void* node, bool move) {
  std::uint32_t const slots = slotsOf(h);
  std::uint32_t* const hw = hashes(h, slots);
  std::uint32_t const home = homeOf(hash, slots);
  if (!isFree(hw[home], h)) return placeAway(vt, h, hash, node, move);
  void* const dst = nodes(h) + home * vt->nodeSize;
  vt->place()(vt, dst, node, move);
  hw[home] = hash;
  h->word += 1u << kLiveShift;
  return dst;
}

// placeIn when the first home slot is taken.
void* HashMap2018Generic::placeAway(HashMap2018VTable const* vt, HashMap2018BucketHdr* h,
                                    std::uint32_t hash, void* node, bool move) {
  std::uint32_t const slots = slotsOf(h);
  std::uint32_t* const hw = hashes(h, slots);
  std::size_t const ns = vt->nodeSize;
  std::uint32_t const home = homeOf(hash, slots);
  std::uint32_t slot = secondHomeOf(hash, slots);
  if (!isFree(hw[slot], h)) {
    slot = static_cast<std::uint32_t>(
        forEachMatch(hw, slots, freeWordOf(h), [](std::uint32_t) { return true; }));
    if (!isHome(hw[home], home, slots) && refs(h) == 1) {
      vt->place()(vt, nodes(h) + slot * ns, nodes(h) + home * ns, true);
      hw[slot] = hw[home];
      slot = home;
    }
  }
  void* const dst = nodes(h) + slot * ns;
  vt->place()(vt, dst, node, move);
  hw[slot] = hash;
  h->word += 1u << kLiveShift;
  return dst;
}

// Builds every member of `from` in `to`; `from` is left as it was.
void HashMap2018Generic::placeAll(HashMap2018VTable const* vt, HashMap2018BucketHdr* from,
                                  HashMap2018BucketHdr* to) {
  std::uint32_t const slots = slotsOf(from);
  std::uint32_t const* const hw = hashes(from, slots);
  for (std::uint32_t g = 0; g < slots; g += kGroupWords) {
    for (std::uint32_t mask = occupiedMask(hw, g, slots, freeWordOf(from)); mask != 0;
         mask &= mask - 1) {
      std::uint32_t const i = g + static_cast<std::uint32_t>(__builtin_ctz(mask));
      placeIn(vt, to, hw[i], nodes(from) + std::size_t{i} * vt->nodeSize, true);
    }
  }
}

// The array for a member whose prefix has no array: as shallow as the empty
// entries around it allow (within kEmptyRangeDepths levels), so that one array
// serves a neighbourhood rather than a single entry.
HashMap2018BucketHdr* HashMap2018Generic::arrayForEmptyRange(HashMap2018VTable const* vt,
                                                             std::uint32_t hash) {
  std::uint32_t const index = bucketIndex(hash);
  std::uint32_t depth = depth_;
  while (depth > 1 && depth_ - depth < kEmptyRangeDepths) {
    std::uint32_t const start = rangeStart(index, depth - 1);
    std::uint32_t const size = rangeSize(depth - 1);
    bool empty = true;
    for (std::uint32_t i = 0; i < size && empty; ++i) empty = dir_[start + i] == 0;
    if (!empty) break;
    --depth;
  }
  HashMap2018BucketHdr* const h = arrayNew(vt, kMinSlots, depth, hash);
  rangeIs(rangeStart(index, depth), rangeSize(depth), h);
  return h;
}

// ---- Insertion --------------------------------------------------------------------

void* HashMap2018Generic::newMemberG(HashMap2018VTable const* vt,
                                     HashHelper::KeyAndRhashSeedArg const& k, void* node) {
  if (dir_ == noBuckets_) directoryAlloc(initialDepth_);
#ifndef NDEBUG
  if (lookupNodeG(vt, k) != nullptr) fatal("newMemberG", "the key is already a member");
#endif
  for (;;) {
    std::uint64_t const entry = dir_[bucketIndex(k.hash)];
    HashMap2018BucketHdr* const h = entry != 0 ? bucketOf(entry) : arrayForEmptyRange(vt, k.hash);
    if (liveOf(h) < fillLimit(slotsOf(h))) {
      void* const member = placeIn(vt, h, k.hash, node, false);
      ++count_;
      return member;
    }
    makeRoom(vt, k.hash, h);
  }
}

// Makes room in the full array `h`, where a member of hash `hash` belongs:
// small arrays grow; others split, the directory doubling first when the
// array is as deep as it. An array the directory cannot double for grows
// instead, up to kMaxSlots; one that cannot grow either splits all the same.
void HashMap2018Generic::makeRoom(HashMap2018VTable const* vt, std::uint32_t hash,
                                  HashMap2018BucketHdr* h) {
  std::uint32_t const slots = slotsOf(h);
  if (slots < kSplitSlots) return rebuild(vt, hash, h, 2 * slots);
  if (depthOf(h) == depth_) {
    if (directoryMayDouble()) {
      directoryDouble();
    } else if (slots < kMaxSlots) {
      return rebuild(vt, hash, h, 2 * slots);
    } else if (depth_ < kMaxDepth) {
      directoryDouble();
    } else {
      throw std::length_error(
          "Kiva::HashMap2018Generic::newMemberG: too many members share one hash");
    }
  }
  split(vt, hash, h);
}

// Replaces `h` by an array of `slots` slots holding the same members.
void HashMap2018Generic::rebuild(HashMap2018VTable const* vt, std::uint32_t hash,
                                 HashMap2018BucketHdr* h, std::uint32_t slots) {
  std::uint32_t const depth = depthOf(h);
  HashMap2018BucketHdr* const fresh = arrayNew(vt, slots, depth, hash);
  placeAll(vt, h, fresh);
  std::uint32_t const index = bucketIndex(hash);
  rangeIs(rangeStart(index, depth), rangeSize(depth), fresh);
  arrayRelease(vt, h);
}

// Splits `h` (depth d < the directory's) by hash bit d from the top: its
// range's lower half keeps the members with that bit clear, the upper half
// those with it set.
void HashMap2018Generic::split(HashMap2018VTable const* vt, std::uint32_t hash,
                               HashMap2018BucketHdr* h) {
  std::uint32_t const depth = depthOf(h);
  std::uint32_t const start = rangeStart(bucketIndex(hash), depth);
  std::uint32_t const half = rangeSize(depth) / 2;
  std::uint32_t const bit = 0x80000000u >> depth;
  std::uint32_t const slots = slotsOf(h);
  std::uint32_t* const hw = hashes(h, slots);
  char* const base = nodes(h);
  std::size_t const ns = vt->nodeSize;
  std::uint32_t const free = freeWordOf(h);
  std::uint32_t high = 0;
  for (std::uint32_t g = 0; g < slots; g += kGroupWords)
    high += bitCount(occupiedMask(hw, g, slots, free) & bitMask(hw + g, bit));
  std::uint32_t const low = liveOf(h) - high;

  if (high == 0 || low == 0) {
    // All on one side: the array narrows to that half; nothing moves.
    depthIs(h, depth + 1);
    rangeIs(high == 0 ? start + half : start, half, nullptr);
    return;
  }
  if (refs(h) == 1) {
    // In place: the smaller side moves to a new array.
    bool const moveHigh = high <= low;
    HashMap2018BucketHdr* const other =
        arrayNew(vt, slotsFor(moveHigh ? high : low), depth + 1, hash);
    for (std::uint32_t g = 0; g < slots; g += kGroupWords) {
      std::uint32_t const highMask = bitMask(hw + g, bit);
      std::uint32_t mask = occupiedMask(hw, g, slots, free) & (moveHigh ? highMask : ~highMask);
      for (; mask != 0; mask &= mask - 1) {
        std::uint32_t const i = g + static_cast<std::uint32_t>(__builtin_ctz(mask));
        placeIn(vt, other, hw[i], base + i * ns, true);
        hw[i] = free;
      }
    }
    h->word -= (moveHigh ? high : low) << kLiveShift;
    depthIs(h, depth + 1);
    rangeIs(moveHigh ? start + half : start, half, other);
    return;
  }
  // An iterator stands in the array: build both halves anew and leave it whole.
  HashMap2018BucketHdr* const lower = arrayNew(vt, slotsFor(low), depth + 1, hash);
  HashMap2018BucketHdr* upper;
  try {
    upper = arrayNew(vt, slotsFor(high), depth + 1, hash);
  } catch (...) {
    arrayRelease(vt, lower);
    throw;
  }
  for (std::uint32_t i = 0; i < slots; ++i) {
    if (!isFree(hw[i], h))
      placeIn(vt, (hw[i] & bit) != 0 ? upper : lower, hw[i], base + i * ns, true);
  }
  rangeIs(start, half, lower);
  rangeIs(start + half, half, upper);
  arrayRelease(vt, h);
}

// ---- Deletion ---------------------------------------------------------------------

// Whether a deletion from `h` leaves anything for afterDelete to do: the
// array is empty, few enough to merge, or sparse enough to shrink, or the
// directory has grown sparse. Not in the common case.
inline bool HashMap2018Generic::tidyNeeded(HashMap2018BucketHdr* h) const {
  std::uint32_t const live = liveOf(h);
  return live <= kMergeMembers || live * kShrinkBelow < slotsOf(h) ||
         (std::uint64_t{1} << depth_) > kSparseDirectory * count_;
}

bool HashMap2018Generic::deleteMemberG(HashMap2018VTable const* vt,
                                       HashHelper::KeyAndRhashSeedArg const& k,
                                       void* removedStorage) {
  std::uint64_t const entry = dir_[bucketIndex(k.hash)];
  if (entry == 0) return false;
  HashMap2018BucketHdr* const h = bucketOf(entry);
  std::uint32_t const slots = entrySlots(entry);
  std::size_t const ns = vt->nodeSize;
  KeyEqualsNodeFn const equals = vt->keyEqualsNode();
  std::int32_t const found =
      slotOf(h, slots, k.hash, ns, [&](void const* node) { return equals(k.key, node); });
  if (found < 0) return false;
  std::uint32_t const slot = static_cast<std::uint32_t>(found);
  if (removedStorage != nullptr) vt->place()(vt, removedStorage, nodes(h) + slot * ns, true);
  hashes(h, slots)[slot] = freeWordOf(h);
  h->word -= 1u << kLiveShift;
  --count_;
  if (tidyNeeded(h)) afterDelete(vt, k.hash, h);
  return true;
}

void HashMap2018Generic::deleteNodeG(HashMap2018VTable const* vt, std::uint32_t hash, void* node) {
  HashMap2018BucketHdr* const h = bucketAt(bucketIndex(hash));
  // Offsets within an array fit 32 bits, whose division is the cheaper.
  std::uint32_t const slot = static_cast<std::uint32_t>(static_cast<char*>(node) - nodes(h)) /
                             static_cast<std::uint32_t>(vt->nodeSize);
  hashes(h)[slot] = freeWordOf(h);
  h->word -= 1u << kLiveShift;
  --count_;
  if (tidyNeeded(h)) afterDelete(vt, hash, h);
}

// Keeps memory in proportion after a deletion from `h`: an empty array goes,
// a sparse one merges with its buddy or shrinks, and the directory halves
// when nothing is as deep as it. The deletion itself is done: when memory for
// a smaller array cannot be had, the array stays as it is.
void HashMap2018Generic::afterDelete(HashMap2018VTable const* vt, std::uint32_t hash,
                                     HashMap2018BucketHdr* h) {
  std::uint32_t const live = liveOf(h);
  std::uint32_t const depth = depthOf(h);
  std::uint32_t const start = rangeStart(bucketIndex(hash), depth);
  std::uint32_t const size = rangeSize(depth);
  if (live == 0) {
    rangeIs(start, size, nullptr);
    arrayRelease(vt, h);
    // The buddy, when it is one array of the same depth, takes the range over.
    if (depth > 1) {
      if (HashMap2018BucketHdr* const buddy = bucketAt(start ^ size);
          buddy != nullptr && depthOf(buddy) == depth) {
        depthIs(buddy, depth - 1);
        rangeIs(start, size, buddy);
      }
    }
  } else {
    try {
      if (!mergeWithBuddy(vt, hash, h)) {
        std::uint32_t const slots = slotsOf(h);
        if (slots > kMinSlots && live * kShrinkBelow < slots) rebuild(vt, hash, h, slotsFor(live));
      }
    } catch (std::bad_alloc const&) {
    }
  }
  if (count_ == 0) {
    directoryFree();
    return;
  }
  if ((std::uint64_t{1} << depth_) > kSparseDirectory * count_) {
    try {
      sweep(vt);
    } catch (std::bad_alloc const&) {
    }
  }
  while (depth_ > initialDepth_ && deepestArrays_ == 0) {
    std::uint32_t const before = depth_;
    directoryHalve();
    if (depth_ == before) break;
  }
}

// One step of the sweep that, while the directory is sparse, merges buddy
// arrays the deletions themselves did not reach: a few entries from where
// the last step stopped, so that the directory shrinks with the members
// however the deletions fall.
void HashMap2018Generic::sweep(HashMap2018VTable const* vt) {
  for (std::uint32_t step = 0; step < kSweepEntries; ++step) {
    std::uint32_t const size = std::uint32_t{1} << depth_;
    std::uint32_t const index = sweep_ & (size - 1);
    HashMap2018BucketHdr* const h = bucketAt(index);
    if (h == nullptr) {
      sweep_ = index + 1;
      continue;
    }
    std::uint32_t const hash = index << shift_;  // any hash of the array's prefix
    sweep_ = rangeStart(index, depthOf(h)) + rangeSize(depthOf(h));
    mergeWithBuddy(vt, hash, h);
  }
}

// Merges `h` with its buddy (the array of the same depth whose prefix differs
// in the last bit) when their members are few enough, or takes over the
// buddy's range when it is a single empty entry. Returns whether `h` was
// replaced.
bool HashMap2018Generic::mergeWithBuddy(HashMap2018VTable const* vt, std::uint32_t hash,
                                        HashMap2018BucketHdr* h) {
  std::uint32_t const depth = depthOf(h);
  std::uint32_t const live = liveOf(h);
  std::uint32_t const limit = (std::uint64_t{1} << depth_) > kSparseDirectory * count_
                                  ? kSparseMergeMembers
                                  : kMergeMembers;
  if (depth < 2 || live > limit) return false;
  std::uint32_t const size = rangeSize(depth);
  std::uint32_t const start = rangeStart(bucketIndex(hash), depth);
  std::uint32_t const buddyStart = start ^ size;
  HashMap2018BucketHdr* const buddy = bucketAt(buddyStart);
  if (buddy == nullptr) {
    if (size == 1) {
      depthIs(h, depth - 1);
      rangeIs(buddyStart, size, h);
    }
    return false;
  }
  if (depthOf(buddy) != depth || live + liveOf(buddy) > limit) return false;
  HashMap2018BucketHdr* const merged =
      arrayNew(vt, slotsFor(live + liveOf(buddy)), depth - 1, hash);
  placeAll(vt, h, merged);
  placeAll(vt, buddy, merged);
  rangeIs(std::min(start, buddyStart), 2 * size, merged);
  arrayRelease(vt, h);
  arrayRelease(vt, buddy);
  return true;
}

void HashMap2018Generic::_memberDelAll(HashMap2018VTable const* vt) {
  emptyAllBuckets(vt, true);
}

void HashMap2018Generic::emptyAllBuckets(HashMap2018VTable const* vt, bool releaseDirectory) {
  if (dir_ != noBuckets_) {
    std::uint32_t const size = std::uint32_t{1} << depth_;
    for (std::uint32_t i = 0; i < size; ++i) {
      HashMap2018BucketHdr* const h = bucketAt(i);
      if (h == nullptr) continue;
      std::uint32_t const end = rangeStart(i, depthOf(h)) + rangeSize(depthOf(h));
      rangeIs(i, end - i, nullptr);
      arrayRelease(vt, h);
      i = end - 1;
    }
    if (releaseDirectory) directoryFree();
  }
  count_ = 0;
}

// ---- Iterator ----------------------------------------------------------------

HashMap2018IteratorGeneric::HashMap2018IteratorGeneric(HashMap2018Generic const* collection,
                                                       HashMap2018VTable const* vt)
    : coll_(collection), vt_(vt) {
  firstFrom(0);
}

HashMap2018IteratorGeneric::HashMap2018IteratorGeneric(HashMap2018Generic const* collection,
                                                       HashMap2018VTable const* vt,
                                                       HashHelper::KeyAndRhashSeedArg const& k)
    : coll_(collection), vt_(vt) {
  std::uint64_t const entry = coll_->dir_[coll_->bucketIndex(k.hash)];
  if (entry == 0) return;
  HashMap2018BucketHdr* const h = bucketOf(entry);
  KeyEqualsNodeFn const equals = vt->keyEqualsNode();
  std::int32_t const slot =
      HashMap2018Generic::slotOf(h, entrySlots(entry), k.hash, vt->nodeSize,
                                 [&](void const* node) { return equals(k.key, node); });
  if (slot >= 0) moveTo(h, static_cast<std::uint32_t>(slot));
}

HashMap2018IteratorGeneric::HashMap2018IteratorGeneric(
    HashMap2018IteratorGeneric const& other) noexcept
    : coll_(other.coll_),
      vt_(other.vt_),
      hdr_(other.hdr_),
      slot_(other.slot_),
      hash_(other.hash_),
      lower_(other.lower_) {
  if (hdr_ != nullptr) ++refs(hdr_);
}

HashMap2018IteratorGeneric::HashMap2018IteratorGeneric(HashMap2018IteratorGeneric&& other) noexcept
    : coll_(other.coll_),
      vt_(other.vt_),
      hdr_(other.hdr_),
      slot_(other.slot_),
      hash_(other.hash_),
      lower_(other.lower_) {
  other.hdr_ = nullptr;
}

HashMap2018IteratorGeneric& HashMap2018IteratorGeneric::operator=(
    HashMap2018IteratorGeneric const& other) noexcept {
  if (this == &other) return *this;
  if (other.hdr_ != nullptr) ++refs(other.hdr_);
  release();
  coll_ = other.coll_;
  vt_ = other.vt_;
  hdr_ = other.hdr_;
  slot_ = other.slot_;
  hash_ = other.hash_;
  lower_ = other.lower_;
  return *this;
}

HashMap2018IteratorGeneric& HashMap2018IteratorGeneric::operator=(
    HashMap2018IteratorGeneric&& other) noexcept {
  if (this != &other) {
    release();
    coll_ = other.coll_;
    vt_ = other.vt_;
    hdr_ = other.hdr_;
    slot_ = other.slot_;
    hash_ = other.hash_;
    lower_ = other.lower_;
    other.hdr_ = nullptr;
  }
  return *this;
}

HashMap2018IteratorGeneric::~HashMap2018IteratorGeneric() {
  release();
}

void HashMap2018IteratorGeneric::release() const {
  if (HashMap2018BucketHdr* const h = hdr_) {
    hdr_ = nullptr;
    vt_->bktHdrRefDec()(h);
  }
}

void HashMap2018IteratorGeneric::moveTo(HashMap2018BucketHdr* h, std::uint32_t slot) const {
  if (h != hdr_) {
    ++refs(h);
    release();
    hdr_ = h;
  }
  slot_ = slot;
  hash_ = hashes(h)[slot];
}

// The first slot at or after `from` of `h` holding a member the walk has not
// passed, or -1.
std::int32_t HashMap2018IteratorGeneric::nextSlotIn(HashMap2018BucketHdr* h,
                                                    std::uint32_t from) const {
  std::uint32_t const slots = slotsOf(h);
  std::uint32_t const* const hw = hashes(h, slots);
  for (std::uint32_t i = from; i < slots; ++i) {
    if (!isFree(hw[i], h) && hw[i] >= lower_) return static_cast<std::int32_t>(i);
  }
  return -1;
}

// At the first member of the first array from directory entry `index` on
// (only hashes from lower_ up), or at the end.
void HashMap2018IteratorGeneric::firstFrom(std::uint32_t index) const {
  std::uint32_t const size = std::uint32_t{1} << coll_->depth_;
  for (std::uint32_t e = index; e < size; ++e) {
    HashMap2018BucketHdr* const h = coll_->bucketAt(e);
    if (h == nullptr) continue;
    if (std::int32_t const slot = nextSlotIn(h, 0); slot >= 0) {
      moveTo(h, static_cast<std::uint32_t>(slot));
      return;
    }
    e = coll_->rangeStart(e, depthOf(h)) + coll_->rangeSize(depthOf(h)) - 1;
  }
  release();
}

// Whether the iterator's array is the one the collection holds for its prefix.
bool HashMap2018IteratorGeneric::inCollection() const {
  return coll_->bucketAt(coll_->bucketIndex(hash_)) == hdr_;
}

// The member the iterator stands on as the collection holds it now, or null
// when it has been removed.
void* HashMap2018IteratorGeneric::liveNode() const {
  if (inCollection()) return hashes(hdr_)[slot_] == hash_ ? currNodeMaybeStale() : nullptr;
  // The array was replaced: look the member up by its hash and key.
  std::uint64_t const entry = coll_->dir_[coll_->bucketIndex(hash_)];
  if (entry == 0) return nullptr;
  HashMap2018BucketHdr* const h = bucketOf(entry);
  void const* const stale = currNodeMaybeStale();
  CompareOrLruUnlinkFn const cmp = vt_->compareOrLruUnlink();
  std::int32_t const slot =
      HashMap2018Generic::slotOf(h, entrySlots(entry), hash_, vt_->nodeSize,
                                 [&](void const* node) { return cmp(nullptr, stale, node) == 0; });
  return slot < 0 ? nullptr : nodes(h) + static_cast<std::size_t>(slot) * vt_->nodeSize;
}

// To the next slot of the iterator's array that held a member, else to the
// prefixes after the array's range.
void HashMap2018IteratorGeneric::step() const {
  HashMap2018BucketHdr* const h = hdr_;
  if (h == nullptr) return;
  if (std::int32_t const slot = nextSlotIn(h, slot_ + 1); slot >= 0) {
    moveTo(h, static_cast<std::uint32_t>(slot));
    return;
  }
  std::uint32_t const depth = depthOf(h);
  std::uint64_t const next = (std::uint64_t{hash_ >> (32 - depth)} + 1) << (32 - depth);
  if (next > 0xFFFFFFFFu) {
    release();
    return;
  }
  lower_ = static_cast<std::uint32_t>(next);
  firstFrom(coll_->bucketIndex(lower_));
}

void HashMap2018IteratorGeneric::advance() {
  step();
}

void* HashMap2018IteratorGeneric::currNodeNonStale() const {
  while (hdr_ != nullptr) {
    if (void* const node = liveNode()) return node;
    step();
  }
  return nullptr;
}

bool HashMap2018IteratorGeneric::operator==(HashMap2018IteratorGeneric const& other) const {
  if (hdr_ == nullptr || other.hdr_ == nullptr) return hdr_ == other.hdr_;
  if (coll_ != other.coll_ || hash_ != other.hash_) return false;
  if (hdr_ == other.hdr_) return slot_ == other.slot_;
  return vt_->compareOrLruUnlink()(nullptr, currNodeMaybeStale(), other.currNodeMaybeStale()) == 0;
}

}  // namespace Kiva
