// The tables' keyed collections: the node operations where their contract is
// subtle (unsigned order, empty resolved values kept empty, the shift
// contract), and the independence of a table's two collections. The
// collection core's own tests drive growth, shrinking and walks.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "TestTables.h"

namespace {

using Table = CorvaneInt::IfaActionProfile;
using Resolved = Table::HN_ResolvedEntry;
using Ops = IfaRuntime::NodeOps<Resolved>;
using Contents = std::vector<std::pair<std::uint32_t, int>>;

// A resolved node of `key` holding an entry of hop limit `hop`, or empty (-1).
Resolved node(std::uint32_t key, int hop) {
  Resolved n{{}, key, {}};
  if (hop >= 0) n.value = Table::Entry();
  if (hop >= 0) n.value->hoplimit = static_cast<std::uint8_t>(hop);
  return n;
}

// Key and hop limit (-1 when empty) of the first `n` nodes at `nodes`.
Contents contents(unsigned char const* nodes, int n) {
  Contents out;
  for (Resolved const* r = reinterpret_cast<Resolved const*>(nodes); n-- > 0; ++r)
    out.emplace_back(r->key.value, r->value.hasValue() ? r->value->hoplimit : -1);
  return out;
}

TEST(EntryNodeOps, CompareIsUnsignedAndUsesTheProbeWhenTheFirstNodeIsNull) {
  Resolved const small = node(0, 1), big = node(0xFFFFFFFFu, -1), sameKey = node(0, 200);
  Asic::SwTableBase::Index const probe = 5, zero = 0;
  EXPECT_EQ(Ops::compareOrLruUnlink(&probe, nullptr, &big), 1);
  EXPECT_EQ(Ops::compareOrLruUnlink(&probe, nullptr, &small), 2);
  EXPECT_EQ(Ops::compareOrLruUnlink(&probe, &small, &big), 1);
  EXPECT_EQ(Ops::compareOrLruUnlink(&probe, &big, &small), 2);
  EXPECT_EQ(Ops::compareOrLruUnlink(&probe, &small, &sameKey), 0);
  EXPECT_TRUE(Ops::keyEqualsNode(&zero, &small));
  EXPECT_FALSE(Ops::keyEqualsNode(&zero, &big));
}

TEST(EntryNodeOps, PlaceShiftAndAssembleKeepEmptyValuesEmpty) {
  auto const* vt = &Ops::vt();
  Resolved src[4] = {node(1, 10), node(3, -1), node(5, 50), node(7, -1)};
  alignas(Resolved) unsigned char a[8 * sizeof(Resolved)], b[8 * sizeof(Resolved)];
  for (int i = 0; i < 4; ++i) Ops::place(vt, a + i * sizeof(Resolved), &src[i], false);
  EXPECT_EQ(contents(a, 4), (Contents{{1, 10}, {3, -1}, {5, 50}, {7, -1}}));
  Resolved const fresh = node(2, 20);
  Ops::shift(vt, a, &fresh, 4, 1, 1);  // open slot 1 for key 2
  EXPECT_EQ(contents(a, 5), (Contents{{1, 10}, {2, 20}, {3, -1}, {5, 50}, {7, -1}}));
  Ops::shift(vt, a, nullptr, 5, 1, -2);  // close keys 2 and 3
  EXPECT_EQ(contents(a, 3), (Contents{{1, 10}, {5, 50}, {7, -1}}));

  // Runs copied in their order into consecutive slots; the tracker hears of
  // every slot of the array.
  Kiva::HashMap2018NodeRun const runs[] = {{src + 1, 2}, {src, 1}, {src, 0}};
  auto const before = Ops::tracker.liveObjects();
  Ops::newBucketAssemble(vt, 6, b, runs, 3);
  EXPECT_EQ(Ops::tracker.liveObjects() - before, 6);
  EXPECT_EQ(contents(b, 3), (Contents{{3, -1}, {5, 50}, {1, 10}}));
  Kiva::AllocTrackTypeInfo::trackArrayDeallocation(Ops::tracker, Ops::kSlotBytes, 6);
}

TEST(EntryNodeOpsDeathTest, ShiftOpeningMoreThanOneSlotIsAContractFailure) {
  alignas(Resolved) unsigned char a[2 * sizeof(Resolved)];
  Resolved src = node(1, 1);
  Ops::place(&Ops::vt(), a, &src, false);
  EXPECT_DEATH(Ops::shift(&Ops::vt(), a, &src, 1, 0, 2),
               "assertion \"slotsToShift == 1\" failed: file \"/usr/include/Kiva/HashMap2018\", "
               "line 2631, function shift\n");
}

// Both collections of a table whose entry has no field, which hash their keys
// with different constants: a key in one is not in the other.
TEST(EntryCollections, TheTwoCollectionsOfATableAreIndependent) {
  using Fieldless = CorvaneInt::IfaMetadataConstructProfile;
  Orrin::Ptr<Fieldless> table(new Fieldless);
  table->syncedEntryIs(42, Fieldless::Entry());
  table->resolvedEntryIs(7, Kiva::Optional<Fieldless::Entry>());
  EXPECT_EQ(table->resolvedEntryColl()[42], nullptr);
  EXPECT_NE(table->syncedEntryColl()[42], nullptr);
  EXPECT_EQ(table->syncedEntryColl()[7], nullptr);
  EXPECT_NE(Fieldless::ResolvedEntryColl::keyHash(42), Fieldless::SyncedEntryColl::keyHash(42));
}

// A location taken before the collection changed is a contract failure,
// caught in builds without NDEBUG; so is inserting a key that is a member.
TEST(EntryCollectionsDeathTest, ALocationUsedAfterAChangeStops) {
#ifdef NDEBUG
  GTEST_SKIP() << "checked only in builds without NDEBUG";
#endif
  using Synced = Table::HN_SyncedEntry;
  Table::SyncedEntryColl coll;
  coll.insert(Synced{{}, 1, {}});
  auto const at = coll.locate(1);
  coll.insert(Synced{{}, 2, {}});
  EXPECT_DEATH(coll.erase(at), "the collection changed since the lookup.*erase");
  EXPECT_DEATH(coll.insert(Synced{{}, 2, {}}), "newMemberG: the key is already a member");
  coll.erase(coll.locate(1));
  EXPECT_EQ(coll.size(), 1u);
}

}  // namespace
