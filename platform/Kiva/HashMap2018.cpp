#include "Kiva/HashMap2018.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
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
// An array that would be rebuilt for more nodes than this splits instead.
constexpr std::uint32_t kSplitNodes = 2048;
// Room, in percent of the members, an array gets when it grows or splits
// (varied by up to kGrowJitter percent from array to array), and when it
// shrinks or merges.
constexpr std::uint32_t kGrowPercent = 140;
constexpr std::uint32_t kGrowJitter = 8;
constexpr std::uint32_t kSmallArray = 256;
constexpr std::uint32_t kShrinkPercent = 200;
// The most room an array takes toward the members its owner expects.
constexpr std::uint64_t kExpectPercent = 400;
// An array is rebuilt smaller once fewer than 1/kShrinkBelow of its nodes
// are members; buddies merge when they hold fewer than 1/kShrinkBelow of
// their nodes together, or at most kMergeMembers.
constexpr std::uint32_t kShrinkBelow = 8;
constexpr std::uint32_t kMergeMembers = 8;
// The memory bound, and the directory's share of it.
constexpr std::uint64_t kSlotsPerMember = 8;
constexpr std::uint64_t kBoundFloor = 64;
constexpr std::uint64_t kEntriesPerMember = 16;
// A new array for an empty range covers at most 2^kEmptyRangeDepths entries.
constexpr std::uint32_t kEmptyRangeDepths = 6;
// The least capacity of an array, and that of a first array (one group's
// worth).
constexpr std::uint32_t kMinNodes = 4;
constexpr std::uint32_t kFirstNodes = 12;
// Runs a rebuild gathers on the stack; more go to a buffer of their own.
constexpr std::uint32_t kStackRuns = 512;

constexpr Pooler::Type kDirectoryType{"Kiva::HashMap2018Generic directory", 0};

[[noreturn]] void fatal(char const* function, char const* message) {
  std::fprintf(stderr, "Kiva::HashMap2018Generic::%s: %s\n", function, message);
  std::fflush(stderr);
  std::abort();
}

// The one array every prefix without members names: no nodes, one group of
// empty tags, so that a lookup ends at once and an insertion always builds an
// array of its own.
struct EmptyArray {
  Fields fields;
  std::uint8_t group[kGroupBytes];
};
alignas(64) EmptyArray gEmptyArray = {
    {{0}, 1, 0, 0, 1, 0, {0, 0}},
    {kEmpty, kEmpty, kEmpty, kEmpty, kEmpty, kEmpty, kEmpty, kEmpty, kEmpty, kEmpty, kEmpty, kEmpty,
     kEmpty, kEmpty, kEmpty, kEmpty}};

}  // namespace

// Where the members of an array go when it is rebuilt: the runs of
// consecutive node positions newBucketAssemble copies, in order.
class HashMap2018Generic::RunList {
 public:
  RunList() = default;
  RunList(RunList const&) = delete;
  RunList& operator=(RunList const&) = delete;

  // Adds the `count` nodes from `first` on.
  void add(char const* first, std::uint32_t count) {
    if (count_ == capacity_) grow();
    runs_[count_++] = {first, count};
  }
  HashMap2018NodeRun const* runs() const { return runs_; }
  std::uint32_t size() const { return count_; }

 private:
  void grow() {
    std::uint32_t const next = capacity_ * 4;
    auto* const more = new HashMap2018NodeRun[next];
    std::copy(runs_, runs_ + count_, more);
    heap_.reset(more);
    runs_ = more;
    capacity_ = next;
  }

  HashMap2018NodeRun stack_[kStackRuns];
  HashMap2018NodeRun* runs_ = stack_;
  std::unique_ptr<HashMap2018NodeRun[]> heap_;
  std::uint32_t count_ = 0;
  std::uint32_t capacity_ = kStackRuns;
};

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

// The room a growing array of `live` members gets, in percent of them:
// kGrowPercent, varied a little from array to array so that arrays do not
// grow in lockstep; twice as much while the array is small, where memory
// is little and rebuilds are many.
std::uint32_t HashMap2018Generic::growPercent(std::uint32_t live) {
  jitter_ = jitter_ * 1103515245u + 12345u;
  std::uint32_t const percent =
      live < kSmallArray ? 2 * kGrowPercent : kGrowPercent + (jitter_ >> 16) % (kGrowJitter + 1);
  if (expected_ <= count_ || count_ == 0) return percent;
  // Room toward the members expected, with a tenth more.
  std::uint64_t const toward = std::uint64_t{expected_} * 110 / count_;
  return static_cast<std::uint32_t>(
      std::max<std::uint64_t>(percent, std::min<std::uint64_t>(toward, kExpectPercent)));
}

// Node capacity for an array holding `members` with `percent` percent of
// room: a multiple of 4, more than the members, as many as the allocator's
// block for that size holds.
std::uint32_t HashMap2018Generic::fittedCapacity(HashMap2018VTable const* vt, std::uint32_t members,
                                                 std::uint32_t percent) const {
  std::uint64_t wanted = (std::uint64_t{members} * percent + 99) / 100;
  wanted = std::max<std::uint64_t>(wanted, members + 1u);
  std::uint64_t capacity = (wanted + 3) / 4 * 4;
  capacity = std::clamp<std::uint64_t>(capacity, kMinNodes, kMaxNodes);
  std::size_t const usable =
      Pooler::usableSizeFor(bytesFor(static_cast<std::uint32_t>(capacity), vt->nodeSize));
  while (capacity + 4 <= kMaxNodes &&
         bytesFor(static_cast<std::uint32_t>(capacity + 4), vt->nodeSize) <= usable)
    capacity += 4;
  return static_cast<std::uint32_t>(capacity);
}

// A new array of `capacity` nodes whose first nodes newBucketAssemble copies
// from `runs` (none when null); their tags come with tagAll().
HashMap2018BucketHdr* HashMap2018Generic::arrayNew(HashMap2018VTable const* vt,
                                                   std::uint32_t capacity, std::uint32_t depth,
                                                   RunList const* runs) {
  std::uint32_t const groups = groupsFor(capacity);
  void* memory =
      Pooler::slabAllocOrStdMalloc(bytesFor(capacity, vt->nodeSize), Pooler::slabOrStdMalloc);
  if (memory == nullptr) throw std::bad_alloc();
  auto* h = reinterpret_cast<HashMap2018BucketHdr*>(static_cast<char*>(memory) + 4 * capacity);
  if ((reinterpret_cast<std::uintptr_t>(tableOf(h)) & ~kEntryAddressMask) != 0) {
    fatal("newMemberG", "a bucket array lies beyond the 48-bit address space");
  }
  fieldsOf(h) =
      Fields{{capacity << HashMap2018BucketHdr::kCountShift}, 1, 0, 0, groups, depth, {0, 0}};
  std::uint8_t* const table = tableOf(h);
  for (std::uint32_t g = 0; g < groups; ++g) std::memset(groupAt(table, g), kEmpty, kGroupSlots);
  // The node type's tracker hears of the whole array at once, with the
  // members it starts with.
  vt->newBucketAssemble()(vt, capacity, nodesOf(table, groups),
                          runs != nullptr ? runs->runs() : nullptr,
                          runs != nullptr ? runs->size() : 0);
  AllocTrackTypeInfo::_trackAllocation(bucketHeaderTracker_, "Kiva::HashMap2018BucketHdr",
                                       sizeof(HashMap2018BucketHdr), 1);
  slots_ += capacity;
  if (depth == depth_) ++deepestArrays_;
  return h;
}

// Takes `h` out of the collection's figures and drops the collection's
// reference; an iterator standing in it keeps it alive.
void HashMap2018Generic::arrayRelease(HashMap2018VTable const* vt, HashMap2018BucketHdr* h) {
  slots_ -= capacityOf(h);
  if (fieldsOf(h).depth == depth_) --deepestArrays_;
  vt->bktHdrRefDec()(h);
}

void HashMap2018Generic::depthIs(HashMap2018BucketHdr* h, std::uint32_t depth) {
  if (fieldsOf(h).depth == depth_) --deepestArrays_;
  fieldsOf(h).depth = depth;
  if (depth == depth_) ++deepestArrays_;
}

// Builds `node`, of hash `hash`, at the next node position of `h` (which has
// one) and names it from slot `j` of `group`, a free slot of its probe.
inline void* HashMap2018Generic::placeAt(HashMap2018VTable const* vt, HashMap2018BucketHdr* h,
                                         std::uint8_t* group, std::uint32_t j, std::uint32_t hash,
                                         void* node) {
  Fields& f = fieldsOf(h);
  std::uint32_t const n = f.top++;
  void* const dst = nodesOf(h) + std::size_t{n} * vt->nodeSize;
  vt->place()(vt, dst, node, false);
  hashWordsOf(h)[n] = hash & ~kHoleBit;
  group[j] = tagOf(hash);
  numbersOf(group)[j] = static_cast<std::uint16_t>(n);
  ++f.live;
  ++count_;
  return dst;
}

// Adds to `runs` the node positions of the members of `from`, in position
// order, a run of consecutive ones at a time.
void HashMap2018Generic::gather(RunList& runs, HashMap2018BucketHdr* from, std::size_t nodeSize) {
  std::uint32_t const* const words = hashWordsOf(from);
  std::uint32_t const top = fieldsOf(from).top;
  char const* const nodes = nodesOf(from);
  for (std::uint32_t n = 0; n < top;) {
    while (n < top && (words[n] & kHoleBit) != 0) ++n;
    std::uint32_t const start = n;
    while (n < top && (words[n] & kHoleBit) == 0) ++n;
    if (n > start) runs.add(nodes + std::size_t{start} * nodeSize, n - start);
  }
}

// gather for a split by `bit`: the members whose hash has it clear to
// `low`, those with it set to `high`, in one pass. Returns the count of the
// latter.
std::uint32_t HashMap2018Generic::gatherSplit(RunList& low, RunList& high,
                                              HashMap2018BucketHdr* from, std::size_t nodeSize,
                                              std::uint32_t bit) {
  std::uint32_t const* const words = hashWordsOf(from);
  std::uint32_t const top = fieldsOf(from).top;
  char const* const nodes = nodesOf(from);
  std::uint32_t highCount = 0;
  for (std::uint32_t n = 0; n < top;) {
    std::uint32_t const word = words[n];
    if ((word & kHoleBit) != 0) {
      ++n;
      continue;
    }
    // A run of members on the same side.
    std::uint32_t const side = word & bit;
    std::uint32_t const start = n;
    while (++n < top && (words[n] & (kHoleBit | bit)) == side) {
    }
    (side != 0 ? high : low).add(nodes + std::size_t{start} * nodeSize, n - start);
    if (side != 0) highCount += n - start;
  }
  return highCount;
}

// Names from `to`'s table the nodes newBucketAssemble has just copied there
// from `from` (as gather listed them, with the same mask and want): each
// gets the next node position of `to`, its hash word, and the first empty
// slot of its probe.
void HashMap2018Generic::tagAll(HashMap2018BucketHdr* to, HashMap2018BucketHdr* from,
                                std::uint32_t mask, std::uint32_t want) {
  std::uint32_t const* const words = hashWordsOf(from);
  std::uint32_t const top = fieldsOf(from).top;
  Fields& f = fieldsOf(to);
  std::uint32_t* const toWords = hashWordsOf(to);
  std::uint8_t* const table = tableOf(to);
  std::uint32_t const groups = f.groups;
  std::uint32_t n = f.top;
  std::uint32_t const test = kHoleBit | mask;
  for (std::uint32_t i = 0; i < top; ++i) {
    std::uint32_t const hash = words[i];
    if ((hash & test) != want) continue;
    std::uint32_t g = firstGroup(hash, groups);
    std::uint32_t free;
    while ((free = matchEmpty(groupAt(table, g))) == 0) g = g + 1 == groups ? 0 : g + 1;
    std::uint8_t* const group = groupAt(table, g);
    std::uint32_t const j = static_cast<std::uint32_t>(__builtin_ctz(free));
    group[j] = tagOf(hash);
    numbersOf(group)[j] = static_cast<std::uint16_t>(n);
    toWords[n++] = hash;
  }
  f.live += n - f.top;
  f.top = n;
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
  HashMap2018BucketHdr* const h =
      arrayNew(vt, fittedCapacity(vt, kFirstNodes - 1, 100), depth, nullptr);
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
  std::uint8_t* const table = entryTable(entry);
  HashMap2018BucketHdr* const h = headerOfTable(table);
  if (fieldsOf(h).top < capacityOf(h)) [[likely]] {
    // The table is never more than 7/8 full: the probe finds a free slot.
    std::uint32_t const groups = entryGroups(entry);
    std::uint32_t g = firstGroup(k.hash, groups);
    std::uint32_t free;
    while ((free = matchFree(groupAt(table, g))) == 0) g = g + 1 == groups ? 0 : g + 1;
    return placeAt(vt, h, groupAt(table, g), static_cast<std::uint32_t>(__builtin_ctz(free)),
                   k.hash, node);
  }
  return insertSlow(vt, k.hash, node);
}

// An insertion whose array must be built or rebuilt first.
void* HashMap2018Generic::insertSlow(HashMap2018VTable const* vt, std::uint32_t hash, void* node) {
  for (;;) {
    HashMap2018BucketHdr* h = bucketAt(bucketIndex(hash));
    if (isEmptyArray(h)) h = arrayForEmptyRange(vt, hash);
    Fields const& f = fieldsOf(h);
    if (f.top < capacityOf(h)) {
      std::uint8_t* const table = tableOf(h);
      std::uint32_t g = firstGroup(hash, f.groups);
      std::uint32_t free;
      while ((free = matchFree(groupAt(table, g))) == 0) g = g + 1 == f.groups ? 0 : g + 1;
      void* const member = placeAt(vt, h, groupAt(table, g),
                                   static_cast<std::uint32_t>(__builtin_ctz(free)), hash, node);
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

// Makes room in `h`, whose node positions are all used, where a member of
// hash `hash` belongs: a rebuild with room for about 1.4 times its members
// (which also drops its holes), or a split once that would pass
// kSplitNodes.
void HashMap2018Generic::makeRoom(HashMap2018VTable const* vt, std::uint32_t hash,
                                  HashMap2018BucketHdr* h) {
  std::uint32_t const live = fieldsOf(h).live;
  std::uint32_t const capacity = fittedCapacity(vt, live, growPercent(live));
  if (capacity <= kSplitNodes) return rebuild(vt, hash, h, capacity);
  if (fieldsOf(h).depth == depth_) {
    if (directoryMayDouble()) {
      directoryDouble();
    } else if (live < kMaxNodes) {
      return rebuild(vt, hash, h, capacity);
    } else if (depth_ < kMaxDepth) {
      directoryDouble();
    } else {
      throw std::length_error(
          "Kiva::HashMap2018Generic::newMemberG: too many members share one hash");
    }
  }
  split(vt, hash, h);
}

// Replaces `h` by an array of `capacity` nodes holding the same members.
void HashMap2018Generic::rebuild(HashMap2018VTable const* vt, std::uint32_t hash,
                                 HashMap2018BucketHdr* h, std::uint32_t capacity) {
  std::uint32_t const depth = fieldsOf(h).depth;
  RunList runs;
  gather(runs, h, vt->nodeSize);
  HashMap2018BucketHdr* const fresh = arrayNew(vt, capacity, depth, &runs);
  tagAll(fresh, h, 0, 0);
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
  RunList lowRuns;
  RunList highRuns;
  std::uint32_t const high = gatherSplit(lowRuns, highRuns, h, vt->nodeSize, bit);
  std::uint32_t const low = fieldsOf(h).live - high;
  if (high == 0 || low == 0) {
    // All on one side: the array narrows to that half; nothing moves.
    depthIs(h, depth + 1);
    rangeIs(high == 0 ? start + half : start, half, emptyArray());
    return;
  }
  HashMap2018BucketHdr* const lower =
      arrayNew(vt, fittedCapacity(vt, low, growPercent(low)), depth + 1, &lowRuns);
  HashMap2018BucketHdr* upper;
  try {
    upper = arrayNew(vt, fittedCapacity(vt, high, growPercent(high)), depth + 1, &highRuns);
  } catch (...) {
    arrayRelease(vt, lower);
    throw;
  }
  tagAll(lower, h, bit, 0);
  tagAll(upper, h, bit, bit);
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
  std::uint8_t* const group = groupAt(entryTable(entry), static_cast<std::uint32_t>(found) / 16);
  std::uint32_t const j = static_cast<std::uint32_t>(found) % 16;
  if (removedStorage != nullptr) {
    char* const nodes = nodesOf(entryTable(entry), entryGroups(entry));
    vt->place()(vt, removedStorage, nodes + std::size_t{numbersOf(group)[j]} * vt->nodeSize, true);
  }
  eraseSlot(vt, k.hash, bucketOf(entry), group, j);
  return true;
}

void HashMap2018Generic::deleteSlot(HashMap2018VTable const* vt, std::uint32_t hash,
                                    std::uint64_t entry, std::int32_t slot) {
  std::uint32_t const s = static_cast<std::uint32_t>(slot);
  eraseSlot(vt, hash, bucketOf(entry), groupAt(entryTable(entry), s / kGroupSlots),
            s % kGroupSlots);
}

void HashMap2018Generic::deleteNodeG(HashMap2018VTable const* vt, std::uint32_t hash, void* node) {
  std::uint64_t const entry = dir_[bucketIndex(hash)];
  std::uint8_t* const table = entryTable(entry);
  std::uint32_t const groups = entryGroups(entry);
  // Offsets within an array fit 32 bits, whose division is the cheaper.
  std::uint32_t const n =
      static_cast<std::uint32_t>(static_cast<char*>(node) - nodesOf(table, groups)) /
      static_cast<std::uint32_t>(vt->nodeSize);
  // The slot naming node n lies on the probe of its hash.
  std::uint8_t const tag = tagOf(hash);
  for (std::uint32_t g = firstGroup(hash, groups);; g = g + 1 == groups ? 0 : g + 1) {
    std::uint8_t* const group = groupAt(table, g);
    for (std::uint32_t m = matchTag(group, tag); m != 0; m &= m - 1) {
      std::uint32_t const j = static_cast<std::uint32_t>(__builtin_ctz(m));
      if (numbersOf(group)[j] == n) return eraseSlot(vt, hash, bucketOf(entry), group, j);
    }
  }
}

// Frees slot `j` of `group` and marks its node a hole. The slot becomes
// empty when its group has an empty slot (no probe then ever went past the
// group), deleted otherwise.
inline void HashMap2018Generic::eraseSlot(HashMap2018VTable const* vt, std::uint32_t hash,
                                          HashMap2018BucketHdr* h, std::uint8_t* group,
                                          std::uint32_t j) {
  Fields& f = fieldsOf(h);
  hashWordsOf(h)[numbersOf(group)[j]] |= kHoleBit;
  group[j] = matchEmpty(group) != 0 ? kEmpty : kDeleted;
  --f.live;
  --count_;
  if (f.live * kShrinkBelow < capacityOf(h) || slots_ > kSlotsPerMember * count_)
    afterDelete(vt, hash, h);
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
    } else if (!mergeWithBuddy(vt, hash, h) && capacityOf(h) > kMinNodes) {
      std::uint32_t const capacity = fittedCapacity(vt, live, kShrinkPercent);
      if (capacity < capacityOf(h)) rebuild(vt, hash, h, capacity);
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
  if (total > kMergeMembers && total * kShrinkBelow >= capacityOf(h) + capacityOf(buddy))
    return false;
  RunList runs;
  gather(runs, h, vt->nodeSize);
  gather(runs, buddy, vt->nodeSize);
  HashMap2018BucketHdr* const merged =
      arrayNew(vt, fittedCapacity(vt, total, kShrinkPercent), depth - 1, &runs);
  tagAll(merged, h, 0, 0);
  tagAll(merged, buddy, 0, 0);
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
    std::uint32_t const* const words = hashWordsOf(h);
    char* const nodes = nodesOf(h);
    for (std::uint32_t n = 0; n < fieldsOf(h).top; ++n) {
      if ((words[n] & kHoleBit) == 0)
        fresh.insertSlow(vt, words[n], nodes + std::size_t{n} * vt->nodeSize);
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
  std::swap(expected_, other.expected_);
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
  expected_ = 0;
}

// ---- Invariants ---------------------------------------------------------------------

// One array's own invariants: its sizes, its members against its hash words
// and tags (each member named by exactly one slot, with its tag, on its
// probe with no group holding an empty slot before its own), and its counts.
void HashMap2018Generic::checkArray([[maybe_unused]] HashMap2018BucketHdr* h) const {
#ifndef NDEBUG
  std::uint32_t const capacity = capacityOf(h);
  Fields const& f = fieldsOf(h);
  if (capacity == 0 || capacity % 4 != 0 || capacity > kMaxNodes)
    fatal("checkInvariants", "an array's node count is not a multiple of 4 within the limit");
  if (f.groups != groupsFor(capacity)) fatal("checkInvariants", "an array's group count is wrong");
  if (f.top > capacity) fatal("checkInvariants", "an array used more node positions than it has");
  std::uint32_t const* const words = hashWordsOf(h);
  std::uint8_t* const table = tableOf(h);
  // Each member named by exactly one slot: the slots' node numbers, with
  // their sums and sums of squares, against the members' positions.
  std::uint64_t namedSum = 0;
  std::uint64_t namedSquares = 0;
  std::uint32_t full = 0;
  std::uint32_t free = 0;
  for (std::uint32_t g = 0; g < f.groups; ++g) {
    std::uint8_t* const group = groupAt(table, g);
    for (std::uint32_t j = 0; j < kGroupSlots; ++j) {
      std::uint8_t const tag = group[j];
      if (tag != kEmpty && tag != kDeleted && !isFull(tag))
        fatal("checkInvariants", "a tag that is neither a member's, empty nor deleted");
      free += tag == kEmpty;
      if (!isFull(tag)) continue;
      ++full;
      std::uint32_t const n = numbersOf(group)[j];
      if (n >= f.top || (words[n] & kHoleBit) != 0 || tagOf(words[n]) != tag)
        fatal("checkInvariants", "a slot names no member of its tag");
      namedSum += n;
      namedSquares += std::uint64_t{n} * n;
      for (std::uint32_t p = firstGroup(words[n], f.groups); p != g;
           p = p + 1 == f.groups ? 0 : p + 1) {
        if (matchEmpty(groupAt(table, p)) != 0)
          fatal("checkInvariants", "a member lies past an empty slot of its probe");
      }
    }
  }
  std::uint32_t live = 0;
  std::uint64_t sum = 0;
  std::uint64_t squares = 0;
  for (std::uint32_t n = 0; n < f.top; ++n) {
    if ((words[n] & kHoleBit) != 0) continue;
    ++live;
    sum += n;
    squares += std::uint64_t{n} * n;
  }
  if (live != f.live || full != f.live)
    fatal("checkInvariants", "an array's live count differs from its nodes and tags");
  if (sum != namedSum || squares != namedSquares)
    fatal("checkInvariants", "the slots do not name each member once");
  if (free == 0) fatal("checkInvariants", "an array's table has no empty slot");
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
    if (HashMap2018Layout::entryGroups(dir_[i]) != fieldsOf(h).groups)
      fatal("checkInvariants", "a directory entry's group count is not its array's");
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
    std::uint32_t const* const words = hashWordsOf(h);
    for (std::uint32_t n = 0; n < fieldsOf(h).top; ++n) {
      if ((words[n] & kHoleBit) != 0) continue;
      if (bucketIndex(words[n]) / run != i / run)
        fatal("checkInvariants", "a member's hash is outside its array's prefix");
      ++live;
    }
    slots += capacityOf(h);
    deepest += depth == depth_;
    i += run;
  }
  for (std::uint32_t s = 0; s < kGroupSlots; ++s) {
    if (gEmptyArray.group[s] != kEmpty) fatal("checkInvariants", "the shared empty array changed");
  }
  if (gEmptyArray.fields.top != 0 || gEmptyArray.fields.live != 0)
    fatal("checkInvariants", "the shared empty array changed");
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
  if (slot >= 0) moveTo(bucketOf(entry), HashMap2018Generic::numberAt(entry, slot));
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
  hash_ = hashWordsOf(h)[slot];
}

// The first node position at or after `from` of `h` holding a member the
// walk has not passed, or -1.
std::int32_t HashMap2018IteratorGeneric::nextSlotIn(HashMap2018BucketHdr* h,
                                                    std::uint32_t from) const {
  std::uint32_t const* const words = hashWordsOf(h);
  std::uint32_t const top = fieldsOf(h).top;
  for (std::uint32_t n = from; n < top; ++n) {
    if ((words[n] & kHoleBit) == 0 && words[n] >= lower_) return static_cast<std::int32_t>(n);
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
    // Node positions are never reused: the member is there unless removed.
    return (hashWordsOf(hdr_)[slot_] & kHoleBit) == 0 ? currNodeMaybeStale() : nullptr;
  }
  // The array was replaced: look the member up by its hash and key.
  std::uint64_t const entry = coll_->dir_[coll_->bucketIndex(hash_)];
  void const* const stale = currNodeMaybeStale();
  CompareOrLruUnlinkFn const cmp = vt_->compareOrLruUnlink();
  std::int32_t const slot =
      HashMap2018Generic::slotOf(entry, hash_, vt_->nodeSize,
                                 [&](void const* node) { return cmp(nullptr, stale, node) == 0; });
  return slot < 0 ? nullptr
                  : nodesOf(bucketOf(entry)) +
                        std::size_t{HashMap2018Generic::numberAt(entry, slot)} * vt_->nodeSize;
}

// To the next node position of the iterator's array that holds a member,
// else to the prefixes after the array's range.
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
