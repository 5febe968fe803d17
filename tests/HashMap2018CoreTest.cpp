// The keyed-collection core driven through a small test node type: random
// operation sequences against a std::map model, walks that change the
// collection, the node-operation call pattern, memory accounting.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Kiva/AllocTrack.h"
#include "Kiva/Hash.h"
#include "Kiva/HashMap2018.h"
#include "Pooler/Pooler.h"

namespace {

using Kiva::HashMap2018BucketHdr;
using Kiva::HashMap2018Generic;
using Kiva::HashMap2018IteratorGeneric;
using Kiva::HashMap2018NodeRun;
using Kiva::HashMap2018VTable;

struct TestNode {
  std::uint32_t key;
  std::uint64_t payload;
};
constexpr std::size_t kSlotBytes = sizeof(TestNode) + 4;

Kiva::AllocTrackTypeInfo nodeTracker{"CoreTest::TestNode"};

// ---- Node operations, with a record of how the core calls them -------------

struct Calls {
  long keyEquals = 0;
  long compare = 0;
  long place = 0;
  long shiftOpen = 0;
  long shiftClose = 0;
  long assemble = 0;
  long released = 0;
};
Calls gCalls;

// Node start and slot count of every array assembled and not yet released.
std::map<char const*, std::uint32_t> gArrays;
// Check that every node handed to an operation lies in such an array.
bool gStrict = true;

TestNode const& nodeAt(void const* p) {
  return *static_cast<TestNode const*>(p);
}

void checkNode(void const* p, char const* op) {
  if (!gStrict) return;
  auto const* c = static_cast<char const*>(p);
  auto it = gArrays.upper_bound(c);
  bool ok = it != gArrays.begin();
  if (ok) {
    --it;
    std::size_t const offset = static_cast<std::size_t>(c - it->first);
    ok = offset < it->second * sizeof(TestNode) && offset % sizeof(TestNode) == 0;
  }
  if (!ok) ADD_FAILURE() << op << " was given a node outside every live bucket array";
}

bool keyEqualsNode(void const* key, void const* node) {
  ++gCalls.keyEquals;
  checkNode(node, "keyEqualsNode");
  return *static_cast<std::uint32_t const*>(key) == nodeAt(node).key;
}

int compareOrLruUnlink(void const* probeKey, void const* a, void const* b) {
  ++gCalls.compare;
  if (b == nullptr) {
    ADD_FAILURE() << "compareOrLruUnlink without node B";
    return 0;
  }
  if (a != nullptr) checkNode(a, "compareOrLruUnlink");
  checkNode(b, "compareOrLruUnlink");
  std::uint32_t const reference =
      a != nullptr ? nodeAt(a).key : *static_cast<std::uint32_t const*>(probeKey);
  std::uint32_t const key = nodeAt(b).key;
  if (key == reference) return 0;
  return key < reference ? 2 : 1;
}

void place(HashMap2018VTable const*, void* dst, void* src, bool) {
  ++gCalls.place;
  ::new (dst) TestNode(nodeAt(src));
}

void shift(HashMap2018VTable const*, void* nodesArg, void const* newNode, std::uint16_t count,
           std::uint16_t position, int slotsToShift) {
  auto* nodes = static_cast<TestNode*>(nodesArg);
  std::uint32_t slots = 0;
  if (auto it = gArrays.find(static_cast<char const*>(nodesArg)); it != gArrays.end()) {
    slots = it->second;
  } else {
    ADD_FAILURE() << "shift on something that is not the node start of a live array";
  }
  if (slotsToShift < 0) {
    ++gCalls.shiftClose;
    unsigned const n = static_cast<unsigned>(-slotsToShift);
    EXPECT_LE(position + n, count);
    EXPECT_LE(count, slots);
    for (unsigned i = 0; position + n + i < count; ++i)
      nodes[position + i] = nodes[position + n + i];
    return;
  }
  ++gCalls.shiftOpen;
  EXPECT_GT(count, 0) << "shift opening a slot needs a node to copy into node[count]";
  EXPECT_LT(position, count) << "appending is place's job";
  EXPECT_LT(count, slots) << "no free slot to open";
  ::new (static_cast<void*>(&nodes[count])) TestNode(nodes[count - 1]);
  for (unsigned i = count - 1u; i > position; --i) nodes[i] = nodes[i - 1];
  if (slotsToShift != 1) {
    std::fprintf(stderr, "assertion \"slotsToShift == 1\" failed\n");
    std::abort();
  }
  nodes[position] = nodeAt(newNode);
}

void newBucketAssemble(HashMap2018VTable const*, std::uint32_t count, void* dst,
                       HashMap2018NodeRun const* runs, std::uint32_t numRuns) {
  ++gCalls.assemble;
  Kiva::AllocTrackTypeInfo::trackArrayAllocation(nodeTracker, kSlotBytes, count);
  auto* out = static_cast<TestNode*>(dst);
  std::uint32_t total = 0;
  for (std::uint32_t r = 0; r < numRuns; ++r) {
    auto const* in = static_cast<TestNode const*>(runs[r].nodes);
    for (std::uint32_t i = 0; i < runs[r].count; ++i)
      ::new (static_cast<void*>(out++)) TestNode(in[i]);
    total += runs[r].count;
  }
  EXPECT_LE(total, count) << "more nodes than slots";
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(dst) % 8, 0u) << "nodes must be 8-byte aligned";
  bool const fresh = gArrays.emplace(static_cast<char const*>(dst), count).second;
  EXPECT_TRUE(fresh) << "an array was assembled twice";
}

std::uint32_t bktHdrRefDec(HashMap2018BucketHdr* hdr) {
  if (std::uint32_t const left = HashMap2018BucketHdr::bktHdrRefDecHelper(hdr)) return left;
  ++gCalls.released;
  Kiva::AllocTrackTypeInfo::trackDeallocation(HashMap2018Generic::bucketHeaderTracker_,
                                              sizeof(HashMap2018BucketHdr), 1);
  Kiva::AllocTrackTypeInfo::trackArrayDeallocation(nodeTracker, kSlotBytes, hdr->nodeCount());
  // The array's nodes follow its header closely.
  auto it = gArrays.upper_bound(reinterpret_cast<char const*>(hdr));
  if (it == gArrays.end() || it->first - reinterpret_cast<char const*>(hdr) > 16 ||
      it->second != hdr->nodeCount()) {
    ADD_FAILURE() << "released an array that was not assembled (or with another slot count)";
  } else {
    gArrays.erase(it);
  }
  Pooler::slabFreeOrStdFree(hdr->allocationStart(), {"CoreTest::TestNode", 0});
  return 0;
}

HashMap2018VTable const testVt(0x104, sizeof(TestNode), &bktHdrRefDec, &keyEqualsNode, &place,
                               &shift, &newBucketAssemble, &compareOrLruUnlink);

// ---- Hashing -------------------------------------------------------------------

enum class HashKind {
  mixed,      // the library's key hash
  ties,       // four consecutive keys share each hash
  clustered,  // the top 6 bits are always zero
};
HashKind gHashKind = HashKind::mixed;

std::uint32_t hashOf(std::uint32_t key) {
  std::uint32_t const seed = Kiva::HashHelper::hashSeed32() ^ 0x5A17C0DEu;
  switch (gHashKind) {
    case HashKind::ties:
      return Kiva::hashSingleAttr(seed, key >> 2);
    case HashKind::clustered:
      return Kiva::hashSingleAttr(seed, key) >> 6;
    case HashKind::mixed:
      break;
  }
  return Kiva::hashSingleAttr(seed, key);
}

// ---- A typed view over the core --------------------------------------------------

class TestMap {
 public:
  TestMap() : core_(&testVt, 1, false) {}
  TestMap(TestMap const&) = delete;
  TestMap& operator=(TestMap const&) = delete;
  ~TestMap() { core_.emptyAllBuckets(&testVt, true); }

  TestNode* find(std::uint32_t key) const {
    return static_cast<TestNode*>(core_.lookupNodeG(&testVt, arg(key)));
  }
  TestNode* insert(std::uint32_t key, std::uint64_t payload) {
    TestNode node{key, payload};
    return static_cast<TestNode*>(core_.newMemberG(&testVt, arg(key), &node));
  }
  bool erase(std::uint32_t key, TestNode* removed = nullptr) {
    return core_.deleteMemberG(&testVt, arg(key), removed);
  }
  HashMap2018IteratorGeneric begin() const { return HashMap2018IteratorGeneric(&core_, &testVt); }
  HashMap2018IteratorGeneric at(std::uint32_t key) const {
    return HashMap2018IteratorGeneric(&core_, &testVt, arg(key));
  }
  HashMap2018Generic& core() { return core_; }
  HashMap2018Generic const& core() const { return core_; }

 private:
  static Kiva::HashHelper::KeyAndRhashSeedArg arg(std::uint32_t const& key) {
    return {&key, hashOf(key)};
  }
  HashMap2018Generic core_;
};

std::uint32_t keyOf(void const* node) {
  return nodeAt(node).key;
}

// Trackers and allocator figures at the start of a test, to compare with at the end.
struct Baseline {
  std::int64_t headers = HashMap2018Generic::bucketHeaderTracker_.liveObjects();
  std::int64_t headerBytes = HashMap2018Generic::bucketHeaderTracker_.liveBytes();
  std::int64_t slots = nodeTracker.liveObjects();
  std::int64_t slotBytes = nodeTracker.liveBytes();
  Pooler::Stats pool = Pooler::stats();

  void expectRestored() const {
    EXPECT_EQ(HashMap2018Generic::bucketHeaderTracker_.liveObjects(), headers);
    EXPECT_EQ(HashMap2018Generic::bucketHeaderTracker_.liveBytes(), headerBytes);
    EXPECT_EQ(nodeTracker.liveObjects(), slots);
    EXPECT_EQ(nodeTracker.liveBytes(), slotBytes);
    Pooler::Stats const now = Pooler::stats();
    EXPECT_EQ(now.liveBlocks, pool.liveBlocks);
    EXPECT_EQ(now.liveBytes, pool.liveBytes);
    EXPECT_EQ(now.stdMallocBlocks, pool.stdMallocBlocks);
    EXPECT_TRUE(gArrays.empty()) << gArrays.size() << " arrays never released";
  }
};

class CoreTest : public testing::Test {
 protected:
  void SetUp() override {
    gHashKind = HashKind::mixed;
    gStrict = true;
  }
  void TearDown() override { gHashKind = HashKind::mixed; }
};

// ---- Model-based random sequences --------------------------------------------------

enum class Keys { dense, sparse, extreme };

char const* name(Keys k) {
  return k == Keys::dense ? "dense" : k == Keys::sparse ? "sparse" : "extreme";
}
char const* name(HashKind h) {
  return h == HashKind::mixed ? "mixed" : h == HashKind::ties ? "ties" : "clustered";
}

std::uint32_t drawKey(Keys kind, std::mt19937_64& rng) {
  switch (kind) {
    case Keys::dense:
      return static_cast<std::uint32_t>(rng() % 5000);
    case Keys::sparse:
      return static_cast<std::uint32_t>(rng());
    case Keys::extreme:
      break;
  }
  std::uint32_t const r = static_cast<std::uint32_t>(rng() % 100);
  switch (rng() % 3) {
    case 0:
      return r;  // 0 and up
    case 1:
      return 0xFFFFFFFFu - r;  // 0xFFFFFFFF and down
    default:
      return 0x7FFFFFCEu + r;  // across the sign bit
  }
}

class ModelRun {
 public:
  ModelRun(Keys keys, std::uint64_t seed) : keys_(keys), rng_(seed) {}

  void run(int steps) {
    bool growing = true;
    for (int step = 0; step < steps && !testing::Test::HasFatalFailure(); ++step) {
      if (step % 15000 == 0 && step > 0) growing = !growing;
      std::uint32_t const r = static_cast<std::uint32_t>(rng_() % 10000);
      if (r < 4) {
        walkCheck();
      } else if (r == 4 && rng_() % 8 == 0) {
        map_.core()._memberDelAll(&testVt);
        model_.clear();
        keys_present_.clear();
        where_.clear();
      } else if (r < 10000 * (growing ? 0.55 : 0.30)) {
        insertOne();
      } else if (r < 10000 * (growing ? 0.75 : 0.75)) {
        eraseOne();
      } else {
        lookupOne();
      }
      ASSERT_EQ(map_.core().memberCount(), model_.size());
      ASSERT_GE(map_.core().allocatedSlots(), map_.core().memberCount());
      ASSERT_LE(map_.core().allocatedSlots(), 8 * map_.core().memberCount()) << "memory bound";
    }
    walkCheck();
  }

 private:
  std::uint32_t absentKey() {
    for (;;) {
      std::uint32_t const k = drawKey(keys_, rng_);
      if (!model_.count(k)) return k;
    }
  }
  std::uint32_t presentKey() {
    return keys_present_[static_cast<std::size_t>(rng_() % keys_present_.size())];
  }
  bool modelFull() const {
    return keys_ == Keys::extreme ? model_.size() > 250
                                  : keys_ == Keys::dense && model_.size() > 4500;
  }
  void modelAdd(std::uint32_t k, std::uint64_t v) {
    model_[k] = v;
    where_[k] = keys_present_.size();
    keys_present_.push_back(k);
  }
  void modelDel(std::uint32_t k) {
    model_.erase(k);
    std::size_t const i = where_[k];
    where_[keys_present_.back()] = i;
    keys_present_[i] = keys_present_.back();
    keys_present_.pop_back();
    where_.erase(k);
  }

  void insertOne() {
    if (modelFull()) return lookupOne();
    std::uint32_t const k = absentKey();
    std::uint64_t const v = rng_();
    TestNode* n = map_.insert(k, v);
    ASSERT_NE(n, nullptr);
    ASSERT_EQ(n->key, k);
    ASSERT_EQ(n->payload, v);
    ASSERT_EQ(map_.find(k), n) << "insert returns the member in its array";
    modelAdd(k, v);
  }

  void eraseOne() {
    if (model_.empty() || rng_() % 5 == 0) {
      std::uint32_t const k = absentKey();
      ASSERT_FALSE(map_.erase(k)) << "erased absent key " << k;
      return;
    }
    std::uint32_t const k = presentKey();
    if (rng_() % 2 == 0) {
      TestNode removed{0, 0};
      ASSERT_TRUE(map_.erase(k, &removed));
      ASSERT_EQ(removed.key, k);
      ASSERT_EQ(removed.payload, model_[k]);
    } else {
      ASSERT_TRUE(map_.erase(k));
    }
    ASSERT_EQ(map_.find(k), nullptr);
    modelDel(k);
  }

  void lookupOne() {
    if (!model_.empty() && rng_() % 2 == 0) {
      std::uint32_t const k = presentKey();
      TestNode* n = map_.find(k);
      ASSERT_NE(n, nullptr) << "lost key " << k;
      ASSERT_EQ(n->key, k);
      ASSERT_EQ(n->payload, model_[k]);
      // An iterator placed at the key stands on the same member.
      if (rng_() % 8 == 0) {
        ASSERT_EQ(map_.at(k).currNodeNonStale(), n);
      }
    } else {
      std::uint32_t const k = absentKey();
      ASSERT_EQ(map_.find(k), nullptr);
      if (rng_() % 8 == 0) {
        ASSERT_EQ(map_.at(k), HashMap2018IteratorGeneric(Kiva::EndOfCollection));
      }
    }
  }

  // One walk over the collection, changing it on the way in one of several
  // ways, then a check of what was visited.
  void walkCheck() {
    int const kind = static_cast<int>(rng_() % 5);
    SCOPED_TRACE(testing::Message() << "walk kind " << kind << ", " << model_.size() << " members");
    std::map<std::uint32_t, std::uint64_t> const start = model_;
    std::set<std::uint32_t> touched;  // removed or inserted during the walk
    std::vector<std::uint32_t> visited;
    std::set<std::uint32_t> seen;
    HashMap2018IteratorGeneric it = map_.begin();
    for (void* node = it.currNodeNonStale(); node != nullptr; node = it.currNodeNonStale()) {
      std::uint32_t const k = keyOf(node);
      // A key removed and inserted again is a new member, which may be visited again.
      ASSERT_TRUE(seen.insert(k).second || touched.count(k)) << "key " << k << " visited twice";
      ASSERT_TRUE(model_.count(k)) << "visited key " << k << " is not a member";
      ASSERT_EQ(nodeAt(node).payload, model_[k]);
      visited.push_back(k);
      bool deleteCurrent = false;
      if (kind == 1 || kind == 4) deleteCurrent = rng_() % 2 == 0;
      if ((kind == 2 || kind == 4) && rng_() % 3 == 0 && model_.size() > 1) {
        std::uint32_t const other = presentKey();
        if (other != k) {
          ASSERT_TRUE(map_.erase(other));
          modelDel(other);
          touched.insert(other);
        }
      }
      if ((kind == 3 || kind == 4) && rng_() % 3 == 0 && !modelFull()) {
        std::uint32_t const fresh = absentKey();
        map_.insert(fresh, fresh * 3ull);
        modelAdd(fresh, fresh * 3ull);
        touched.insert(fresh);
      }
      if (deleteCurrent) {
        // The library's bulk-removal pattern: read the key, delete it, advance.
        std::uint32_t const current = keyOf(it.currNodeMaybeStale());
        ASSERT_EQ(current, k);
        ASSERT_TRUE(map_.erase(current));
        modelDel(current);
        touched.insert(current);
        ASSERT_EQ(keyOf(it.currNodeMaybeStale()), k) << "the stale node keeps its key";
      }
      it.advance();
    }
    ASSERT_EQ(it, HashMap2018IteratorGeneric(Kiva::EndOfCollection));
    // Every member present for the whole walk was visited (exactly once: no
    // key was seen twice above).
    for (auto const& [k, v] : start) {
      if (!touched.count(k)) {
        EXPECT_TRUE(seen.count(k)) << "member " << k << " not visited";
      }
    }
    if (kind == 0) {
      EXPECT_EQ(visited.size(), model_.size());
    }
  }

  Keys keys_;
  std::mt19937_64 rng_;
  TestMap map_;
  std::map<std::uint32_t, std::uint64_t> model_;
  std::vector<std::uint32_t> keys_present_;
  std::unordered_map<std::uint32_t, std::size_t> where_;
};

std::uint64_t seedFor(int config) {
  if (char const* env = std::getenv("CORE_TEST_SEED")) return std::strtoull(env, nullptr, 0);
  return 0x9E3779B97F4A7C15ull * static_cast<std::uint64_t>(config + 1);
}

TEST_F(CoreTest, RandomSequencesMatchAStdMapModel) {
  struct Config {
    Keys keys;
    HashKind hash;
    int steps;
  };
  Config const configs[] = {
      {Keys::dense, HashKind::mixed, 150000},    {Keys::sparse, HashKind::mixed, 150000},
      {Keys::extreme, HashKind::mixed, 40000},   {Keys::dense, HashKind::ties, 60000},
      {Keys::sparse, HashKind::ties, 40000},     {Keys::extreme, HashKind::ties, 20000},
      {Keys::dense, HashKind::clustered, 30000}, {Keys::sparse, HashKind::clustered, 30000},
  };
  int index = 0;
  for (Config const& c : configs) {
    std::uint64_t const seed = seedFor(index++);
    SCOPED_TRACE(testing::Message()
                 << "keys " << name(c.keys) << ", hash " << name(c.hash) << ", seed " << seed
                 << " (rerun with CORE_TEST_SEED=" << seed << ")");
    gHashKind = c.hash;
    Baseline const base;
    {
      ModelRun run(c.keys, seed);
      run.run(c.steps);
    }
    base.expectRestored();
    if (HasFailure()) break;
  }
}

// ---- Walk semantics -------------------------------------------------------------

// Walks while the collection restructures under them: arrays split (the one
// the iterator stands in included), the directory doubles, then arrays merge
// and shrink and the directory halves. Each member present for the whole walk
// is visited exactly once.
TEST_F(CoreTest, WalksSurviveSplitsMergesAndDirectoryChanges) {
  Baseline const base;
  {
    TestMap map;
    std::set<std::uint32_t> original;
    for (std::uint32_t k = 0; k < 300; ++k) {
      map.insert(k * 7919u, k);
      original.insert(k * 7919u);
    }
    auto walkWhile = [&](auto&& change) {
      std::set<std::uint32_t> seen;
      for (auto it = map.begin(); it.currNodeNonStale() != nullptr; it.advance()) {
        std::uint32_t const k = keyOf(it.currNodeNonStale());
        EXPECT_EQ(map.find(k), it.currNodeNonStale()) << "the current node, not a stale copy";
        EXPECT_TRUE(seen.insert(k).second) << "key " << k << " visited twice";
        change();
      }
      for (std::uint32_t k : original) EXPECT_TRUE(seen.count(k)) << "key " << k << " not visited";
    };
    std::uint32_t const smallDirectory = map.core().directorySize();
    std::uint32_t extra = 1;
    walkWhile([&] {
      for (int i = 0; i < 60 && extra < 20000; ++i) map.insert(extra++ * 7919u + 3, 0);
    });
    std::uint32_t const largeDirectory = map.core().directorySize();
    EXPECT_GT(largeDirectory, 8 * smallDirectory) << "the directory doubled meanwhile";
    std::uint32_t removed = 1;
    walkWhile([&] {
      for (int i = 0; i < 60 && removed < extra; ++i) ASSERT_TRUE(map.erase(removed++ * 7919u + 3));
    });
    EXPECT_EQ(map.core().memberCount(), original.size());
    EXPECT_LT(map.core().directorySize(), largeDirectory) << "and halved again";
    EXPECT_LE(map.core().directorySize(), 4 * original.size());
  }
  base.expectRestored();
}

TEST_F(CoreTest, RemovingTheCurrentMemberThenLookingMovesToItsSuccessor) {
  TestMap map;
  for (std::uint32_t k = 0; k < 50; ++k) map.insert(k, k);
  auto it = map.begin();
  it.advance();
  auto next = it;
  next.advance();
  auto after = next;
  after.advance();
  std::uint32_t const current = keyOf(it.currNodeMaybeStale());
  ASSERT_TRUE(map.erase(current));
  EXPECT_EQ(keyOf(it.currNodeMaybeStale()), current) << "the stale node is still readable";
  // currNodeNonStale never returns a removed member: it moves on first.
  EXPECT_EQ(keyOf(it.currNodeNonStale()), keyOf(next.currNodeNonStale()));
  EXPECT_EQ(it, next);
  it.advance();
  EXPECT_EQ(it, after);
}

TEST_F(CoreTest, DeletingEveryMemberDuringAWalkVisitsAllOnce) {
  Baseline const base;
  {
    TestMap map;
    for (std::uint32_t k = 0; k < 20000; ++k) map.insert(k, k);
    std::set<std::uint32_t> seen;
    auto it = map.begin();
    while (it.currNodeNonStale() != nullptr) {
      std::uint32_t const k = keyOf(it.currNodeMaybeStale());
      ASSERT_TRUE(seen.insert(k).second);
      ASSERT_TRUE(map.erase(k));
      it.advance();
    }
    EXPECT_EQ(seen.size(), 20000u);
    EXPECT_EQ(map.core().memberCount(), 0u);
    EXPECT_EQ(map.core().directorySize(), 0u) << "an empty collection holds no directory";
  }
  base.expectRestored();
}

TEST_F(CoreTest, IteratorKeepsItsArrayAliveAfterTheCollectionDropsIt) {
  Baseline const base;
  {
    TestMap map;
    for (std::uint32_t k = 0; k < 100; ++k) map.insert(k, k + 1000);
    auto it = map.at(42);
    ASSERT_NE(it.currNodeNonStale(), nullptr);
    map.core()._memberDelAll(&testVt);
    EXPECT_EQ(map.core().memberCount(), 0u);
    EXPECT_EQ(map.core().allocatedSlots(), 0u);
    EXPECT_EQ(HashMap2018Generic::bucketHeaderTracker_.liveObjects(), base.headers + 1)
        << "only the iterator's array is left";
    EXPECT_EQ(keyOf(it.currNodeMaybeStale()), 42u);
    EXPECT_EQ(nodeAt(it.currNodeMaybeStale()).payload, 1042u);
    EXPECT_EQ(it.currNodeNonStale(), nullptr) << "the walk ends";
    EXPECT_EQ(HashMap2018Generic::bucketHeaderTracker_.liveObjects(), base.headers);
  }
  base.expectRestored();
}

TEST_F(CoreTest, IteratorCopyMoveAssignAndEquality) {
  Baseline const base;
  {
    TestMap map;
    for (std::uint32_t k = 0; k < 40; ++k) map.insert(k, k);
    HashMap2018IteratorGeneric const end(Kiva::EndOfCollection);
    EXPECT_EQ(HashMap2018IteratorGeneric(), end);
    auto a = map.begin();
    auto b = a;
    EXPECT_EQ(a, b);
    b.advance();
    EXPECT_FALSE(a == b);
    EXPECT_EQ(map.at(keyOf(b.currNodeNonStale())), b);
    auto c = std::move(b);
    EXPECT_EQ(b, end) << "a moved-from iterator is at the end";
    a = c;
    EXPECT_EQ(a, c);
    auto const& self = a;
    a = self;  // self-assignment keeps it
    EXPECT_EQ(a, c);
    c = std::move(a);
    EXPECT_EQ(a, end);
    c = end;
    EXPECT_EQ(c, end);
    c.advance();  // at the end: no effect
    EXPECT_EQ(c, end);
    EXPECT_EQ(c.currNodeMaybeStale(), nullptr);
    EXPECT_EQ(map.at(12345), end);
    TestMap empty;
    EXPECT_EQ(empty.begin(), end);
    EXPECT_EQ(empty.at(0), end);
  }
  base.expectRestored();
}

// ---- Node-operation call pattern ----------------------------------------------------

TEST_F(CoreTest, CallPattern) {
  Baseline const base;
  {
    TestMap map;
    EXPECT_EQ(map.core().directorySize(), 0u) << "an empty collection allocates nothing";
    EXPECT_EQ(Pooler::stats().liveBlocks, base.pool.liveBlocks);

    // The first member: one array, reported whole by newBucketAssemble, and
    // the node built in it by place.
    Calls const c0 = gCalls;
    map.insert(1000, 1);
    EXPECT_EQ(gCalls.assemble - c0.assemble, 1);
    EXPECT_EQ(gCalls.place - c0.place, 1);
    EXPECT_EQ(nodeTracker.liveObjects() - base.slots, map.core().allocatedSlots());
    EXPECT_EQ(HashMap2018Generic::bucketHeaderTracker_.liveObjects() - base.headers, 1);

    // Each insertion places its node (and may move the member holding its
    // home slot); a growth places the old members again into one new array.
    Calls const c1 = gCalls;
    for (std::uint32_t k = 1001; k < 1012; ++k) map.insert(k, k);
    long const rebuilt = (gCalls.place - c1.place) - 11;
    EXPECT_GE(gCalls.assemble - c1.assemble, 1) << "12 members outgrow the first array";
    EXPECT_GT(rebuilt, 0);
    EXPECT_LT(rebuilt, 2 * 12)
        << "growth doubles, and an insertion moves at most one member out of its home slot";
    EXPECT_EQ(gCalls.shiftOpen + gCalls.shiftClose, c0.shiftOpen + c0.shiftClose);
    EXPECT_EQ(nodeTracker.liveObjects() - base.slots, map.core().allocatedSlots());

    // Removing places the removed node into the caller's storage and frees
    // its slot; nothing else is called.
    Calls const c3 = gCalls;
    TestNode removed{};
    EXPECT_TRUE(map.erase(1005, &removed));
    EXPECT_EQ(removed.key, 1005u);
    EXPECT_EQ(removed.payload, 1005u);
    EXPECT_EQ(gCalls.place - c3.place, 1);
    EXPECT_EQ(gCalls.assemble, c3.assemble);
    EXPECT_EQ(gCalls.released, c3.released);

    // A lookup compares hash words and confirms one match with keyEqualsNode.
    Calls const c4 = gCalls;
    EXPECT_NE(map.find(1003), nullptr);
    EXPECT_EQ(gCalls.keyEquals - c4.keyEquals, 1);
    EXPECT_EQ(gCalls.compare, c4.compare);
    EXPECT_EQ(map.find(999), nullptr);
    EXPECT_EQ(gCalls.keyEquals - c4.keyEquals, 1) << "no matching hash word: no node is read";

    // Every array ever assembled is released exactly once.
    map.core().emptyAllBuckets(&testVt, true);
    EXPECT_EQ(map.core().memberCount(), 0u);
    EXPECT_EQ(map.core().allocatedSlots(), 0u);
    EXPECT_EQ(map.core().directorySize(), 0u);
  }
  base.expectRestored();
}

TEST_F(CoreTest, EmptyAllBucketsCanKeepTheDirectory) {
  Baseline const base;
  {
    TestMap map;
    for (std::uint32_t k = 0; k < 5000; ++k) map.insert(k, k);
    std::uint32_t const dir = map.core().directorySize();
    map.core().emptyAllBuckets(&testVt, false);
    EXPECT_EQ(map.core().directorySize(), dir);
    EXPECT_EQ(map.core().memberCount(), 0u);
    EXPECT_EQ(map.find(7), nullptr);
    EXPECT_EQ(map.begin(), HashMap2018IteratorGeneric(Kiva::EndOfCollection));
    for (std::uint32_t k = 0; k < 5000; ++k) map.insert(k, k);
    EXPECT_EQ(map.core().directorySize(), dir);
    EXPECT_EQ(map.find(4999)->payload, 4999u);
  }
  base.expectRestored();
}

// ---- Memory --------------------------------------------------------------------------

TEST_F(CoreTest, MemoryFollowsTheMemberCount) {
  gStrict = false;  // large: skip the per-call array lookups
  Baseline const base;
  {
    TestMap map;
    std::uint32_t const n = 200000;
    for (std::uint32_t k = 0; k < n; ++k) map.insert(k, k);
    HashMap2018Generic const& core = map.core();
    EXPECT_LE(core.allocatedSlots(), n * 2) << "slots per member";
    EXPECT_LE(core.directorySize(), n / 4) << "directory entries per member";
    Pooler::Stats const full = Pooler::stats();
    double const bytesPerMember =
        static_cast<double>(full.liveBytes - base.pool.liveBytes) / static_cast<double>(n);
    EXPECT_LT(bytesPerMember, 2.0 * kSlotBytes) << "allocator bytes per member";

    // Remove 90%, then all but 100, in random order: memory shrinks with the
    // count, within the stated bound of 8 slots per member.
    std::vector<std::uint32_t> keys(n);
    for (std::uint32_t k = 0; k < n; ++k) keys[k] = k;
    std::shuffle(keys.begin(), keys.end(), std::mt19937(7));
    for (std::uint32_t i = 0; i < n / 10 * 9; ++i) ASSERT_TRUE(map.erase(keys[i]));
    EXPECT_LE(core.allocatedSlots(), 8 * core.memberCount());
    EXPECT_LE(core.directorySize(), 4 * core.memberCount());
    for (std::uint32_t i = n / 10 * 9; i + 100 < n; ++i) ASSERT_TRUE(map.erase(keys[i]));
    EXPECT_EQ(core.memberCount(), 100u);
    EXPECT_LE(core.allocatedSlots(), 800u);
    EXPECT_LE(core.directorySize(), 800u) << "a sparse directory is swept down";
    for (std::uint32_t i = n - 100; i < n; ++i) ASSERT_EQ(map.find(keys[i])->payload, keys[i]);
  }
  base.expectRestored();
}

// ---- Fatal contracts ------------------------------------------------------------------

using CoreDeathTest = CoreTest;

void insertAPresentKey() {
  TestMap map;
  for (std::uint32_t k = 0; k < 10; ++k) map.insert(k, k);
  map.insert(3, 0);
}

TEST_F(CoreDeathTest, InsertingAPresentKeyStops) {
#ifdef NDEBUG
  GTEST_SKIP() << "checked only in builds without NDEBUG";
#endif
  EXPECT_DEATH(insertAPresentKey(), "newMemberG: the key is already a member");
}

// Builds a descriptor on the stack, far from the code on a 64-bit target.
void buildDescriptorOnTheStack() {
  HashMap2018VTable const far(0x104, sizeof(TestNode), &bktHdrRefDec, &keyEqualsNode, &place,
                              &shift, &newBucketAssemble, &compareOrLruUnlink);
  std::printf("%u\n", far.nodeSize);
}

TEST_F(CoreDeathTest, ADescriptorFarFromItsFunctionsStops) {
  EXPECT_DEATH(buildDescriptorOnTheStack(),
               "farther than 2 GiB from its node operation bktHdrRefDec");
}

void releaseAnUnreferencedArray() {
  alignas(8) std::uint32_t words[4] = {0, 0, 0, 0};  // a header of 0 slots, no reference
  HashMap2018BucketHdr::bktHdrRefDecHelper(reinterpret_cast<HashMap2018BucketHdr*>(words));
}

TEST_F(CoreDeathTest, ReleasingAnArrayWithNoReferenceStops) {
  EXPECT_DEATH(releaseAnUnreferencedArray(), "released twice");
}

}  // namespace
