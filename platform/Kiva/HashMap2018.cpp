#include "Kiva/HashMap2018.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "Pooler/Pooler.h"

namespace Kiva {

using namespace HashMap2018Layout;

namespace {

// The directory doubles once the members average more than this per entry.
constexpr std::uint64_t kDoubleAboveAverage = 8;
// An array that would pass this many members makes the directory double
// instead of growing, provided the members average at least
// kCapDoublingMinAverage per entry (so that clustered hashes cannot blow the
// directory up: past that, the array just grows, up to kMaxSlots).
constexpr std::uint32_t kSoftCap = 32;
constexpr std::uint64_t kCapDoublingMinAverage = 2;
// The deepest directory: 2^kMaxDepth entries.
constexpr std::uint32_t kMaxDepth = 31;
// The directory's depth before any member arrives is capped here.
constexpr std::uint32_t kMaxInitialDepth = 16;
// Arrays with at most this many slots are not shrunk on deletion.
constexpr std::uint32_t kNoShrinkSlots = 4;
// An array shrinks on deletion once fewer than 1/kShrinkBelow of its slots
// are in use: well below the fill that a growth (two thirds) or a split (a
// half) leaves, so that deletions just after one, or an array emptying one
// member at a time, do not rebuild it again and again.
constexpr std::uint32_t kShrinkBelow = 3;

constexpr Pooler::Type kDirectoryType{"Kiva::HashMap2018Generic directory", 0};

[[noreturn]] void fatal(char const* function, char const* message) {
  std::fprintf(stderr, "Kiva::HashMap2018Generic::%s: %s\n", function, message);
  std::fflush(stderr);
  std::abort();
}

// Slots for an array that must hold `members` plus `extra` free slots, widened
// to whatever else fits in the allocator's block of that size.
std::uint32_t slotsFor(std::uint32_t members, std::uint32_t extra, std::uint32_t nodeSize) {
  std::uint32_t const want = std::min<std::uint32_t>(members + extra, kMaxSlots);
  std::size_t const block = Pooler::blockSizeFor(bytesFor(want, nodeSize));
  if (block == 0) return want;
  auto s = static_cast<std::uint32_t>(
      std::min<std::size_t>((block - 8) / (4 + std::size_t{nodeSize}), kMaxSlots));
  while (s > want && bytesFor(s, nodeSize) > block) --s;
  return std::max(s, want);
}

std::uint32_t growthSlots(std::uint32_t members, std::uint32_t nodeSize) {
  return slotsFor(members, std::max<std::uint32_t>(1, members / 2), nodeSize);
}

std::uint32_t rebuiltSlots(std::uint32_t members, std::uint32_t nodeSize) {
  return slotsFor(members, members / 4, nodeSize);
}

// The two halves of a split array: room for the members the next directory
// doubling expects each to reach (twice as many), so that few grow before it.
std::uint32_t splitSlots(std::uint32_t members, std::uint32_t nodeSize) {
  return slotsFor(members, members, nodeSize);
}

}  // namespace

// The sources of a new array: runs of consecutive nodes with their hash
// words. Runs that continue the previous one are merged into it.
class HashMap2018Generic::RunList {
 public:
  static constexpr std::uint32_t kInline = 8;

  // Room for `maxRuns` runs. Throws std::bad_alloc.
  RunList(std::uint32_t nodeSize, std::uint32_t maxRuns) : nodeSize_(nodeSize) {
    if (maxRuns > kInline) {
      heapRuns_.reset(new HashMap2018NodeRun[maxRuns]);
      heapHashes_.reset(new std::uint32_t const*[maxRuns]);
      runs_ = heapRuns_.get();
      hashes_ = heapHashes_.get();
    }
  }

  void add(void const* nodes, std::uint32_t const* hashes, std::uint32_t count) {
    if (count == 0) return;
    total_ += count;
    if (size_ > 0) {
      HashMap2018NodeRun& last = runs_[size_ - 1];
      if (static_cast<char const*>(last.nodes) + std::size_t{last.count} * nodeSize_ == nodes &&
          hashes_[size_ - 1] + last.count == hashes) {
        last.count += count;
        return;
      }
    }
    runs_[size_] = HashMap2018NodeRun{nodes, count};
    hashes_[size_] = hashes;
    ++size_;
  }
  void clear() { size_ = total_ = 0; }

  HashMap2018NodeRun const* runs() const { return runs_; }
  std::uint32_t const* hashesOf(std::uint32_t r) const { return hashes_[r]; }
  std::uint32_t size() const { return size_; }
  std::uint32_t total() const { return total_; }

 private:
  std::uint32_t nodeSize_;
  std::uint32_t size_ = 0;
  std::uint32_t total_ = 0;
  HashMap2018NodeRun inlineRuns_[kInline];
  std::uint32_t const* inlineHashes_[kInline];
  HashMap2018NodeRun* runs_ = inlineRuns_;
  std::uint32_t const** hashes_ = inlineHashes_;
  std::unique_ptr<HashMap2018NodeRun[]> heapRuns_;
  std::unique_ptr<std::uint32_t const*[]> heapHashes_;
};

AllocTrackTypeInfo HashMap2018Generic::bucketHeaderTracker_{"Kiva::HashMap2018BucketHdr"};
std::uint64_t HashMap2018Generic::noBuckets_[1] = {0};

HashMap2018Generic::HashMap2018Generic(HashMap2018VTable const* vt, std::uint32_t initialSizeIndex,
                                       bool allocateNow)
    : vt_(vt),
      initialDepth_(static_cast<std::uint8_t>(std::min(initialSizeIndex, kMaxInitialDepth))) {
  if (vt == nullptr || vt->nodeSize == 0)
    fatal("HashMap2018Generic", "no descriptor or node size 0");
  if (allocateNow) directoryAlloc(initialDepth_);
}

HashMap2018Generic::~HashMap2018Generic() {
  if (dir_ != noBuckets_) emptyAllBuckets(vt_, true);
}

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

HashMap2018BucketHdr* HashMap2018Generic::bucketNew(HashMap2018VTable const* vt,
                                                    std::uint32_t slots, RunList const& runs) {
  void* memory =
      Pooler::slabAllocOrStdMalloc(bytesFor(slots, vt->nodeSize), Pooler::slabOrStdMalloc);
  if (memory == nullptr) return nullptr;
  auto* h = reinterpret_cast<HashMap2018BucketHdr*>(static_cast<std::uint32_t*>(memory) + slots);
  if ((reinterpret_cast<std::uintptr_t>(h) & ~kEntryAddressMask) != 0) {
    fatal("newMemberG", "a bucket array lies beyond the 48-bit address space");
  }
  h->word = (slots << kSlotShift) | (runs.total() << kLiveShift);
  refs(h) = 1;
  std::uint32_t* out = static_cast<std::uint32_t*>(memory);
  for (std::uint32_t r = 0; r < runs.size(); ++r) {
    std::memcpy(out, runs.hashesOf(r), sizeof(std::uint32_t) * runs.runs()[r].count);
    out += runs.runs()[r].count;
  }
  vt->newBucketAssemble()(vt, slots, nodes(h, slots), runs.runs(), runs.size());
  AllocTrackTypeInfo::_trackAllocation(bucketHeaderTracker_, "Kiva::HashMap2018BucketHdr",
                                       sizeof(HashMap2018BucketHdr), 1);
  slots_ += slots;
  return h;
}

void HashMap2018Generic::bucketRelease(HashMap2018VTable const* vt, HashMap2018BucketHdr* h) {
  slots_ -= slotsOf(h);
  vt->bktHdrRefDec()(h);
}

std::uint32_t HashMap2018Generic::insertPosition(HashMap2018VTable const* vt,
                                                 HashMap2018BucketHdr* h,
                                                 HashHelper::KeyAndRhashSeedArg const& k) const {
  std::uint32_t const n = liveOf(h);
  char* const base = nodes(h);
  std::size_t const ns = vt->nodeSize;
  CompareOrLruUnlinkFn const cmp = vt->compareOrLruUnlink();
  // Keys often arrive in ascending order: try after the last member first.
  int r = cmp(k.key, nullptr, base + (n - 1) * ns);
  if (r == 2) return n;
  if (r == 0) fatal("newMemberG", "the key is already a member");
  std::uint32_t lo = 0;
  std::uint32_t hi = n - 1;  // the member at hi has a greater key
  while (lo < hi) {
    std::uint32_t const mid = (lo + hi) / 2;
    r = cmp(k.key, nullptr, base + mid * ns);
    if (r == 0) fatal("newMemberG", "the key is already a member");
    if (r == 2) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

void* HashMap2018Generic::lookupSlowG(HashMap2018VTable const* vt,
                                      HashHelper::KeyAndRhashSeedArg const& k) const {
  HashMap2018BucketHdr* const h = bucketAt(bucketIndex(k.hash));
  if (h == nullptr) return nullptr;
  std::uint32_t const live = liveOf(h);
  std::uint32_t const* const hw = hashes(h);
  char* const base = nodes(h);
  KeyEqualsNodeFn const equals = vt->keyEqualsNode();
  for (std::uint32_t i = 0; i < live; ++i) {
    if (hw[i] == k.hash) {
      void* const node = base + std::size_t{i} * vt->nodeSize;
      if (equals(k.key, node)) return node;
    }
  }
  return nullptr;
}

void* HashMap2018Generic::newMemberG(HashMap2018VTable const* vt,
                                     HashHelper::KeyAndRhashSeedArg const& k, void* node) {
  if (dir_ == noBuckets_) directoryAlloc(initialDepth_);
  if (count_ >= (kDoubleAboveAverage << depth_) && depth_ < kMaxDepth) directoryDouble(vt);
  std::size_t const ns = vt->nodeSize;
  void* member;
  for (;;) {
    std::uint32_t const index = bucketIndex(k.hash);
    HashMap2018BucketHdr* const h = bucketAt(index);
    if (h == nullptr) {
      RunList runs(vt->nodeSize, 1);
      runs.add(node, &k.hash, 1);
      HashMap2018BucketHdr* const fresh = bucketNew(vt, growthSlots(1, vt->nodeSize), runs);
      if (fresh == nullptr) throw std::bad_alloc();
      bucketAtIs(index, fresh);
      member = nodes(fresh);
      break;
    }
    std::uint32_t const slots = slotsOf(h);
    std::uint32_t const n = liveOf(h);
    std::uint32_t const pos = insertPosition(vt, h, k);
    std::uint32_t* const hw = hashes(h, slots);
    char* const base = nodes(h, slots);
    if (n < slots && refs(h) == 1) {
      // Room in an array no iterator stands in: insert in place.
      if (pos == n) {
        vt->place()(vt, base + pos * ns, node, false);
      } else {
        vt->shift()(vt, base, node, static_cast<std::uint16_t>(n), static_cast<std::uint16_t>(pos),
                    1);
        std::memmove(hw + pos + 1, hw + pos, sizeof(std::uint32_t) * (n - pos));
      }
      hw[pos] = k.hash;
      h->word += 1u << kLiveShift;
      member = base + pos * ns;
      break;
    }
    std::uint32_t const members = n + 1;
    if (members > slots && members > kSoftCap && depth_ < kMaxDepth &&
        count_ >= (kCapDoublingMinAverage << depth_) && directoryDouble(vt)) {
      continue;  // the array was split: look again
    }
    if (members > kMaxSlots) fatal("newMemberG", "more than 16383 members share one bucket array");
    // Full, or referenced by an iterator: build the array anew with the node in it.
    RunList runs(vt->nodeSize, 3);
    runs.add(base, hw, pos);
    runs.add(node, &k.hash, 1);
    runs.add(base + pos * ns, hw + pos, n - pos);
    HashMap2018BucketHdr* const fresh =
        bucketNew(vt, members > slots ? growthSlots(members, vt->nodeSize) : slots, runs);
    if (fresh == nullptr) throw std::bad_alloc();
    bucketAtIs(index, fresh);
    bucketRelease(vt, h);
    member = nodes(fresh) + pos * ns;
    break;
  }
  ++count_;
  return member;
}

bool HashMap2018Generic::deleteMemberG(HashMap2018VTable const* vt,
                                       HashHelper::KeyAndRhashSeedArg const& k,
                                       void* removedStorage) {
  std::uint32_t const index = bucketIndex(k.hash);
  HashMap2018BucketHdr* const h = bucketAt(index);
  if (h == nullptr) return false;
  std::uint32_t const slots = slotsOf(h);
  std::uint32_t const n = liveOf(h);
  std::uint32_t* const hw = hashes(h, slots);
  char* const base = nodes(h, slots);
  std::size_t const ns = vt->nodeSize;
  KeyEqualsNodeFn const equals = vt->keyEqualsNode();
  std::uint32_t i = 0;
  while (i < n && (hw[i] != k.hash || !equals(k.key, base + i * ns))) ++i;
  if (i == n) return false;

  if (removedStorage != nullptr) vt->place()(vt, removedStorage, base + i * ns, true);
  std::uint32_t const members = n - 1;
  bool done = false;
  if (members == 0) {
    bucketAtIs(index, nullptr);
    bucketRelease(vt, h);
    done = true;
  } else {
    bool const pinned = refs(h) != 1;
    std::uint32_t const smaller = slots > kNoShrinkSlots && members * kShrinkBelow < slots
                                      ? std::min(rebuiltSlots(members, vt->nodeSize), slots)
                                      : slots;
    if (pinned || smaller < slots) {
      // Referenced by an iterator, or mostly empty: build the array anew without the node.
      RunList runs(vt->nodeSize, 2);
      runs.add(base, hw, i);
      runs.add(base + (i + 1) * ns, hw + i + 1, n - i - 1);
      if (HashMap2018BucketHdr* const fresh = bucketNew(vt, smaller, runs)) {
        bucketAtIs(index, fresh);
        bucketRelease(vt, h);
        done = true;
      } else if (pinned) {
        fatal("deleteMemberG", "out of memory");
      }
    }
  }
  if (!done) {
    if (i + 1 < n) {
      vt->shift()(vt, base, nullptr, static_cast<std::uint16_t>(n), static_cast<std::uint16_t>(i),
                  -1);
      std::memmove(hw + i, hw + i + 1, sizeof(std::uint32_t) * (n - i - 1));
    }
    h->word -= 1u << kLiveShift;
  }
  --count_;
  if (count_ == 0) {
    directoryFree();
  } else if (depth_ > initialDepth_ && std::uint64_t{count_} * 2 < (std::uint64_t{1} << depth_)) {
    directoryHalve(vt);
  }
  return true;
}

bool HashMap2018Generic::directoryDouble(HashMap2018VTable const* vt) {
  std::uint32_t const oldSize = std::uint32_t{1} << depth_;
  std::uint32_t maxLive = 0;
  for (std::uint32_t i = 0; i < oldSize; ++i) {
    if (bucketAt(i) != nullptr) maxLive = std::max(maxLive, liveOf(bucketAt(i)));
  }
  auto* const next = static_cast<std::uint64_t*>(
      Pooler::slabAllocOrStdMalloc(sizeof(std::uint64_t) * 2 * oldSize, Pooler::slabOrStdMalloc));
  if (next == nullptr) return false;
  std::unique_ptr<RunList> low;
  std::unique_ptr<RunList> high;
  try {
    low = std::make_unique<RunList>(vt->nodeSize, maxLive);
    high = std::make_unique<RunList>(vt->nodeSize, maxLive);
  } catch (std::bad_alloc const&) {
    Pooler::slabFreeOrStdFree(next, kDirectoryType);
    return false;
  }
  std::size_t const ns = vt->nodeSize;
  std::uint32_t const bit = 0x80000000u >> depth_;
  for (std::uint32_t i = 0; i < oldSize; ++i) {
    HashMap2018BucketHdr* const h = bucketAt(i);
    next[2 * i] = next[2 * i + 1] = 0;
    if (h == nullptr) continue;
    std::uint32_t const n = liveOf(h);
    std::uint32_t const* const hw = hashes(h);
    char const* const base = nodes(h);
    std::uint32_t highCount = 0;
    for (std::uint32_t j = 0; j < n; ++j) highCount += (hw[j] & bit) != 0;
    if (highCount == 0 || highCount == n) {
      next[2 * i + (highCount != 0)] = entryFor(h);  // all on one side: the array moves as it is
      continue;
    }
    low->clear();
    high->clear();
    for (std::uint32_t j = 0; j < n; ++j) {
      ((hw[j] & bit) != 0 ? *high : *low).add(base + j * ns, hw + j, 1);
    }
    HashMap2018BucketHdr* const a = bucketNew(vt, splitSlots(n - highCount, vt->nodeSize), *low);
    HashMap2018BucketHdr* const b = bucketNew(vt, splitSlots(highCount, vt->nodeSize), *high);
    if (a == nullptr || b == nullptr) fatal("newMemberG", "out of memory while splitting arrays");
    next[2 * i] = entryFor(a);
    next[2 * i + 1] = entryFor(b);
    bucketRelease(vt, h);
  }
  std::uint32_t const depth = depth_ + 1u;
  directoryFree();
  dir_ = next;
  depth_ = static_cast<std::uint8_t>(depth);
  shift_ = static_cast<std::uint8_t>(32 - depth);
  return true;
}

bool HashMap2018Generic::directoryHalve(HashMap2018VTable const* vt) {
  std::uint32_t const newSize = std::uint32_t{1} << (depth_ - 1);
  std::uint32_t maxPair = 0;
  for (std::uint32_t i = 0; i < newSize; ++i) {
    HashMap2018BucketHdr* const a = bucketAt(2 * i);
    HashMap2018BucketHdr* const b = bucketAt(2 * i + 1);
    if (a != nullptr && b != nullptr) maxPair = std::max(maxPair, liveOf(a) + liveOf(b));
  }
  if (maxPair > kMaxSlots) return false;
  auto* const next = static_cast<std::uint64_t*>(
      Pooler::slabAllocOrStdMalloc(sizeof(std::uint64_t) * newSize, Pooler::slabOrStdMalloc));
  if (next == nullptr) return false;
  std::unique_ptr<RunList> runs;
  try {
    runs = std::make_unique<RunList>(vt->nodeSize, maxPair);
  } catch (std::bad_alloc const&) {
    Pooler::slabFreeOrStdFree(next, kDirectoryType);
    return false;
  }
  std::size_t const ns = vt->nodeSize;
  CompareOrLruUnlinkFn const cmp = vt->compareOrLruUnlink();
  for (std::uint32_t i = 0; i < newSize; ++i) {
    HashMap2018BucketHdr* const a = bucketAt(2 * i);
    HashMap2018BucketHdr* const b = bucketAt(2 * i + 1);
    if (a == nullptr || b == nullptr) {
      next[i] = entryFor(a != nullptr ? a : b);
      continue;
    }
    // Merge the two key-ordered arrays into one.
    std::uint32_t const na = liveOf(a);
    std::uint32_t const nb = liveOf(b);
    std::uint32_t const* const ha = hashes(a);
    std::uint32_t const* const hb = hashes(b);
    char const* const ba = nodes(a);
    char const* const bb = nodes(b);
    runs->clear();
    std::uint32_t ia = 0;
    std::uint32_t ib = 0;
    while (ia < na && ib < nb) {
      if (cmp(nullptr, ba + ia * ns, bb + ib * ns) == 2) {
        runs->add(bb + ib * ns, hb + ib, 1);
        ++ib;
      } else {
        runs->add(ba + ia * ns, ha + ia, 1);
        ++ia;
      }
    }
    runs->add(ba + ia * ns, ha + ia, na - ia);
    runs->add(bb + ib * ns, hb + ib, nb - ib);
    HashMap2018BucketHdr* const merged = bucketNew(vt, rebuiltSlots(na + nb, vt->nodeSize), *runs);
    if (merged == nullptr) fatal("deleteMemberG", "out of memory while merging arrays");
    next[i] = entryFor(merged);
    bucketRelease(vt, a);
    bucketRelease(vt, b);
  }
  std::uint32_t const depth = depth_ - 1u;
  directoryFree();
  dir_ = next;
  depth_ = static_cast<std::uint8_t>(depth);
  shift_ = static_cast<std::uint8_t>(32 - depth);
  return true;
}

void HashMap2018Generic::_memberDelAll(HashMap2018VTable const* vt) {
  emptyAllBuckets(vt, true);
}

void HashMap2018Generic::emptyAllBuckets(HashMap2018VTable const* vt, bool releaseDirectory) {
  if (dir_ != noBuckets_) {
    std::uint32_t const size = std::uint32_t{1} << depth_;
    for (std::uint32_t i = 0; i < size; ++i) {
      if (HashMap2018BucketHdr* const h = bucketAt(i)) {
        bucketAtIs(i, nullptr);
        bucketRelease(vt, h);
      }
    }
    if (releaseDirectory) directoryFree();
  }
  count_ = 0;
}

// ---- Iterator ----------------------------------------------------------------

namespace {

// The first member of an array in (hash, key) order: the lowest hash, and
// among equal hashes the lowest slot, since slots are in key order.
std::uint32_t firstIn(HashMap2018BucketHdr* h) {
  std::uint32_t const n = liveOf(h);
  std::uint32_t const* const hw = hashes(h);
  std::uint32_t best = 0;
  for (std::uint32_t i = 1; i < n; ++i) {
    if (hw[i] < hw[best]) best = i;
  }
  return best;
}

}  // namespace

HashMap2018IteratorGeneric::HashMap2018IteratorGeneric(HashMap2018Generic const* collection,
                                                       HashMap2018VTable const* vt)
    : coll_(collection), vt_(vt) {
  std::uint32_t const size = std::uint32_t{1} << coll_->depth_;
  for (std::uint32_t e = 0; e < size; ++e) {
    if (HashMap2018BucketHdr* const h = coll_->bucketAt(e)) {
      moveTo(h, firstIn(h));
      return;
    }
  }
}

HashMap2018IteratorGeneric::HashMap2018IteratorGeneric(HashMap2018Generic const* collection,
                                                       HashMap2018VTable const* vt,
                                                       HashHelper::KeyAndRhashSeedArg const& k)
    : coll_(collection), vt_(vt) {
  HashMap2018BucketHdr* const h = coll_->bucketAt(coll_->bucketIndex(k.hash));
  if (h == nullptr) return;
  std::uint32_t const n = liveOf(h);
  std::uint32_t const* const hw = hashes(h);
  char* const base = nodes(h);
  KeyEqualsNodeFn const equals = vt->keyEqualsNode();
  for (std::uint32_t i = 0; i < n; ++i) {
    if (hw[i] == k.hash && equals(k.key, base + std::size_t{i} * vt->nodeSize)) {
      moveTo(h, i);
      return;
    }
  }
}

HashMap2018IteratorGeneric::HashMap2018IteratorGeneric(
    HashMap2018IteratorGeneric const& other) noexcept
    : coll_(other.coll_), vt_(other.vt_), hdr_(other.hdr_), slot_(other.slot_), hash_(other.hash_) {
  if (hdr_ != nullptr) ++refs(hdr_);
}

HashMap2018IteratorGeneric::HashMap2018IteratorGeneric(HashMap2018IteratorGeneric&& other) noexcept
    : coll_(other.coll_), vt_(other.vt_), hdr_(other.hdr_), slot_(other.slot_), hash_(other.hash_) {
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

// Whether the member the iterator stands on is still in the collection; if it
// is, the iterator now stands on it in the collection's current array.
bool HashMap2018IteratorGeneric::relocate() const {
  HashMap2018BucketHdr* const live = coll_->bucketAt(coll_->bucketIndex(hash_));
  if (live == hdr_) return true;  // a referenced array is never changed in place
  if (live == nullptr) return false;
  std::uint32_t const n = liveOf(live);
  std::uint32_t const* const hw = hashes(live);
  char* const base = nodes(live);
  void const* const current = currNodeMaybeStale();
  CompareOrLruUnlinkFn const cmp = vt_->compareOrLruUnlink();
  for (std::uint32_t i = 0; i < n; ++i) {
    if (hw[i] == hash_ && cmp(nullptr, current, base + std::size_t{i} * vt_->nodeSize) == 0) {
      moveTo(live, i);
      return true;
    }
  }
  return false;
}

// The slot of the first member of `h` after the current position, or -1.
std::int32_t HashMap2018IteratorGeneric::successorIn(HashMap2018BucketHdr* h) const {
  std::uint32_t const n = liveOf(h);
  std::uint32_t const* const hw = hashes(h);
  char const* const base = nodes(h);
  bool const sameArray = h == hdr_;
  void const* const current = currNodeMaybeStale();
  std::int32_t best = -1;
  std::uint32_t bestHash = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    std::uint32_t const hh = hw[i];
    if (hh < hash_ || (best >= 0 && hh >= bestHash)) continue;
    if (hh == hash_) {
      // Equal hashes are ordered by key, which is slot order within one array.
      bool const after = sameArray
                             ? i > slot_
                             : vt_->compareOrLruUnlink()(
                                   nullptr, current, base + std::size_t{i} * vt_->nodeSize) == 1;
      if (!after) continue;
    }
    best = static_cast<std::int32_t>(i);
    bestHash = hh;
  }
  return best;
}

void HashMap2018IteratorGeneric::step() const {
  if (hdr_ == nullptr) return;
  std::uint32_t const index = coll_->bucketIndex(hash_);
  if (HashMap2018BucketHdr* const live = coll_->bucketAt(index)) {
    std::int32_t const next = successorIn(live);
    if (next >= 0) {
      moveTo(live, static_cast<std::uint32_t>(next));
      return;
    }
  }
  std::uint32_t const size = std::uint32_t{1} << coll_->depth_;
  for (std::uint32_t e = index + 1; e < size; ++e) {
    if (HashMap2018BucketHdr* const h = coll_->bucketAt(e)) {
      moveTo(h, firstIn(h));
      return;
    }
  }
  release();
}

void HashMap2018IteratorGeneric::advance() {
  step();
}

void* HashMap2018IteratorGeneric::currNodeNonStale() const {
  if (hdr_ == nullptr) return nullptr;
  if (!relocate()) step();
  return currNodeMaybeStale();
}

bool HashMap2018IteratorGeneric::operator==(HashMap2018IteratorGeneric const& other) const {
  if (hdr_ == nullptr || other.hdr_ == nullptr) return hdr_ == other.hdr_;
  if (coll_ != other.coll_ || hash_ != other.hash_) return false;
  if (hdr_ == other.hdr_) return slot_ == other.slot_;
  return vt_->compareOrLruUnlink()(nullptr, currNodeMaybeStale(), other.currNodeMaybeStale()) == 0;
}

}  // namespace Kiva
