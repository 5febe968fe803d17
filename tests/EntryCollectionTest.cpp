// The tables' keyed collections: the node operations where their contract is
// subtle, a model-based random test of the collections of real tables against
// std::map, and the allocation accounting back to zero after destruction.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "Pooler/Pooler.h"
#include "TestTables.h"

namespace {

using Table = CorvaneInt::IfaActionProfile;
using Entry = Table::Entry;
using Resolved = Table::HN_ResolvedEntry;
using Synced = Table::HN_SyncedEntry;
using ResolvedOps = IfaRuntime::NodeOps<Resolved>;
using Index = Asic::SwTableBase::Index;

// An Entry whose constructions are counted: the node operations must not
// construct an Entry for an empty resolved value.
Entry entryWith(std::uint8_t hop) {
  Entry e;
  e.hoplimit = hop;
  return e;
}

Resolved resolvedNode(std::uint32_t key, std::optional<std::uint8_t> hop) {
  Resolved n{{}, key, {}};
  if (hop) n.value = entryWith(*hop);
  return n;
}

struct NodeArray {
  alignas(Resolved) unsigned char bytes[8 * sizeof(Resolved)];
  Resolved* at(int i) { return reinterpret_cast<Resolved*>(bytes) + i; }
};

TEST(EntryNodeOps, CompareOrderIsUnsignedAndUsesTheProbeWhenTheFirstNodeIsNull) {
  Resolved const small = resolvedNode(0, 1), big = resolvedNode(0xFFFFFFFFu, std::nullopt);
  Index const probe = 5;
  EXPECT_EQ(ResolvedOps::compareOrLruUnlink(&probe, nullptr, &big), 1);
  EXPECT_EQ(ResolvedOps::compareOrLruUnlink(&probe, nullptr, &small), 2);
  EXPECT_EQ(ResolvedOps::compareOrLruUnlink(&probe, &small, &big), 1);
  EXPECT_EQ(ResolvedOps::compareOrLruUnlink(&probe, &big, &small), 2);
  Resolved const sameKeyOtherValue = resolvedNode(0, 200);
  EXPECT_EQ(ResolvedOps::compareOrLruUnlink(&probe, &small, &sameKeyOtherValue), 0);
  Index const zero = 0;
  EXPECT_TRUE(ResolvedOps::keyEqualsNode(&zero, &small));
  EXPECT_FALSE(ResolvedOps::keyEqualsNode(&zero, &big));
}

TEST(EntryNodeOps, ShiftOpensAndClosesSlotsKeepingEmptyValuesEmpty) {
  NodeArray a;
  auto const* vt = &ResolvedOps::vt();
  Resolved src[4] = {resolvedNode(1, 10), resolvedNode(3, std::nullopt), resolvedNode(5, 50),
                     resolvedNode(7, std::nullopt)};
  for (int i = 0; i < 4; ++i) ResolvedOps::place(vt, a.at(i), &src[i], false);
  EXPECT_FALSE(a.at(1)->value.hasValue());

  Resolved const fresh = resolvedNode(2, 20);
  ResolvedOps::shift(vt, a.bytes, &fresh, 4, 1, 1);  // open slot 1 for key 2
  std::vector<std::uint32_t> keys;
  for (int i = 0; i < 5; ++i) keys.push_back(a.at(i)->key.value);
  EXPECT_EQ(keys, (std::vector<std::uint32_t>{1, 2, 3, 5, 7}));
  EXPECT_EQ(a.at(1)->value->hoplimit, 20);
  EXPECT_FALSE(a.at(2)->value.hasValue());  // the empty value moved along, still empty
  EXPECT_FALSE(a.at(4)->value.hasValue());
  EXPECT_EQ(a.at(3)->value->hoplimit, 50);

  ResolvedOps::shift(vt, a.bytes, nullptr, 5, 1, -2);  // close keys 2 and 3
  keys.clear();
  for (int i = 0; i < 3; ++i) keys.push_back(a.at(i)->key.value);
  EXPECT_EQ(keys, (std::vector<std::uint32_t>{1, 5, 7}));
  EXPECT_EQ(a.at(1)->value->hoplimit, 50);
  EXPECT_FALSE(a.at(2)->value.hasValue());  // engaged target assigned from empty: cleared
}

TEST(EntryNodeOpsDeathTest, ShiftOpeningMoreThanOneSlotIsAContractFailure) {
  NodeArray a;
  auto const* vt = &ResolvedOps::vt();
  Resolved src = resolvedNode(1, 1);
  ResolvedOps::place(vt, a.at(0), &src, false);
  EXPECT_DEATH(ResolvedOps::shift(vt, a.bytes, &src, 1, 0, 2),
               "\"slotsToShift == 1\".*/usr/include/Kiva/HashMap2018.*2631");
}

TEST(EntryNodeOps, NewBucketAssembleCopiesRunsInOrderAndCountsSlots) {
  NodeArray a;
  auto const* vt = &ResolvedOps::vt();
  Resolved first[2] = {resolvedNode(1, 1), resolvedNode(2, std::nullopt)};
  Resolved second[1] = {resolvedNode(9, 9)};
  Kiva::HashMap2018NodeRun const runs[] = {{first, 2}, {second, 1}, {first, 0}};
  auto const before = ResolvedOps::tracker.liveObjects();
  ResolvedOps::newBucketAssemble(vt, 6, a.bytes, runs, 3);
  EXPECT_EQ(ResolvedOps::tracker.liveObjects() - before, 6);
  EXPECT_EQ(a.at(0)->key.value, 1u);
  EXPECT_FALSE(a.at(1)->value.hasValue());
  EXPECT_EQ(a.at(2)->value->hoplimit, 9);
  Kiva::AllocTrackTypeInfo::trackArrayDeallocation(ResolvedOps::tracker, ResolvedOps::kSlotBytes,
                                                   6);
  EXPECT_EQ(vt->flags, 0x104u);
  EXPECT_EQ(vt->nodeSize, sizeof(Resolved));
}

// The resolved and synced collections of tables of three shapes against
// std::map, over dense, sparse and extreme keys, with walks that delete.
template <class T>
void modelCollections(std::uint64_t seed) {
  SCOPED_TRACE("seed " + std::to_string(seed));
  using E = typename T::Entry;
  std::mt19937_64 rng(seed);
  auto const baseline = Pooler::stats().liveBlocks;
  {
    Orrin::Ptr<T> table(new T);
    std::map<std::uint32_t, std::optional<E>> resolved;
    std::map<std::uint32_t, E> synced;
    auto key = [&]() -> std::uint32_t {
      switch (rng() % 4) {
        case 0:
          return static_cast<std::uint32_t>(rng() % 3000);  // dense
        case 1:
          return static_cast<std::uint32_t>(rng());  // sparse
        case 2:
          return 0xFFFFFFFFu - static_cast<std::uint32_t>(rng() % 3);
        default:
          return static_cast<std::uint32_t>(rng() % 8);
      }
    };
    for (int step = 0; step < 60000; ++step) {
      std::uint32_t const k = key();
      E const e = IfaTest::randomEntry<E>(rng);
      switch (rng() % 10) {
        case 0:
        case 1:
        case 2:
          table->entryCommit(k, e);
          resolved[k] = e;
          break;
        case 3:
          table->resolvedEntryIs(k, Kiva::Optional<E>());
          resolved[k] = std::nullopt;
          break;
        case 4:
          table->entryRemove(k);
          resolved.erase(k);
          break;
        case 5:
        case 6:
          table->syncedEntryIs(k, e);
          synced[k] = e;
          break;
        case 7:
          table->syncedEntryDel(k);
          synced.erase(k);
          break;
        case 8: {  // lookups, hits and misses
          ASSERT_EQ(table->entryHas(k), resolved.count(k) == 1);
          ASSERT_EQ(table->syncedEntryGet(k).hasValue(), synced.count(k) == 1);
          break;
        }
        case 9:
          if (rng() % 50 == 0) {  // a full walk deleting every other member
            std::map<std::uint32_t, int> seen;
            std::vector<std::uint32_t> before;
            for (auto const& entry : synced) before.push_back(entry.first);
            auto const& coll = table->syncedEntryColl();
            bool drop = false;
            for (auto it = coll.begin(); !it.atEnd(); it.advance()) {
              std::uint32_t const current = it.staleNode()->key;
              ++seen[current];
              if ((drop = !drop)) {
                table->syncedEntryDel(current);
                synced.erase(current);
              }
            }
            // Every member visited exactly once, though half were deleted on the way.
            std::vector<std::uint32_t> visited;
            for (auto const& [k2, n] : seen) {
              ASSERT_EQ(n, 1) << k2;
              visited.push_back(k2);
            }
            ASSERT_EQ(visited, before);
          }
          if (rng() % 500 == 0) {
            table->syncedEntryDelAll();
            synced.clear();
          }
          break;
      }
      if (step % 997 == 0) {
        ASSERT_EQ(table->resolvedEntrys(), resolved.size());
        ASSERT_EQ(table->syncedEntrys(), synced.size());
        std::map<std::uint32_t, std::optional<E>> walked;
        for (auto it = table->resolvedEntryColl().begin(); !it.atEnd(); it.advance()) {
          auto const* n = it.node();
          ASSERT_TRUE(
              walked
                  .emplace(n->key, n->value.hasValue() ? std::optional<E>(*n->value) : std::nullopt)
                  .second);
        }
        ASSERT_EQ(walked, resolved);
        for (auto const& [k2, v] : synced) ASSERT_TRUE(table->syncedEntry(k2) == v);
      }
    }
    table->entryRemoveAll();
    table->syncedEntryDelAll();
  }
  // Everything the collections held is back with the allocator.
  EXPECT_EQ(Pooler::stats().liveBlocks, baseline);
  EXPECT_EQ(IfaRuntime::NodeOps<typename T::HN_ResolvedEntry>::tracker.liveObjects(), 0);
  EXPECT_EQ(IfaRuntime::NodeOps<typename T::HN_SyncedEntry>::tracker.liveObjects(), 0);
  EXPECT_EQ(Kiva::HashMap2018Generic::bucketHeaderTracker_.liveObjects(), 0);
}

TEST(EntryCollections, NamedListTableMatchesTheModel) {
  modelCollections<Table>(1);
}
TEST(EntryCollections, BareValueTableMatchesTheModel) {
  modelCollections<CorvaneInt::IfaSwitchId>(2);
}
TEST(EntryCollections, FieldlessTableMatchesTheModel) {
  modelCollections<CorvaneInt::IfaMetadataConstructProfile>(3);
}

// Keys whose hashes share their top 13 bits, committed into an empty table
// and into one of 200,000 random keys: arrays split further instead of
// overflowing, and every key is found. Then a mass removal: the slots held
// stay within the core's bound of 8 per member.
TEST(EntryCollections, ClusteredHashesAndMassRemovalsStayBounded) {
  using T = CorvaneInt::IfaSwitchId;
  auto const prefixOf = [](std::uint32_t key) { return T::ResolvedEntryColl::keyHash(key) >> 19; };
  auto const entryOf = [](std::uint32_t key) {
    T::Entry e;
    e.switchId = key;
    return e;
  };
  std::vector<std::uint32_t> clustered;
  for (std::uint32_t k = 0; clustered.size() < 20000; ++k) {
    if (prefixOf(k) == prefixOf(0)) clustered.push_back(k);
  }
  for (std::uint32_t background : {0u, 200000u}) {
    SCOPED_TRACE(testing::Message() << background << " random keys besides");
    Orrin::Ptr<T> table(new T);
    std::mt19937_64 rng(5);
    for (std::uint32_t i = 0; i < background;) {
      std::uint32_t const k = static_cast<std::uint32_t>(rng());
      if (prefixOf(k) != prefixOf(0) && !table->entryHas(k)) {
        table->entryCommit(k, IfaTest::randomEntry<T::Entry>(rng));
        ++i;
      }
    }
    for (std::uint32_t k : clustered) table->entryCommit(k, entryOf(k));
    for (std::uint32_t k : clustered) ASSERT_EQ(table->entry(k), entryOf(k)) << k;
    ASSERT_EQ(table->resolvedEntrys(), background + clustered.size());
    auto const& core = table->resolvedEntryColl().core();
    EXPECT_LE(core.directorySize(), std::max(1024u, 2 * core.memberCount()));
    EXPECT_LE(core.allocatedSlots(), 8 * core.memberCount());
  }
  Orrin::Ptr<T> table(new T);
  std::vector<std::uint32_t> keys(100000);
  for (std::uint32_t k = 0; k < keys.size(); ++k) table->entryCommit(keys[k] = k, entryOf(k));
  std::shuffle(keys.begin(), keys.end(), std::mt19937(7));
  for (std::uint32_t i = 0; i < 90000; ++i) table->entryRemove(keys[i]);
  auto const& core = table->resolvedEntryColl().core();
  EXPECT_EQ(core.memberCount(), 10000u);
  EXPECT_LE(core.allocatedSlots(), 8 * core.memberCount());
  for (std::uint32_t i = 90000; i < keys.size(); ++i)
    ASSERT_EQ(table->entry(keys[i]), entryOf(keys[i]));
}

TEST(EntryCollections, TheTwoCollectionsOfATableAreIndependent) {
  Orrin::Ptr<Table> table(new Table);
  table->syncedEntryIs(42, entryWith(1));
  EXPECT_EQ(table->resolvedEntryColl()[42], nullptr);
  EXPECT_NE(table->syncedEntryColl()[42], nullptr);
  EXPECT_NE(Table::ResolvedEntryColl::keyHash(42), Table::SyncedEntryColl::keyHash(42));
  EXPECT_FALSE(table->entryHas(42));
}

}  // namespace
