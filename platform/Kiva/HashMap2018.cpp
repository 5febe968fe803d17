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

// The directory never grows deeper than this: hash bits 8 up are kept, and
// members sharing 24 top bits are few (a hash of distinct 32-bit keys gives
// at most 256 of them).
constexpr std::uint32_t kMaxDepth = 24;
// The directory may double while it keeps at most this many entries, or
// twice the member count if that is more.
constexpr std::uint64_t kDirectoryAllowance = 1024;
// An array that would be rebuilt larger than this splits instead.
constexpr std::uint32_t kSplitSlots = 2048;
// Room, in percent of the members, an array gets when it grows or splits,
// and when it shrinks or merges.
constexpr std::uint32_t kGrowPercent = 140;
constexpr std::uint32_t kShrinkPercent = 200;
// An array is rebuilt smaller once fewer than 1/kShrinkBelow of its slots
// hold members; buddies merge when they hold fewer than 1/kShrinkBelow of
// their slots together, or at most kMergeMembers.
constexpr std::uint32_t kShrinkBelow = 8;
constexpr std::uint32_t kMergeMembers = 8;
// The memory bound, and the directory's share of it.
constexpr std::uint64_t kSlotsPerMember = 8;
constexpr std::uint64_t kBoundFloor = 64;
constexpr std::uint64_t kEntriesPerMember = 16;
// A new array for an empty range covers at most 2^kEmptyRangeDepths entries.
constexpr std::uint32_t kEmptyRangeDepths = 6;

constexpr Pooler::Type kDirectoryType{"Kiva::HashMap2018Generic directory", 0};

[[noreturn]] void fatal(char const* function, char const* message) {
  std::fprintf(stderr, "Kiva::HashMap2018Generic::%s: %s\n", function, message);
  std::fflush(stderr);
  std::abort();
}

// The one array every prefix without members names: one group of empty tags,
// a limit of 0 so that an insertion always builds an array of its own.
struct EmptyArray {
  std::uint8_t tags[kGroupSlots];
  std::uint8_t hashBits[3 * kGroupSlots];
  Fields fields;
};
alignas(64) EmptyArray gEmptyArray = {
    {kEmpty, kEmpty, kEmpty, kEmpty, kEmpty, kEmpty, kEmpty, kEmpty, kEmpty, kEmpty, kEmpty, kEmpty,
     kEmpty, kEmpty, kEmpty, kEmpty},
    {},
    {{kGroupSlots << HashMap2018BucketHdr::kCountShift}, 1, 0, 0, 0, 0, {0, 0}}};

}  // namespace

AllocTrackTypeInfo HashMap2018Generic::bucketHeaderTracker_{"Kiva::HashMap2018BucketHdr"};

HashMap2018BucketHdr* HashMap2018Generic::emptyArray() {
  return &gEmptyArray.fields.hdr;
}

HashMap2018Generic::HashMap2018Generic(HashMap2018VTable const* vt, std::uint32_t, bool)
    : dir_(inlineEntry_), vt_(vt) {
  if (vt == nullptr || vt->nodeSize == 0)
    fatal("HashMap2018Generic", "no descriptor or node size 0");
  inlineEntry_[0] = entryFor(emptyArray());
}

HashMap2018Generic::~HashMap2018Generic() {
  emptyAllBuckets(vt_, true);
}

// ---- Directory ------------------------------------------------------------------

void HashMap2018Generic::directoryIs(std::uint64_t* dir, std::uint32_t depth) {
  if (dir_ != inlineEntry_) Pooler::slabFreeOrStdFree(dir_, kDirectoryType);
  if (depth == 0) {
    inlineEntry_[0] = dir[0];
    dir = inlineEntry_;
  }
  dir_ = dir;
  depth_ = static_cast<std::uint8_t>(depth);
  shift_ = static_cast<std::uint8_t>(32 - depth);
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
  directoryIs(next, depth_ + 1u);
  deepestArrays_ = 0;
}

// Only when no array is as deep as the directory: every pair of entries then
// names the same array.
void HashMap2018Generic::directoryHalve() {
  std::uint32_t const size = std::uint32_t{1} << (depth_ - 1);
  std::uint64_t one[1];
  std::uint64_t* next = one;
  if (size > 1) {
    next = static_cast<std::uint64_t*>(
        Pooler::slabAllocOrStdMalloc(sizeof(std::uint64_t) * size, Pooler::slabOrStdMalloc));
    if (next == nullptr) return;  // keep the larger directory; it is still right
  }
  for (std::uint32_t i = 0; i < size; ++i) next[i] = dir_[2 * i];
  directoryIs(next, depth_ - 1u);
  deepestArrays_ = 0;
  for (std::uint32_t i = 0; i < size; ++i) {
    HashMap2018BucketHdr* const h = bucketAt(i);
    if (!isEmptyArray(h) && fieldsOf(h).depth == depth_ && (i == 0 || dir_[i - 1] != dir_[i]))
      ++deepestArrays_;
  }
}

void HashMap2018Generic::rangeIs(std::uint32_t start, std::uint32_t size, HashMap2018BucketHdr* h) {
  std::uint64_t const entry = entryFor(h);
  for (std::uint32_t i = 0; i < size; ++i) dir_[start + i] = entry;
}

// ---- Arrays -----------------------------------------------------------------------

// Slots for an array holding `members` with `percent` percent of room: whole
// groups, as many as the allocator's block for that size holds.
std::uint32_t HashMap2018Generic::fittedSlots(HashMap2018VTable const* vt, std::uint32_t members,
                                              std::uint32_t percent) const {
  std::uint64_t wanted = (std::uint64_t{members} * percent + 99) / 100;
  wanted = std::max<std::uint64_t>(wanted, members + 1u);
  std::uint64_t slots = (wanted + kGroupSlots - 1) / kGroupSlots * kGroupSlots;
  slots = std::clamp<std::uint64_t>(slots, kMinSlots, kMaxArraySlots);
  std::size_t const usable =
      Pooler::usableSizeFor(bytesFor(static_cast<std::uint32_t>(slots), vt->nodeSize));
  while (slots + kGroupSlots <= kMaxArraySlots &&
         bytesFor(static_cast<std::uint32_t>(slots + kGroupSlots), vt->nodeSize) <= usable)
    slots += kGroupSlots;
  return static_cast<std::uint32_t>(slots);
}

HashMap2018BucketHdr* HashMap2018Generic::arrayNew(HashMap2018VTable const* vt, std::uint32_t slots,
                                                   std::uint32_t depth) {
  void* memory =
      Pooler::slabAllocOrStdMalloc(bytesFor(slots, vt->nodeSize), Pooler::slabOrStdMalloc);
  if (memory == nullptr) throw std::bad_alloc();
  auto* h = reinterpret_cast<HashMap2018BucketHdr*>(static_cast<char*>(memory) + 4 * slots);
  if ((reinterpret_cast<std::uintptr_t>(h) & ~kEntryAddressMask) != 0) {
    fatal("newMemberG", "a bucket array lies beyond the 48-bit address space");
  }
  std::memset(memory, kEmpty, slots);
  // The limit lies between 7/8 and 15/16 of the slots, varied per array.
  jitter_ = jitter_ * 1103515245u + 12345u;
  std::uint32_t const spread = slots / 16 + 1;
  std::uint32_t const limit = slots - slots / 16 - (jitter_ >> 16) % spread;
  fieldsOf(h) = Fields{{slots << HashMap2018BucketHdr::kCountShift}, 1, 0, 0, limit, depth, {0, 0}};
  // The node type's tracker hears of the whole array at once; nodes come one
  // by one through place.
  vt->newBucketAssemble()(vt, slots, nodesOf(h), nullptr, 0);
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
  if (fieldsOf(h).depth == depth_) --deepestArrays_;
  vt->bktHdrRefDec()(h);
}

void HashMap2018Generic::depthIs(HashMap2018BucketHdr* h, std::uint32_t depth) {
  if (fieldsOf(h).depth == depth_) --deepestArrays_;
  fieldsOf(h).depth = depth;
  if (depth == depth_) ++deepestArrays_;
}

// Builds `node` in slot `slot` of `h`, a free slot.
inline void* HashMap2018Generic::placeAt(HashMap2018VTable const* vt, HashMap2018BucketHdr* h,
                                         std::uint32_t slot, std::uint32_t hash, void* node) {
  std::uint32_t const slots = slotsOf(h);
  void* const dst = nodesOf(h) + std::size_t{slot} * vt->nodeSize;
  vt->place()(vt, dst, node, false);
  Fields& f = fieldsOf(h);
  f.used += tagsOf(h, slots)[slot] == kEmpty;
  ++f.live;
  hashIs(h, slots, slot, hash);
  ++count_;
  return dst;
}

// An array being built by a rebuild, split or merge: no deleted slots, room
// for every member it will get. Members go in with put(); finish() writes the
// counts once they are all in.
class HashMap2018Generic::Builder {
 public:
  explicit Builder(HashMap2018BucketHdr* h)
      : h_(h),
        tags_(tagsOf(h, slotsOf(h))),
        high_(highBitsOf(h, slotsOf(h))),
        middle_(middleBitsOf(h, slotsOf(h))),
        nodes_(nodesOf(h)),
        groups_(slotsOf(h) / kGroupSlots) {}

  // The node of the first empty slot of the probe of `hash`, its tag and
  // hash bits written: the caller constructs the member there.
  char* put(std::uint32_t hash, std::size_t nodeSize) {
    std::uint32_t g = firstGroup(hash, groups_);
    std::uint32_t free;
    while ((free = matchEmpty(tags_ + g * kGroupSlots)) == 0) g = g + 1 == groups_ ? 0 : g + 1;
    std::uint32_t const slot = g * kGroupSlots + static_cast<std::uint32_t>(__builtin_ctz(free));
    tags_[slot] = tagOf(hash);
    high_[slot] = static_cast<std::uint16_t>(hash >> 16);
    middle_[slot] = static_cast<std::uint8_t>(hash >> 8);
    ++placed_;
    return nodes_ + std::size_t{slot} * nodeSize;
  }

  void finish() {
    Fields& f = fieldsOf(h_);
    f.live += placed_;
    f.used += placed_;
  }

 private:
  HashMap2018BucketHdr* h_;
  std::uint8_t* tags_;
  std::uint16_t* high_;
  std::uint8_t* middle_;
  char* nodes_;
  std::uint32_t groups_;
  std::uint32_t placed_ = 0;
};

// Builds in `into` every member of `from` whose hash h has h & mask == want;
// `from` is left as it was. The builder is worked on as a local copy, which
// the tag stores cannot alias.
void HashMap2018Generic::moveAll(HashMap2018VTable const* vt, HashMap2018BucketHdr* from,
                                 Builder& into, std::uint32_t mask, std::uint32_t want) {
  Builder to = into;
  std::uint32_t const slots = slotsOf(from);
  std::uint8_t const* const tags = tagsOf(from, slots);
  std::uint16_t const* const high = highBitsOf(from, slots);
  std::uint8_t const* const middle = middleBitsOf(from, slots);
  char* const nodes = nodesOf(from);
  std::size_t const nodeSize = vt->nodeSize;
  PlaceFn const place = vt->place();
  for (std::uint32_t g = 0; g < slots; g += kGroupSlots) {
    for (std::uint32_t m = matchFull(tags + g); m != 0; m &= m - 1) {
      std::uint32_t const i = g + static_cast<std::uint32_t>(__builtin_ctz(m));
      std::uint32_t const hash =
          std::uint32_t{high[i]} << 16 | std::uint32_t{middle[i]} << 8 | tags[i];
      if ((hash & mask) != want) continue;
      place(vt, to.put(hash, nodeSize), nodes + std::size_t{i} * nodeSize, true);
    }
  }
  into = to;
}

// The array for a member whose prefix has no array: as shallow as the empty
// entries around it allow (within kEmptyRangeDepths levels), so that one array
// serves a neighbourhood rather than a single entry.
HashMap2018BucketHdr* HashMap2018Generic::arrayForEmptyRange(HashMap2018VTable const* vt,
                                                             std::uint32_t hash) {
  std::uint32_t const index = bucketIndex(hash);
  std::uint32_t depth = depth_;
  std::uint64_t const empty = entryFor(emptyArray());
  while (depth > 0 && depth_ - depth < kEmptyRangeDepths) {
    std::uint32_t const start = rangeStart(index, depth - 1);
    std::uint32_t const size = rangeSize(depth - 1);
    bool allEmpty = true;
    for (std::uint32_t i = 0; i < size && allEmpty; ++i) allEmpty = dir_[start + i] == empty;
    if (!allEmpty) break;
    --depth;
  }
  HashMap2018BucketHdr* const h = arrayNew(vt, kMinSlots, depth);
  rangeIs(rangeStart(index, depth), rangeSize(depth), h);
  return h;
}

// ---- Insertion --------------------------------------------------------------------

void* HashMap2018Generic::newMemberG(HashMap2018VTable const* vt,
                                     HashHelper::KeyAndRhashSeedArg const& k, void* node) {
#ifndef NDEBUG
  KeyEqualsNodeFn const equals = vt->keyEqualsNode();
  if (lookupNodeTyped(k, vt->nodeSize, [&](void const* n) { return equals(k.key, n); }) != nullptr)
    fatal("newMemberG", "the key is already a member");
#endif
  std::uint64_t const entry = dir_[bucketIndex(k.hash)];
  HashMap2018BucketHdr* const h = bucketOf(entry);
  std::uint32_t const slots = entrySlots(entry);
  std::uint32_t const groups = slots / kGroupSlots;
  std::uint8_t const* const tags = tagsOf(h, slots);
  std::uint32_t g = firstGroup(k.hash, groups);
  std::uint32_t free;
  while ((free = matchFree(tags + g * kGroupSlots)) == 0) g = g + 1 == groups ? 0 : g + 1;
  std::uint32_t const slot = g * kGroupSlots + static_cast<std::uint32_t>(__builtin_ctz(free));
  // A deleted slot is reused whatever the limit; an empty one only under it.
  Fields const& f = fieldsOf(h);
  if (f.used < f.limit || tags[slot] != kEmpty) [[likely]]
    return placeAt(vt, h, slot, k.hash, node);
  return insertSlow(vt, k.hash, node);
}

// An insertion whose array must be built or rebuilt first.
void* HashMap2018Generic::insertSlow(HashMap2018VTable const* vt, std::uint32_t hash, void* node) {
  for (;;) {
    HashMap2018BucketHdr* h = bucketAt(bucketIndex(hash));
    if (isEmptyArray(h)) h = arrayForEmptyRange(vt, hash);
    Fields const& f = fieldsOf(h);
    if (f.used < f.limit) {
      std::uint32_t const slots = slotsOf(h);
      std::uint32_t const groups = slots / kGroupSlots;
      std::uint8_t const* const tags = tagsOf(h, slots);
      std::uint32_t g = firstGroup(hash, groups);
      std::uint32_t free;
      while ((free = matchFree(tags + g * kGroupSlots)) == 0) g = g + 1 == groups ? 0 : g + 1;
      void* const member = placeAt(
          vt, h, g * kGroupSlots + static_cast<std::uint32_t>(__builtin_ctz(free)), hash, node);
      boundAfterGrowth(vt);
      return member;
    }
    makeRoom(vt, hash, h);
  }
}

// A new array may leave a collection of few members over the memory bound
// (one member alone in an array of its own); rebuilding it whole restores it.
void HashMap2018Generic::boundAfterGrowth(HashMap2018VTable const* vt) {
  if (!compacting_ && overBound()) {
    try {
      compact(vt);
    } catch (std::bad_alloc const&) {
    }
  }
}

// Makes room in `h`, whose used slots reached its limit, where a member of
// hash `hash` belongs: a rebuild with room for about 1.4 times its members
// (which also clears its deleted slots), or a split once that would pass
// kSplitSlots.
void HashMap2018Generic::makeRoom(HashMap2018VTable const* vt, std::uint32_t hash,
                                  HashMap2018BucketHdr* h) {
  std::uint32_t const live = fieldsOf(h).live;
  std::uint32_t const slots = fittedSlots(vt, live, kGrowPercent);
  if (slots <= kSplitSlots) return rebuild(vt, hash, h, slots);
  std::uint32_t const depth = fieldsOf(h).depth;
  if (depth == depth_) {
    if (directoryMayDouble()) {
      directoryDouble();
    } else if (slotsOf(h) < kMaxArraySlots) {
      return rebuild(vt, hash, h, std::min(kMaxArraySlots, fittedSlots(vt, live, kGrowPercent)));
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
  std::uint32_t const depth = fieldsOf(h).depth;
  HashMap2018BucketHdr* const fresh = arrayNew(vt, slots, depth);
  Builder into(fresh);
  moveAll(vt, h, into, 0, 0);
  into.finish();
  checkArray(fresh);
  std::uint32_t const index = bucketIndex(hash);
  rangeIs(rangeStart(index, depth), rangeSize(depth), fresh);
  arrayRelease(vt, h);
}

// Splits `h` (depth d < the directory's) by hash bit d from the top: its
// range's lower half gets the members with that bit clear, the upper half
// those with it set.
void HashMap2018Generic::split(HashMap2018VTable const* vt, std::uint32_t hash,
                               HashMap2018BucketHdr* h) {
  std::uint32_t const depth = fieldsOf(h).depth;
  std::uint32_t const start = rangeStart(bucketIndex(hash), depth);
  std::uint32_t const half = rangeSize(depth) / 2;
  std::uint32_t const bit = 0x80000000u >> depth;
  std::uint32_t const slots = slotsOf(h);
  std::uint8_t const* const tags = tagsOf(h, slots);
  // The split bit lies in the high plane (bits 16-31) or the middle one (8-15).
  std::uint32_t high = 0;
  if (bit >= 0x10000u) {
    std::uint16_t const* const plane = highBitsOf(h, slots);
    std::uint32_t const planeBit = bit >> 16;
    for (std::uint32_t g = 0; g < slots; g += kGroupSlots) {
      for (std::uint32_t m = matchFull(tags + g); m != 0; m &= m - 1)
        high += (plane[g + static_cast<std::uint32_t>(__builtin_ctz(m))] & planeBit) != 0;
    }
  } else {
    std::uint8_t const* const plane = middleBitsOf(h, slots);
    std::uint32_t const planeBit = bit >> 8;
    for (std::uint32_t g = 0; g < slots; g += kGroupSlots) {
      for (std::uint32_t m = matchFull(tags + g); m != 0; m &= m - 1)
        high += (plane[g + static_cast<std::uint32_t>(__builtin_ctz(m))] & planeBit) != 0;
    }
  }
  std::uint32_t const low = fieldsOf(h).live - high;
  if (high == 0 || low == 0) {
    // All on one side: the array narrows to that half; nothing moves.
    depthIs(h, depth + 1);
    rangeIs(high == 0 ? start + half : start, half, emptyArray());
    return;
  }
  HashMap2018BucketHdr* const lower = arrayNew(vt, fittedSlots(vt, low, kGrowPercent), depth + 1);
  HashMap2018BucketHdr* upper;
  try {
    upper = arrayNew(vt, fittedSlots(vt, high, kGrowPercent), depth + 1);
  } catch (...) {
    arrayRelease(vt, lower);
    throw;
  }
  Builder intoLower(lower);
  Builder intoUpper(upper);
  moveAll(vt, h, intoLower, bit, 0);
  moveAll(vt, h, intoUpper, bit, bit);
  intoLower.finish();
  intoUpper.finish();
  checkArray(lower);
  checkArray(upper);
  rangeIs(start, half, lower);
  rangeIs(start + half, half, upper);
  arrayRelease(vt, h);
}

// ---- Deletion ---------------------------------------------------------------------

bool HashMap2018Generic::deleteMemberG(HashMap2018VTable const* vt,
                                       HashHelper::KeyAndRhashSeedArg const& k,
                                       void* removedStorage) {
  std::uint64_t const entry = dir_[bucketIndex(k.hash)];
  KeyEqualsNodeFn const equals = vt->keyEqualsNode();
  std::int32_t const found =
      slotOf(entry, k.hash, vt->nodeSize, [&](void const* node) { return equals(k.key, node); });
  if (found < 0) return false;
  HashMap2018BucketHdr* const h = bucketOf(entry);
  std::uint32_t const slot = static_cast<std::uint32_t>(found);
  if (removedStorage != nullptr)
    vt->place()(vt, removedStorage, nodesOf(h) + slot * vt->nodeSize, true);
  eraseSlot(vt, k.hash, h, slot);
  return true;
}

void HashMap2018Generic::deleteNodeG(HashMap2018VTable const* vt, std::uint32_t hash, void* node) {
  HashMap2018BucketHdr* const h = bucketAt(bucketIndex(hash));
  // Offsets within an array fit 32 bits, whose division is the cheaper.
  std::uint32_t const slot = static_cast<std::uint32_t>(static_cast<char*>(node) - nodesOf(h)) /
                             static_cast<std::uint32_t>(vt->nodeSize);
  eraseSlot(vt, hash, h, slot);
}

// Marks `slot` free: empty when its group has an empty slot (no probe then
// ever went past the group), else deleted.
inline void HashMap2018Generic::eraseSlot(HashMap2018VTable const* vt, std::uint32_t hash,
                                          HashMap2018BucketHdr* h, std::uint32_t slot) {
  std::uint32_t const slots = slotsOf(h);
  std::uint8_t* const tags = tagsOf(h, slots);
  Fields& f = fieldsOf(h);
  bool const empty = matchEmpty(tags + (slot & ~(kGroupSlots - 1))) != 0;
  tags[slot] = empty ? kEmpty : kDeleted;
  f.used -= empty;
  --f.live;
  --count_;
  if (f.live * kShrinkBelow < slots || slots_ > kSlotsPerMember * count_) afterDelete(vt, hash, h);
}

// Keeps memory in proportion after a deletion left `h` sparse: an empty
// array goes, a sparse one merges with its buddy or shrinks, the directory
// halves when nothing is as deep as it, and a collection over its bound is
// rebuilt whole. The deletion itself is done: when memory for a smaller
// array cannot be had, the arrays stay as they are.
void HashMap2018Generic::afterDelete(HashMap2018VTable const* vt, std::uint32_t hash,
                                     HashMap2018BucketHdr* h) {
  if (count_ == 0) {
    emptyAllBuckets(vt, true);
    return;
  }
  std::uint32_t const live = fieldsOf(h).live;
  std::uint32_t const depth = fieldsOf(h).depth;
  std::uint32_t const start = rangeStart(bucketIndex(hash), depth);
  std::uint32_t const size = rangeSize(depth);
  try {
    if (live == 0) {
      rangeIs(start, size, emptyArray());
      arrayRelease(vt, h);
      // The buddy, when it is one array of the same depth, takes the range over.
      if (depth > 0) {
        if (HashMap2018BucketHdr* const buddy = bucketAt(start ^ size);
            !isEmptyArray(buddy) && fieldsOf(buddy).depth == depth) {
          depthIs(buddy, depth - 1);
          rangeIs(start, size, buddy);
        }
      }
    } else if (!mergeWithBuddy(vt, hash, h) && slotsOf(h) > kMinSlots) {
      std::uint32_t const slots = fittedSlots(vt, live, kShrinkPercent);
      if (slots < slotsOf(h)) rebuild(vt, hash, h, slots);
    }
    while (depth_ > 0 && deepestArrays_ == 0) {
      std::uint32_t const before = depth_;
      directoryHalve();
      if (depth_ == before) break;
    }
    if (overBound()) compact(vt);
  } catch (std::bad_alloc const&) {
  }
}

// Merges `h` with its buddy when both are of the same depth and their members
// are few; returns whether `h` was replaced.
bool HashMap2018Generic::mergeWithBuddy(HashMap2018VTable const* vt, std::uint32_t hash,
                                        HashMap2018BucketHdr* h) {
  std::uint32_t const depth = fieldsOf(h).depth;
  if (depth == 0) return false;
  std::uint32_t const size = rangeSize(depth);
  std::uint32_t const start = rangeStart(bucketIndex(hash), depth);
  std::uint32_t const buddyStart = start ^ size;
  HashMap2018BucketHdr* const buddy = bucketAt(buddyStart);
  if (isEmptyArray(buddy)) {
    // When the whole buddy range is empty, the array widens over it.
    bool allEmpty = true;
    for (std::uint32_t i = 1; i < size && allEmpty; ++i)
      allEmpty = isEmptyArray(bucketAt(buddyStart + i));
    if (allEmpty) {
      depthIs(h, depth - 1);
      rangeIs(buddyStart, size, h);
    }
    return false;
  }
  if (fieldsOf(buddy).depth != depth) return false;
  std::uint32_t const total = fieldsOf(h).live + fieldsOf(buddy).live;
  if (total > kMergeMembers && total * kShrinkBelow >= slotsOf(h) + slotsOf(buddy)) return false;
  HashMap2018BucketHdr* const merged =
      arrayNew(vt, fittedSlots(vt, total, kShrinkPercent), depth - 1);
  Builder into(merged);
  moveAll(vt, h, into, 0, 0);
  moveAll(vt, buddy, into, 0, 0);
  into.finish();
  checkArray(merged);
  rangeIs(std::min(start, buddyStart), 2 * size, merged);
  arrayRelease(vt, h);
  arrayRelease(vt, buddy);
  return true;
}

bool HashMap2018Generic::overBound() const {
  return slots_ > std::max(kBoundFloor, kSlotsPerMember * count_) ||
         (std::uint64_t{1} << depth_) > std::max(kDirectoryAllowance, kEntriesPerMember * count_);
}

// Rebuilds the collection whole: every member inserted afresh into a new
// directory and new arrays; the old ones go only once that has succeeded.
void HashMap2018Generic::compact(HashMap2018VTable const* vt) {
  HashMap2018Generic fresh(vt, 1, false);
  fresh.compacting_ = true;
  std::uint32_t const size = std::uint32_t{1} << depth_;
  for (std::uint32_t i = 0; i < size; ++i) {
    HashMap2018BucketHdr* const h = bucketAt(i);
    if (isEmptyArray(h)) continue;
    std::uint32_t const slots = slotsOf(h);
    std::uint8_t const* const tags = tagsOf(h, slots);
    for (std::uint32_t s = 0; s < slots; ++s) {
      if (isFull(tags[s]))
        fresh.insertSlow(vt, hashAt(h, slots, s), nodesOf(h) + std::size_t{s} * vt->nodeSize);
    }
    i = rangeStart(i, fieldsOf(h).depth) + rangeSize(fieldsOf(h).depth) - 1;
  }
  swapWith(fresh);
}

void HashMap2018Generic::swapWith(HashMap2018Generic& other) {
  auto const dirOf = [](HashMap2018Generic& c) {
    return c.dir_ == c.inlineEntry_ ? nullptr : c.dir_;
  };
  std::uint64_t* const mine = dirOf(*this);
  std::uint64_t* const theirs = dirOf(other);
  std::swap(inlineEntry_[0], other.inlineEntry_[0]);
  dir_ = theirs != nullptr ? theirs : inlineEntry_;
  other.dir_ = mine != nullptr ? mine : other.inlineEntry_;
  std::swap(count_, other.count_);
  std::swap(slots_, other.slots_);
  std::swap(deepestArrays_, other.deepestArrays_);
  std::swap(depth_, other.depth_);
  std::swap(shift_, other.shift_);
  compacting_ = false;
}

void HashMap2018Generic::_memberDelAll(HashMap2018VTable const* vt) {
  emptyAllBuckets(vt, true);
}

void HashMap2018Generic::emptyAllBuckets(HashMap2018VTable const* vt, bool releaseDirectory) {
  std::uint32_t const size = std::uint32_t{1} << depth_;
  for (std::uint32_t i = 0; i < size; ++i) {
    HashMap2018BucketHdr* const h = bucketAt(i);
    if (isEmptyArray(h)) continue;
    std::uint32_t const end = rangeStart(i, fieldsOf(h).depth) + rangeSize(fieldsOf(h).depth);
    rangeIs(i, end - i, emptyArray());
    arrayRelease(vt, h);
    i = end - 1;
  }
  if (releaseDirectory) {
    std::uint64_t empty[1] = {entryFor(emptyArray())};
    directoryIs(empty, 0);
  }
  count_ = 0;
  slots_ = 0;
  deepestArrays_ = 0;
}

// ---- Invariants ---------------------------------------------------------------------

// One array's own invariants: counts against tags, and every member found
// by its probe (no group with an empty slot before its own).
void HashMap2018Generic::checkArray([[maybe_unused]] HashMap2018BucketHdr* h) const {
#ifndef NDEBUG
  std::uint32_t const slots = slotsOf(h);
  if (slots == 0 || slots % kGroupSlots != 0 || slots > kMaxArraySlots)
    fatal("checkInvariants", "an array's slot count is not whole groups within the node limit");
  Fields const& f = fieldsOf(h);
  std::uint8_t const* const tags = tagsOf(h, slots);
  std::uint32_t live = 0;
  std::uint32_t used = 0;
  std::uint32_t const groups = slots / kGroupSlots;
  for (std::uint32_t i = 0; i < slots; ++i) {
    if (tags[i] != kEmpty && tags[i] != kDeleted && !isFull(tags[i]))
      fatal("checkInvariants", "a tag that is neither a member's, empty nor deleted");
    live += isFull(tags[i]);
    used += tags[i] != kEmpty;
    if (!isFull(tags[i])) continue;
    std::uint32_t const hash = hashAt(h, slots, i);
    for (std::uint32_t g = firstGroup(hash, groups); g != i / kGroupSlots;
         g = g + 1 == groups ? 0 : g + 1) {
      if (matchEmpty(tags + g * kGroupSlots) != 0)
        fatal("checkInvariants", "a member lies past an empty slot of its probe");
    }
  }
  if (live != f.live) fatal("checkInvariants", "an array's live count differs from its tags");
  if (used != f.used) fatal("checkInvariants", "an array's used count differs from its tags");
  if (used > f.limit || f.limit >= slots) fatal("checkInvariants", "an array is past its limit");
  if (f.refs == 0) fatal("checkInvariants", "an array in the collection has no reference");
#endif
}

void HashMap2018Generic::checkInvariants() const {
  std::uint32_t const size = std::uint32_t{1} << depth_;
  if ((depth_ == 0) != (dir_ == inlineEntry_))
    fatal("checkInvariants", "a one-entry directory lies outside the collection, or a larger in");
  std::uint64_t slots = 0;
  std::uint64_t live = 0;
  std::uint32_t deepest = 0;
  for (std::uint32_t i = 0; i < size;) {
    HashMap2018BucketHdr* const h = bucketAt(i);
    if (HashMap2018Layout::entrySlots(dir_[i]) != slotsOf(h))
      fatal("checkInvariants", "a directory entry's slot count is not its array's");
    if (isEmptyArray(h)) {
      ++i;
      continue;
    }
    std::uint32_t const depth = fieldsOf(h).depth;
    if (depth > depth_) fatal("checkInvariants", "an array is deeper than the directory");
    std::uint32_t const run = rangeSize(depth);
    if (i % run != 0) fatal("checkInvariants", "an array's range is not aligned to its depth");
    for (std::uint32_t j = i; j < i + run; ++j) {
      if (dir_[j] != dir_[i]) fatal("checkInvariants", "an array is not named by its whole range");
    }
    if (i + run < size && dir_[i + run] == dir_[i])
      fatal("checkInvariants", "an array is named beyond its range");
    checkArray(h);
    std::uint32_t const arraySlots = slotsOf(h);
    std::uint8_t const* const tags = tagsOf(h, arraySlots);
    for (std::uint32_t s = 0; s < arraySlots; ++s) {
      if (isFull(tags[s]) && bucketIndex(hashAt(h, arraySlots, s)) / run != i / run)
        fatal("checkInvariants", "a member's hash is outside its array's prefix");
      live += isFull(tags[s]);
    }
    slots += arraySlots;
    deepest += depth == depth_;
    i += run;
  }
  for (std::uint32_t s = 0; s < kGroupSlots; ++s) {
    if (gEmptyArray.tags[s] != kEmpty) fatal("checkInvariants", "the shared empty array changed");
  }
  if (live != count_) fatal("checkInvariants", "the member count differs from the arrays'");
  if (slots != slots_) fatal("checkInvariants", "the slot total differs from the arrays'");
  if (deepest != deepestArrays_)
    fatal("checkInvariants", "the count of arrays as deep as the directory is wrong");
  if (slots_ > std::max(kBoundFloor, kSlotsPerMember * count_))
    fatal("checkInvariants", "more than max(64, 8 x members) slots");
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
  KeyEqualsNodeFn const equals = vt->keyEqualsNode();
  std::int32_t const slot = HashMap2018Generic::slotOf(
      entry, k.hash, vt->nodeSize, [&](void const* node) { return equals(k.key, node); });
  if (slot >= 0) moveTo(bucketOf(entry), static_cast<std::uint32_t>(slot));
}

HashMap2018IteratorGeneric::HashMap2018IteratorGeneric(
    HashMap2018IteratorGeneric const& other) noexcept
    : coll_(other.coll_),
      vt_(other.vt_),
      hdr_(other.hdr_),
      slot_(other.slot_),
      hash_(other.hash_),
      lower_(other.lower_) {
  if (hdr_ != nullptr) ++fieldsOf(hdr_).refs;
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
  if (other.hdr_ != nullptr) ++fieldsOf(other.hdr_).refs;
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
    ++fieldsOf(h).refs;
    release();
    hdr_ = h;
  }
  slot_ = slot;
  hash_ = hashAt(h, slotsOf(h), slot);
}

// The first slot at or after `from` of `h` holding a member the walk has not
// passed, or -1.
std::int32_t HashMap2018IteratorGeneric::nextSlotIn(HashMap2018BucketHdr* h,
                                                    std::uint32_t from) const {
  std::uint32_t const slots = slotsOf(h);
  std::uint8_t const* const tags = tagsOf(h, slots);
  for (std::uint32_t i = from; i < slots; ++i) {
    if (isFull(tags[i]) && hashAt(h, slots, i) >= lower_) return static_cast<std::int32_t>(i);
  }
  return -1;
}

// At the first member of the first array from directory entry `index` on
// (only hashes from lower_ up), or at the end.
void HashMap2018IteratorGeneric::firstFrom(std::uint32_t index) const {
  std::uint32_t const size = std::uint32_t{1} << coll_->depth_;
  for (std::uint32_t e = index; e < size; ++e) {
    HashMap2018BucketHdr* const h = coll_->bucketAt(e);
    if (HashMap2018Generic::isEmptyArray(h)) continue;
    if (std::int32_t const slot = nextSlotIn(h, 0); slot >= 0) {
      moveTo(h, static_cast<std::uint32_t>(slot));
      return;
    }
    std::uint32_t const depth = fieldsOf(h).depth;
    e = coll_->rangeStart(e, depth) + coll_->rangeSize(depth) - 1;
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
  if (inCollection()) {
    std::uint32_t const slots = slotsOf(hdr_);
    return isFull(tagsOf(hdr_, slots)[slot_]) && hashAt(hdr_, slots, slot_) == hash_
               ? currNodeMaybeStale()
               : nullptr;
  }
  // The array was replaced: look the member up by its hash and key.
  std::uint64_t const entry = coll_->dir_[coll_->bucketIndex(hash_)];
  void const* const stale = currNodeMaybeStale();
  CompareOrLruUnlinkFn const cmp = vt_->compareOrLruUnlink();
  std::int32_t const slot =
      HashMap2018Generic::slotOf(entry, hash_, vt_->nodeSize,
                                 [&](void const* node) { return cmp(nullptr, stale, node) == 0; });
  return slot < 0 ? nullptr
                  : nodesOf(bucketOf(entry)) + static_cast<std::size_t>(slot) * vt_->nodeSize;
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
  std::uint32_t const depth = fieldsOf(h).depth;
  std::uint64_t const next = depth == 0
                                 ? std::uint64_t{1} << 32
                                 : (std::uint64_t{hash_ >> (32 - depth)} + 1) << (32 - depth);
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
