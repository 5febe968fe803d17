// The engine's behaviour, observed from outside: the Util calls in order with
// their arguments, the collections, the statistics, the publications and the
// trace lines, checked together.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "EngineTestSupport.h"
#include "Kiva/StdIterator.h"
#include "Pooler/Pooler.h"
#include "RingTrace/RingTrace.h"
#include "Statebase/Statebase.h"

namespace {

using IfaTest::PublicationRecorder;
using IfaTest::RecordingUtil;
using IfaTest::text;
using Strings = std::vector<std::string>;
using Index = Asic::SwTableBase::Index;
constexpr std::uint32_t kInvalid = 0xFFFFFFFFu;

template <class Table>
struct TableRig {
  using Entry = typename Table::Entry;

  // Without a Util the table still has its hardware table.
  explicit TableRig(bool withUtil = true) {
    table->publisher()->observerIs(&pubs);
    if (withUtil) {
      attach();
    } else {
      table->hwTableIs(hw);
    }
  }
  ~TableRig() {
    if (table) table->publisher()->observerDel(&pubs);
  }
  void attach() {
    table->utilIs(Orrin::Ptr<Asic::SwTable::Util>(util.get()));
    table->hwTableIs(hw);
  }
  Asic::SwTable::ReconciliationStatistics stats() const { return table->statistics(); }

  Orrin::Ptr<Table> table{new Table};
  Orrin::Ptr<RecordingUtil<Table>> util{new RecordingUtil<Table>};
  Orrin::Ptr<Asic::HwTable> hw{new Asic::HwTable(Orrin::String("hw"), 0, 4095, 1)};
  PublicationRecorder<Table> pubs;
};

TEST(EngineInvalidIndex, NoRowIsWrittenOrDeletedForTheInvalidIndex) {
  using Table = CorvaneInt::IfaSwitchId;
  TableRig<Table> rig;
  auto capture = std::make_shared<Kiva::TraceCapture>();
  auto previous = Kiva::traceSinkIs(capture);
  Kiva::TraceHandle::levelIs("CorvaneInt::IfaSwitchId", 8, true);
  rig.table->doInitComplete();
  Table::Entry e;
  e.switchId = 77;
  rig.table->entryCommit(kInvalid, e);
  rig.table->entryRemove(kInvalid);
  EXPECT_TRUE(rig.util->take().empty());
  Strings const lines = capture->lines("CorvaneInt::IfaSwitchId");
  Kiva::TraceHandle::levelIs("CorvaneInt::IfaSwitchId", 8, false);
  Kiva::traceSinkIs(previous);
  EXPECT_EQ(lines.back(),
            "CorvaneInt::IfaSwitchId : handleEntry"
            "No entry in HwTable for this key. Skip delete");
}

TEST(EngineNoUtil, NothingReachesHardwareAndTheRangeIsOpen) {
  using Table = CorvaneInt::IfaActionVector;
  Orrin::Ptr<Table> table(new Table);
  EXPECT_EQ(table->minIndex(), 0u);
  EXPECT_EQ(table->maxIndex(), 0xFFFFFFFFu);
  EXPECT_EQ(table->util(), nullptr);
  Table::Entry e;
  e.ipProtocol = 17;
  table->entryCommit(1, e);  // replay not complete: reconciled as missing
  table->syncedEntryIs(2, e);
  table->entryCommit(2, e);  // a synced row but no Util to compare with
  table->entryRemove(1);
  auto const s = table->statistics();
  EXPECT_EQ(s.entryMissing, 2u);
  EXPECT_EQ(s.entryStale, 0u);  // the delete path stops before counting
  EXPECT_EQ(table->syncedEntrys(), 1u);
  table->purgeStaleEntries();  // without a Util the synced entries stay
  EXPECT_EQ(table->syncedEntrys(), 1u);
}

TEST(EngineTrace, LinesOfAWriteAndADeleteAreExact) {
  using Table = CorvaneInt::IfaActionProfile;
  TableRig<Table> rig;
  auto capture = std::make_shared<Kiva::TraceCapture>();
  auto previous = Kiva::traceSinkIs(capture);
  Kiva::TraceHandle::levelIs("CorvaneInt::IfaActionProfile", 8, true);
  rig.table->doInitComplete();
  rig.table->entryCommit(5, Table::Entry());
  rig.table->entryRemove(5);
  Strings const lines = capture->lines("CorvaneInt::IfaActionProfile");
  Kiva::TraceHandle::levelIs("CorvaneInt::IfaActionProfile", 8, false);
  Kiva::traceSinkIs(previous);
  EXPECT_EQ(lines,
            (Strings{
                "CorvaneInt::IfaActionProfile : handleEntry key: 5, configReplayComplete: true",
                "CorvaneInt::IfaActionProfile : programHwEntry key: 5, entryState:indexAcquired",
                "CorvaneInt::IfaActionProfile : traceHwIndex Acquired hwIndex : 5",
                "CorvaneInt::IfaActionProfile : hwTableEntryIs : key: 5",
                "CorvaneInt::IfaActionProfile : handleEntry key: 5, configReplayComplete: true",
                "CorvaneInt::IfaActionProfile : traceHwIndex Acquired hwIndex : 5",
                "CorvaneInt::IfaActionProfile : hwTableEntryDel: Deleting entry at key:5",
            }));
  for (auto const& r : capture->records()) EXPECT_EQ(r.file, "AsicSwTable/SwTableAccessor");
}

TEST(EngineRestart, ReadBackReplayAndPurgeLeaveExactlyTheConfiguration) {
  using Table = CorvaneInt::IfaPktDetection;
  using Entry = Table::Entry;
  TableRig<Table> before;
  before.table->doInitComplete();
  Entry a, b, c;
  a.ifaVersion = 1;
  b.ifaVersion = 2;
  c.probeIpProtocol = 253;
  before.table->entryCommit(10, a);
  before.table->entryCommit(11, b);
  before.table->entryCommit(12, c);

  // The agent restarts: a new table over the same hardware rows.
  TableRig<Table> after;
  after.util->rows = before.util->rows;
  after.table->syncEntries();
  EXPECT_EQ(after.table->syncedEntrys(), 3u);
  after.util->take();
  after.pubs.take();

  Entry b2 = b;
  b2.ifaValid = 1;
  after.table->entryCommit(10, a);   // equal
  after.table->entryCommit(11, b2);  // changed
  after.table->entryCommit(13, c);   // new
  after.table->doInitComplete();
  EXPECT_EQ(after.table->syncedEntrys(), 1u);  // key 12: nobody claimed it

  auto capture = std::make_shared<Kiva::TraceCapture>();
  auto previous = Kiva::traceSinkIs(capture);
  Kiva::TraceHandle::levelIs("SwTableStat", 0, true);
  Kiva::TraceHandle::levelIs("CorvaneInt::IfaPktDetection", 8, true);
  after.util->take();
  after.table->purgeStaleEntries();
  Strings const stat = capture->lines("SwTableStat");
  Strings const own = capture->lines("CorvaneInt::IfaPktDetection");
  Kiva::TraceHandle::levelIs("SwTableStat", 0, false);
  Kiva::TraceHandle::levelIs("CorvaneInt::IfaPktDetection", 8, false);
  Kiva::traceSinkIs(previous);

  EXPECT_EQ(after.util->take(), (Strings{"tracker 12 2", "del 12"}));
  EXPECT_EQ(after.table->syncedEntrys(), 0u);
  std::map<std::uint32_t, std::string> rows;
  for (auto const& [k, e] : after.util->rows) rows[k] = text(e);
  EXPECT_EQ(rows,
            (std::map<std::uint32_t, std::string>{{10, text(a)}, {11, text(b2)}, {13, text(c)}}));
  EXPECT_EQ(stat, (Strings{"CorvaneInt::IfaPktDetection : purgeStaleEntries "
                           "Asic::SwTable::ReconciliationStatistics(entryMatched=1, "
                           "entryMismatched=1, entryMissing=1, entryStale=1)"}));
  EXPECT_EQ(own, (Strings{
                     "CorvaneInt::IfaPktDetection : syncedEntryRemoveAll",
                     "CorvaneInt::IfaPktDetection : hwTableEntryDel: Deleting entry at key:12",
                     "CorvaneInt::IfaPktDetection : handleStaleEntries: Deleting stale hwEntry "
                     "for key:12",
                 }));
}

TEST(EngineRestart, PurgeReleasesThenDeletesEachStaleRowAndSkipsResolvedKeys) {
  using Table = CorvaneInt::IfaTimeOfDay;
  TableRig<Table> rig;
  Table::Entry e;
  e.hwUpdateDisable = 1;
  for (std::uint32_t k : {1u, 2u, 3u}) rig.util->rows[k] = e;
  rig.table->syncEntries();
  rig.table->doInitComplete();
  rig.table->entryCommit(2, e);  // written directly: the synced entry of 2 stays
  ASSERT_EQ(rig.table->syncedEntrys(), 3u);
  // The purge walks the synced entries in the collection's order: each stale
  // row is released (2) and then deleted; key 2 is only dropped.
  Strings expected;
  for (auto it = rig.table->syncedEntryColl().begin(); !it.atEnd(); it.advance()) {
    std::string const k = std::to_string(it.staleNode()->key.value);
    if (k != "2") expected.insert(expected.end(), {"tracker " + k + " 2", "del " + k});
  }
  // A key without value removed through the engine leaves the state "node
  // without value", with which a delete with the flag clear would report 4.
  rig.table->resolvedEntryIs(5, Kiva::Optional<Table::Entry>());
  rig.table->entryRemove(5);
  rig.util->take();
  rig.table->purgeStaleEntries();
  EXPECT_EQ(rig.util->take(), expected);
  EXPECT_EQ(rig.table->syncedEntrys(), 0u);
  EXPECT_EQ(rig.util->rows.size(), 1u);
  EXPECT_EQ(rig.util->rows.count(2), 1u);
  // The purge leaves the state "no node" and the flag clear: a direct delete
  // then informs the tracker of nothing.
  rig.table->resolvedEntryDel(2);
  EXPECT_EQ(rig.util->take(), (Strings{"del 2"}));
  auto const s = rig.stats();
  EXPECT_EQ(s.entryStale, 2u);
  EXPECT_EQ(s.entryMatched + s.entryMismatched + s.entryMissing, 0u);
  EXPECT_EQ(rig.hw->indexUserTracker()->indicesInUse(), 1u);
  EXPECT_EQ(rig.hw->indexUserTracker()->refusals(), 0u);
}

// The purge sets the index-reconciled flag; a Util that raises must not
// leave it set, or a later removal of a key without value would report a
// release (2) instead of a valueless release (4).
TEST(EngineRestart, AUtilRaisingDuringThePurgeLeavesTheReconciledFlagClear) {
  using Table = CorvaneInt::IfaTimeOfDay;
  TableRig<Table> rig;
  rig.util->rows[1] = Table::Entry();
  rig.table->syncEntries();
  rig.table->doInitComplete();
  rig.util->failDeletes = true;
  EXPECT_THROW(rig.table->purgeStaleEntries(), std::runtime_error);
  rig.util->failDeletes = false;
  rig.table->resolvedEntryIs(5, Kiva::Optional<Table::Entry>());
  rig.util->take();
  rig.table->entryRemove(5);
  EXPECT_EQ(rig.util->take(), (Strings{"tracker 5 4", "del 5"}));
}

TEST(EngineBulk, EachRowGoesAfterItsTrackerCallAndOnlyThroughAUtil) {
  using Table = CorvaneInt::IfaEpRecirc;
  enum class How { entryRemoveAll, cleanup, destructor };
  for (bool withUtil : {true, false}) {
    for (How how : {How::entryRemoveAll, How::cleanup, How::destructor}) {
      SCOPED_TRACE(std::to_string(withUtil) + " " + std::to_string(static_cast<int>(how)));
      TableRig<Table> rig(withUtil);
      rig.table->doInitComplete();
      Table::Entry e;
      e.cos = 5;
      rig.table->entryCommit(1, e);
      rig.table->entryCommit(2, e);
      rig.table->resolvedEntryIs(3, Kiva::Optional<Table::Entry>());
      // Keys go in the resolved collection's order; entryRemoveAll reports 2
      // for each, cleanup 4 for the key without value.
      Strings expected;
      for (auto it = rig.table->resolvedEntryColl().begin(); withUtil && !it.atEnd();
           it.advance()) {
        std::string const k = std::to_string(it.staleNode()->key.value);
        bool const release = how == How::entryRemoveAll || it.staleNode()->value.hasValue();
        expected.insert(expected.end(), {"tracker " + k + (release ? " 2" : " 4"), "del " + k});
      }
      rig.util->take();
      rig.pubs.take();
      if (how == How::entryRemoveAll) rig.table->entryRemoveAll();
      if (how == How::cleanup) rig.table->cleanup();
      if (how == How::destructor) rig.table = nullptr;
      EXPECT_EQ(rig.util->take(), expected);
      EXPECT_EQ(rig.pubs.take().size(), 3u);
      EXPECT_TRUE(!rig.table || rig.table->resolvedEntrys() == 0u);
      bool const trackerGone = withUtil && how != How::entryRemoveAll;
      EXPECT_EQ(rig.hw->indexUserTracker() == nullptr, trackerGone);
      EXPECT_EQ(rig.hw->trackerDeletions(),
                trackerGone ? (std::vector<Asic::HwTable::TrackerDeletion>{{0, false, true}})
                            : std::vector<Asic::HwTable::TrackerDeletion>{});
      EXPECT_TRUE(trackerGone || rig.hw->indexUserTracker()->indicesInUse() == 0u);
    }
  }
}

TEST(EngineIteration, EntryViewVisitsExactlyTheKeysHoldingAValue) {
  using Table = CorvaneInt::IfaSflowIngSwTable;
  Orrin::Ptr<Table> table(new Table);
  EXPECT_TRUE(table->entryIteratorConst().atEnd());
  std::set<std::uint32_t> withValue;
  for (std::uint32_t k = 0; k < 300; ++k) {
    if (k % 3 == 0) {
      table->resolvedEntryIs(k, Kiva::Optional<Table::Entry>());
    } else {
      Table::Entry e;
      e.sampleRate = k;
      table->entryCommit(k, e);
      withValue.insert(k);
    }
  }
  std::set<std::uint32_t> seen;
  for (auto it = table->entryIteratorConst(); !it.atEnd(); it.advance()) {
    EXPECT_TRUE(seen.insert(it.key()).second);
    EXPECT_EQ(it.entry().sampleRate, it.key().value);
  }
  EXPECT_EQ(seen, withValue);
  EXPECT_TRUE(table->entryIteratorConst(3).atEnd());     // no value
  EXPECT_TRUE(table->entryIteratorConst(1000).atEnd());  // absent
  auto at = table->entryIteratorConst(4);
  ASSERT_FALSE(at.atEnd());
  EXPECT_EQ(at.key().value, 4u);
}

// Each change of a resolved or synced entry is published once, with the
// value it replaced; an unchanged value publishes nothing.
TEST(EnginePublications, EachChangePublishesThePreviousValueOnce) {
  using Table = CorvaneInt::IfaMonIngRedirectPktProfile;
  TableRig<Table> rig;
  Table::Entry a, b;
  a.skipL2Learn = 200;
  b.skipL2Learn = 1;
  rig.table->doInitComplete();
  rig.table->entryCommit(7, a);
  rig.table->entryCommit(7, a);
  rig.table->entryCommit(7, b);
  rig.table->resolvedEntryIs(7, Kiva::Optional<Table::Entry>());
  rig.table->resolvedEntryIs(7, Kiva::Optional<Table::Entry>());
  rig.table->entryCommit(7, a);
  rig.table->entryRemove(7);
  rig.table->entryRemove(7);
  EXPECT_EQ(rig.pubs.take(), (Strings{"519 7 -", "519 7 " + text(a), "519 7 " + text(b), "519 7 -",
                                      "519 7 " + text(a)}));
  rig.table->syncedEntryIs(1, a);
  rig.table->syncedEntryIs(1, a);
  rig.table->syncedEntryIs(1, b);
  EXPECT_EQ(rig.table->syncedEntryDel(5).skipL2Learn, 0);
  EXPECT_EQ(rig.table->syncedEntryDel(1).skipL2Learn, 1);
  EXPECT_EQ(rig.pubs.take(), (Strings{"521 1 none", "521 1 200", "521 1 1"}));
  rig.table->syncedEntryIs(2, a);
  rig.table->syncedEntryIs(3, a);
  rig.pubs.take();
  rig.table->syncedEntryDelAll();
  EXPECT_EQ(rig.pubs.take().size(), 2u);
  rig.table->publisher()->observerDel(&rig.pubs);
  rig.table->syncedEntryIs(2, a);
  rig.table->syncedEntryDelAll();
  EXPECT_EQ(rig.table->syncedEntrys(), 0u);
}

// --- Fatal contracts ---

using EngineDeathTest = ::testing::Test;

TEST(EngineDeathTest, FatalAssertionsNameTheirTextFileAndOperation) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  using Table = CorvaneInt::IfaActionProfile;
  using Entry = Table::Entry;
  Entry e1, e2;
  e2.ifaGns = 1;
  EXPECT_DEATH(
      {
        TableRig<Table> rig;
        rig.util->forcedCompare = false;
        rig.table->syncedEntryIs(kInvalid, e1);
        rig.table->entryCommit(kInvalid, e2);
      },
      "entryState != indexReconciled\\(\\)\".*AsicSwTable/SwTableAccessor.*programHwEntry");
  EXPECT_DEATH(
      {
        Orrin::Ptr<Table> table(new Table);
        table->syncEntries();
      },
      "\"hwTable\\(\\)\".*AsicSwTable/SwTableAccessor.*syncEntries");
  EXPECT_DEATH(
      {
        TableRig<Table> rig;
        rig.table->entryCommit(1, e1);
        rig.table->syncEntries();
      },
      "!swTable_->resolvedEntrys\\(\\).*syncEntries");
  EXPECT_DEATH(
      {
        TableRig<Table> rig;
        rig.table->syncedEntryIs(kInvalid, e1);
        rig.table->purgeStaleEntries();
      },
      "!isExhausted\\( hwIndex \\).*handleStaleEntries");
  auto const removeAllWithPendingRows = [&] {
    TableRig<Table> rig;
    rig.table->syncedEntryIs(3, e1);
    rig.table->entryCommit(1, e1);
    rig.table->entryRemoveAll();
  };
  EXPECT_DEATH(removeAllWithPendingRows(), "Should call purgeStaleEntries instead");
  EXPECT_DEATH(removeAllWithPendingRows(),
               "\"false\" == nullptr.*AsicSwTable/SwTableAccessor.*entryRemoveAll");
  EXPECT_DEATH(
      {
        Orrin::Ptr<Table> table(new Table);
        Kiva::StdIterator it(table->syncedEntryColl().begin().generic());
        it.advance();
      },
      "\"iter_\".*Kiva/StdIterator");
}

}  // namespace

namespace {

TEST(EngineRingTrace, EachEngineSiteRecordsTheTableAndTheStep) {
  using Table = CorvaneInt::IfaEpRecircProfile;
  RingTrace::TraceFile& file = RingTrace::openDefault(1 << 16);
  {
    TableRig<Table> rig;
    rig.table->doInitComplete();
    rig.table->entryCommit(3, Table::Entry());
    rig.table->entryRemoveAll();
    rig.table->purgeStaleEntries();
  }
  std::vector<std::string> const text = file.text();
  RingTrace::closeDefault();
  EXPECT_EQ(text, (std::vector<std::string>{
                      "IfaEpRecircProfile: handleEntry",
                      "IfaEpRecircProfile: programHwEntry",
                      "IfaEpRecircProfile: entryRemoveAll",
                      "IfaEpRecircProfile: handleEntry",
                      "IfaEpRecircProfile: syncedEntryRemoveAll",
                  }));
}

TEST(EngineAccounting, DestroyedTablesLeaveNothingBehind) {
  auto const blocks = Pooler::stats().liveBlocks;
  {
    TableRig<CorvaneInt::IfaActionVector> rig;
    for (std::uint32_t k = 0; k < 2000; ++k) {
      CorvaneInt::IfaActionVector::Entry e;
      e.ipProtocol = static_cast<std::uint8_t>(k);
      rig.table->syncedEntryIs(k, e);
      rig.table->entryCommit(k * 2, e);
    }
  }
  EXPECT_EQ(Pooler::stats().liveBlocks, blocks);
  using Table = CorvaneInt::IfaActionVector;
  EXPECT_EQ(IfaRuntime::NodeOps<Table::HN_ResolvedEntry>::tracker.liveObjects(), 0);
  EXPECT_EQ(IfaRuntime::NodeOps<Table::HN_SyncedEntry>::tracker.liveObjects(), 0);
  EXPECT_EQ(Kiva::HashMap2018Generic::bucketHeaderTracker_.liveObjects(), 0);
}

}  // namespace

namespace {

TEST(TableMounting, PassesTheLibrarysTypesAndTheArgumentsUnchanged) {
  using Table = CorvaneInt::IfaPortSwTable;
  using Module = IfaRuntime::TableModule<Table::Declaration>;
  Asic::Framework::hwTableRequestsClear();
  Orrin::Ptr<Statebase::MountGroup> mg(new Statebase::MountGroup("mg"));
  Orrin::Ptr<Asic::HwTableRecoverGroup> rg(new Asic::HwTableRecoverGroup("rg"));
  Orrin::Ptr<Statebase::EntityManager> em(new Statebase::EntityManager("em"));
  Asic::ChipInfo chip;
  chip.unitCount = 2;
  Table::doMountHwTableMountInfo(mg);
  Table::doMountHwTableRecoveryStatus(mg);
  Table::doRecoverHwTable(rg, 1, em, chip);
  auto const requests = Asic::Framework::hwTableRequests();
  ASSERT_EQ(requests.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(requests[i].type.module, &Module::record());
    EXPECT_EQ(requests[i].type.type, i < 2 ? 1u : 3u);
    EXPECT_EQ(requests[i].name, Orrin::String(""));
  }
  EXPECT_EQ(requests[0].mountGroup, mg);
  EXPECT_EQ(requests[2].recoverGroup, rg);
  EXPECT_EQ(requests[2].unitId, 1);
  EXPECT_EQ(requests[2].entityManager, em);
  EXPECT_EQ(requests[2].chipInfo.unitCount, 2);

  Orrin::Ptr<Table> table(new Table);
  EXPECT_EQ(table->typeData().module, &Module::record());
  EXPECT_EQ(table->typeData().type, 3u);
  IfaTest::RecordingUtil<Table> util;
  EXPECT_EQ(util.typeData().type, 1u);
  Asic::Framework::hwTableRequestsClear();
}

}  // namespace
