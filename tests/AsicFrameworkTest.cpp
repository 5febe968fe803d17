// The hardware-table framework stand-in: index-use tracking against a
// reference model, tracker deletion, the software-table base (statistics,
// Util holder, hardware table, entry handles), the Util destructor's flag,
// printers and fatal assertions with a message.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Asic/HwTable.h"
#include "Asic/SwTable.h"
#include "Asic/Types.h"
#include "Kiva/Assert.h"
#include "KivaOrrin/ValueToStrep.h"
#include "Orrin/Ptr.h"

namespace {

using Asic::HwTable;
using Asic::IndexUserTracker;
using OpType = Asic::IndexUserTracker::OpType;
using Status = Asic::SwTable::ReconciliationStatus;
using EntryState = Asic::SwTableBase::EntryState;

template <class T>
std::string printed(T const& value) {
  std::ostringstream os;
  os << value;
  return os.str();
}

// Escapes `text` for use as a death-test pattern matching it literally.
std::string literal(std::string const& text) {
  std::string out;
  for (char c : text) {
    if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  return out;
}

// ---------------------------------------------------------------------------
// IndexUserTracker against a reference model
// ---------------------------------------------------------------------------

// What a tracker should hold: uses per index and its counters.
struct TrackerModel {
  TrackerModel(Asic::Index min, Asic::Index max, std::uint32_t maxUsesPerIndex)
      : minIndex(min), maxIndex(max), maxUses(maxUsesPerIndex) {}

  Asic::Index minIndex;
  Asic::Index maxIndex;
  std::uint32_t maxUses;
  std::map<Asic::Index, std::uint32_t> uses;
  std::set<Asic::Index> unclaimed;  // in use by a recovered row only
  std::uint64_t opCounts[IndexUserTracker::kOpTypes] = {};
  std::uint64_t idleReleases = 0;
  std::uint64_t recoveries = 0;
  std::uint64_t refusals = 0;

  std::uint32_t usesOf(Asic::Index i) const {
    auto it = uses.find(i);
    return it == uses.end() ? 0 : it->second;
  }
  void set(Asic::Index i, std::uint32_t n) {
    if (n == 0) {
      uses.erase(i);
    } else {
      uses[i] = n;
    }
  }
  bool inRange(Asic::Index i) const { return i >= minIndex && i <= maxIndex; }

  // Applies one update; false when the tracker must refuse it.
  bool update(Asic::Index i, unsigned op) {
    std::uint32_t const u = usesOf(i);
    bool ok = op < IndexUserTracker::kOpTypes && inRange(i);
    if (ok) {
      switch (op) {
        case 0:
        case 1:
          if (unclaimed.erase(i) != 0) break;
          ok = u < maxUses;
          if (ok) set(i, u + 1);
          break;
        case 2:
          unclaimed.erase(i);
          if (u == 0) {
            ++idleReleases;
          } else {
            set(i, u - 1);
          }
          break;
        case 3:
          ok = u > 0;
          if (ok) {
            unclaimed.erase(i);
            set(i, u - 1);
          }
          break;
        case 4:
          if (unclaimed.erase(i) != 0) {
            set(i, 0);
          } else {
            ok = u == 0;
          }
          break;
      }
    }
    if (ok) {
      ++opCounts[op];
    } else {
      ++refusals;
    }
    return ok;
  }

  bool recover(Asic::Index i) {
    if (!inRange(i)) {
      ++refusals;
      return false;
    }
    if (usesOf(i) == 0) {
      set(i, 1);
      unclaimed.insert(i);
    }
    ++recoveries;
    return true;
  }
};

void expectSameState(IndexUserTracker const& tracker, TrackerModel const& model) {
  for (Asic::Index i = 0; i <= model.maxIndex + 2; ++i) {
    ASSERT_EQ(tracker.uses(i), model.usesOf(i)) << "index " << i;
  }
  ASSERT_EQ(tracker.indicesInUse(), model.uses.size());
  std::vector<Asic::Index> expectedIndices;
  for (auto const& [index, count] : model.uses) expectedIndices.push_back(index);
  ASSERT_EQ(tracker.indices(), expectedIndices);
  for (unsigned op = 0; op < IndexUserTracker::kOpTypes; ++op) {
    ASSERT_EQ(tracker.opCount(static_cast<OpType>(op)), model.opCounts[op]) << "op " << op;
  }
  ASSERT_EQ(tracker.idleReleases(), model.idleReleases);
  ASSERT_EQ(tracker.recoveries(), model.recoveries);
  ASSERT_EQ(tracker.refusals(), model.refusals);
}

TEST(IndexUserTracker, RandomUpdatesFollowTheModel) {
  for (std::uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::uint32_t const maxUses = 1 + seed % 3;
    TrackerModel model(2, 9, maxUses);
    Orrin::Ptr<HwTable> hw(new HwTable("TrackedTable", 2, 9, maxUses));
    IndexUserTracker& tracker = *hw->indexUserTracker();
    ASSERT_EQ(tracker.maxUsesPerIndex(), maxUses);

    for (int step = 0; step < 1500; ++step) {
      // Indices 0 to 11 reach past both ends of the range; op 5 is unknown;
      // op 6 stands for a recovery at read-back.
      auto const index = static_cast<Asic::Index>(rng() % 12);
      unsigned const op = rng() % 7;
      std::uint32_t const usesBefore = model.usesOf(index);
      bool expectedOk = false;
      std::optional<IndexUserTracker::Error> error;
      try {
        if (op == 6) {
          expectedOk = model.recover(index);
          tracker.recover(index);
        } else {
          expectedOk = model.update(index, op);
          tracker.update(index, static_cast<OpType>(op));
        }
      } catch (IndexUserTracker::Error const& e) {
        error = e;
      }
      ASSERT_EQ(!error.has_value(), expectedOk)
          << "step " << step << ": op " << op << " at index " << index << " with " << usesBefore
          << " uses" << (error ? std::string(": ") + error->what() : std::string());
      if (error) {
        EXPECT_EQ(error->hwTable(), "TrackedTable");
        EXPECT_EQ(error->index(), index);
        EXPECT_EQ(error->uses(), usesBefore);
        EXPECT_EQ(error->operation(),
                  op == 6 ? std::string("recover")
                          : printed(static_cast<OpType>(op)) + " (" + std::to_string(op) + ")");
      }
      ASSERT_NO_FATAL_FAILURE(expectSameState(tracker, model)) << "after step " << step;
    }
  }
}

TEST(IndexUserTracker, RefusalsNameTableIndexOperationAndUses) {
  Orrin::Ptr<HwTable> hw(new HwTable("IfaPort", 0, 15, 1));
  IndexUserTracker& t = *hw->indexUserTracker();
  t.update(4, OpType::acquire);
  try {
    t.update(4, OpType::acquireForValue);
    FAIL() << "acquire beyond the maximum accepted";
  } catch (IndexUserTracker::Error const& e) {
    EXPECT_STREQ(e.what(),
                 "HwTable \"IfaPort\": acquireForValue (1) at index 4 refused: index at its "
                 "maximum of 1 uses (index has 1 uses)");
  }
  try {
    t.update(4, OpType::releaseValueless);
    FAIL() << "valueless release of an index in use accepted";
  } catch (IndexUserTracker::Error const& e) {
    EXPECT_STREQ(e.what(),
                 "HwTable \"IfaPort\": releaseValueless (4) at index 4 refused: index in use "
                 "(index has 1 uses)");
  }
  try {
    t.update(5, OpType::releaseValue);
    FAIL() << "value release at 0 uses accepted";
  } catch (IndexUserTracker::Error const& e) {
    EXPECT_STREQ(e.what(),
                 "HwTable \"IfaPort\": releaseValue (3) at index 5 refused: no use to release "
                 "(index has 0 uses)");
  }
  try {
    t.recover(16);
    FAIL() << "recovery outside the range accepted";
  } catch (IndexUserTracker::Error const& e) {
    EXPECT_STREQ(e.what(),
                 "HwTable \"IfaPort\": recover at index 16 refused: index outside the table's "
                 "range [0, 15] (index has 0 uses)");
  }
  EXPECT_EQ(t.uses(4), 1u);
  EXPECT_EQ(t.refusals(), 4u);
}

// ---------------------------------------------------------------------------
// Tracker deletion and the framework's entry points
// ---------------------------------------------------------------------------

// A deleted tracker refuses later updates; a strict deletion keeps a tracker
// whose indices are in use; every deletion is recorded with its outcome.
TEST(IndexUserTrackerStub, DeletionRemovesTheTrackerUnlessStrictAndInUse) {
  Orrin::Ptr<HwTable> hw(new HwTable("IfaSwitchId", 0, 3, 1));
  IndexUserTracker* secondary = IndexUserTracker::Stub::createTracker(hw.get(), 5, 2);
  secondary->update(1, OpType::acquire);
  EXPECT_THROW(IndexUserTracker::Stub::deleteTracker(hw.get(), 5, true), IndexUserTracker::Error);
  EXPECT_EQ(hw->indexUserTracker(5), secondary);
  EXPECT_TRUE(IndexUserTracker::Stub::deleteTracker(hw.get(), 5, false));
  EXPECT_TRUE(IndexUserTracker::Stub::deleteTracker(hw.get(), 0, true));  // idle: goes
  EXPECT_FALSE(IndexUserTracker::Stub::deleteTracker(hw.get(), 0, false));
  EXPECT_FALSE(IndexUserTracker::Stub::deleteTracker(nullptr, 0, false));
  EXPECT_EQ(hw->indexUserTracker(0), nullptr);
  std::vector<HwTable::TrackerDeletion> const expected{
      {5, true, false}, {5, false, true}, {0, true, true}, {0, false, false}};
  EXPECT_EQ(hw->trackerDeletions(), expected);
  try {
    IndexUserTracker::Stub::update(hw.get(), 0, 2, OpType::release);
    FAIL() << "update of a deleted tracker accepted";
  } catch (IndexUserTracker::Error const& e) {
    EXPECT_STREQ(e.what(),
                 "HwTable \"IfaSwitchId\": release (2) at index 2 refused: no index user tracker "
                 "0 (index has 0 uses)");
  }
}

// ---------------------------------------------------------------------------
// Software-table base
// ---------------------------------------------------------------------------

TEST(SwTable, StatisticsCountEachOutcomeAndPrintInTheRuntimeSyntax) {
  Orrin::Ptr<Asic::SwKnownIndexTable> table(new Asic::SwKnownIndexTable(""));
  for (Status s : {Status::entryMatched, Status::entryMissing, Status::none, Status::entryMatched,
                   Status::entryMismatched, Status::entryMissing, Status::entryMatched,
                   static_cast<Status>(9)}) {
    table->updateStatistic(s);
  }
  Asic::SwTable::ReconciliationStatistics const expected{3, 1, 2, 0};
  EXPECT_EQ(table->statistics(), expected);
  EXPECT_EQ(KivaOrrin::Impl::valueToStrep(table->statistics()).str(),
            "Asic::SwTable::ReconciliationStatistics(entryMatched=3, entryMismatched=1, "
            "entryMissing=2, entryStale=0)");
  table->updateStatistic(Status::entryStale);
  EXPECT_EQ(table->statistics().entryStale, 1u);
  table->statisticsReset();
  EXPECT_EQ(table->statistics(), Asic::SwTable::ReconciliationStatistics{});
}

struct PlainUtil : Asic::SwTable::Util {
  explicit PlainUtil(Orrin::String const& name) : Asic::SwTable::Util(name) {}
};

TEST(SwTable, UtilHolderIsEmptyUntilSet) {
  Orrin::Ptr<Asic::SwKnownIndexTable> table(new Asic::SwKnownIndexTable(""));
  EXPECT_TRUE(table->utilHolderEmpty());
  EXPECT_EQ(table->util(), nullptr);

  Orrin::Ptr<Asic::SwTable::Util> util(new PlainUtil("ChipUtil"));
  table->utilIs(util);
  EXPECT_FALSE(table->utilHolderEmpty());
  EXPECT_EQ(table->util(), util.get());
  EXPECT_EQ(table->utilHolder(), util);
  EXPECT_EQ(util->useCount(), 2u);  // the table holds a use

  table->utilIs({});
  EXPECT_TRUE(table->utilHolderEmpty());
  EXPECT_EQ(util->useCount(), 1u);
}

TEST(SwTable, CreatedHardwareTablesTrackByTheTableKind) {
  Orrin::Ptr<Asic::SwKnownIndexTable> known(new Asic::SwKnownIndexTable(""));
  known->doCreateHwTable("IFA_ACTION_PROFILE", 1, 31);
  HwTable* hw = known->hwTable();
  ASSERT_NE(hw, nullptr);
  EXPECT_EQ(hw->name().str(), "IFA_ACTION_PROFILE");
  EXPECT_EQ(hw->minIndex(), 1u);
  EXPECT_EQ(hw->maxIndex(), 31u);
  ASSERT_NE(hw->indexUserTracker(), nullptr);
  EXPECT_EQ(hw->indexUserTracker()->maxUsesPerIndex(), 1u);

  Orrin::Ptr<Asic::SwTable> shared(new Asic::SwTable("shared"));
  shared->doCreateHwTable("SHARED", 0, 7);
  EXPECT_EQ(shared->hwTable()->indexUserTracker()->maxUsesPerIndex(),
            IndexUserTracker::kUnlimitedUses);

  // The framework may set a hardware table of its own.
  Orrin::Ptr<HwTable> other(new HwTable("OTHER", 0, 3, 1));
  known->hwTableIs(other);
  EXPECT_EQ(known->hwTable(), other.get());
}

TEST(SwTable, EntryHandlesRoundTripTheHardwareIndex) {
  Orrin::Ptr<Asic::SwKnownIndexTable> table(new Asic::SwKnownIndexTable(""));
  for (std::uint32_t key : {0u, 1u, 4095u, 0xFFFFFFFEu}) {
    Orrin::Ptr<Asic::SwTableBase::EntryHandle const> handle = table->getEntryHandle(key);
    ASSERT_TRUE(handle);
    EXPECT_EQ(Asic::SwTableBase::getHwEntryIndex(handle), key);
  }
  Orrin::Ptr<Asic::SwTableBase::EntryHandle const> none =
      table->getEntryHandle(Asic::SwTableBase::Index::kInvalid);
  EXPECT_FALSE(none);
  EXPECT_EQ(Asic::SwTableBase::getHwEntryIndex(none), 0xFFFFFFFFu);
}

// ---------------------------------------------------------------------------
// Utils
// ---------------------------------------------------------------------------

// A Util that marks itself with an extra node flag and leaves the live flag
// to the base destructor.
struct FlaggedUtil : Asic::SwTable::Util {
  static constexpr std::uint32_t kMark = 0x1;
  explicit FlaggedUtil(Orrin::String const& name) : Asic::SwTable::Util(name) {
    nodeFlagSet(kMark, true);
  }
};

TEST(SwTableUtil, DestructorClearsTheLiveFlagFirst) {
  Asic::Framework::utilReleasesClear();
  {
    Orrin::Ptr<FlaggedUtil> util(new FlaggedUtil("FlagProbe"));
    EXPECT_TRUE(util->nodeFlag(Orrin::Node::kLiveFlag));
    EXPECT_TRUE(util->nodeFlag(FlaggedUtil::kMark));
    EXPECT_TRUE(Asic::Framework::utilReleases().empty());
  }
  std::vector<Asic::Framework::UtilRelease> const releases = Asic::Framework::utilReleases();
  ASSERT_EQ(releases.size(), 1u);
  EXPECT_EQ(releases[0].name.str(), "FlagProbe");
  EXPECT_EQ(releases[0].nodeFlags & Orrin::Node::kLiveFlag, 0u);
  EXPECT_EQ(releases[0].nodeFlags & FlaggedUtil::kMark, FlaggedUtil::kMark);
}

// ---------------------------------------------------------------------------
// Printers and fatal assertions
// ---------------------------------------------------------------------------

TEST(AsicPrinters, NamesAndUnknownValuesAsNumbers) {
  static_assert(Asic::SwTableBase::indexAcquired == 1 && Asic::SwTableBase::indexReconciled == 2);
  EXPECT_EQ(printed(EntryState::indexAcquired), "indexAcquired");
  EXPECT_EQ(printed(Asic::SwTableBase::indexReconciled), "indexReconciled");
  EXPECT_EQ(printed(EntryState::indexReconciled), "indexReconciled");
  EXPECT_EQ(printed(static_cast<EntryState>(0)), "0");
  EXPECT_EQ(printed(static_cast<EntryState>(7)), "7");

  EXPECT_EQ(printed(Status::none), "none");
  EXPECT_EQ(printed(Status::entryMatched), "entryMatched");
  EXPECT_EQ(printed(Status::entryMismatched), "entryMismatched");
  EXPECT_EQ(printed(Status::entryMissing), "entryMissing");
  EXPECT_EQ(printed(Status::entryStale), "entryStale");
  EXPECT_EQ(printed(static_cast<Status>(5)), "5");

  EXPECT_EQ(printed(OpType::acquire), "acquire");
  EXPECT_EQ(printed(OpType::releaseValueless), "releaseValueless");
  EXPECT_EQ(printed(static_cast<OpType>(200)), "200");
}

TEST(KivaAssertDeathTest, MessageAssertionsReportTheMessage) {
  EXPECT_DEATH(
      Kiva::assertFailedMsg("\"false\" == nullptr", "Stop here", "Widget/Frob", 42, "Widget::frob"),
      literal("assertion \"\"false\" == nullptr\" failed: file \"Widget/Frob\", line 42, "
              "function Widget::frob: Stop here\n"));
  EXPECT_DEATH(
      KIVA_ASSERT_MSG_AT(1 + 1 == 3, "1 + 1 == 3", "arithmetic", "Widget/Frob", 7, "Widget::add"),
      literal("assertion \"1 + 1 == 3\" failed: file \"Widget/Frob\", line 7, "
              "function Widget::add: arithmetic\n"));
}

}  // namespace
