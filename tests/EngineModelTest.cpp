// Model-based test of one table with its engine: random operations (commits,
// removals, empty values, synced rows, restarts, replay, purge, bulk removal,
// teardown, Util attached or not) are applied to a table and to a small
// reference model of the table, its hardware rows and its statistics. After
// every step the Util call log, both collections, the rows and the
// statistics must agree. Tracker calls are checked one by one in the log; the
// random sequences include direct changes of synced entries that a real
// platform would not make, so they are not applied to a use-counting tracker
// here (the fixed scenarios of the engine tests do that).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "EngineTestSupport.h"

namespace {

using IfaTest::RecordingUtil;
using IfaTest::text;
using Strings = std::vector<std::string>;
constexpr std::uint32_t kInvalid = 0xFFFFFFFFu;
constexpr std::uint32_t kKeys[] = {0, 1, 2, 3, 7, 4095, kInvalid};

template <class Table>
class Harness {
 public:
  using Entry = typename Table::Entry;

  explicit Harness(std::uint64_t seed) : rng_(seed) {
    IfaRuntime::forEachField<Entry>([&](auto const& f) {
      f.set(variants_[1], 1);
      f.set(variants_[2], static_cast<std::uint32_t>(f.kMax));
    });
    util_->applyTracker = false;
    newTable();
  }
  ~Harness() {
    table_->utilIs(nullptr);  // a process that ends does not clean hardware
  }

  void step(int op) {
    std::uint32_t const key = kKeys[rng_() % std::size(kKeys)];
    Entry const entry = variants_[rng_() % 3];
    switch (op) {
      case 0:
      case 1:
      case 2:
        commit(key, entry);
        break;
      case 3:
      case 4:
        remove(key);
        break;
      case 5:
        setEmpty(key);
        break;
      case 6:
        if (key != kInvalid) syncedSet(key, entry);
        break;
      case 7:
        syncedDel(key);
        break;
      case 8:
        restart();
        break;
      case 9:
        autoCommit();
        break;
      case 10:
        doInitComplete();
        break;
      case 11:
        purge();
        break;
      case 12:
        removeAll();
        break;
      case 13:
        cleanupAndRestart();
        break;
      // A Util is only attached again with a new table (a restart): the
      // hardware table's tracker does not follow changes made without one.
      case 14:
        utilAttached_ ? utilAttachedIs(false) : restart();
        break;
    }
  }

  void check(std::string const& where) {
    SCOPED_TRACE(where);
    Strings actual = util_->take();
    if (unordered_) {
      std::sort(actual.begin(), actual.end());
      std::sort(expected_.begin(), expected_.end());
    }
    ASSERT_EQ(actual, expected_);
    expected_.clear();
    unordered_ = false;
    ASSERT_EQ(table_->resolvedEntrys(), resolved_.size());
    for (auto const& [k, v] : resolved_) {
      ASSERT_TRUE(table_->entryHas(k)) << k;
      ASSERT_EQ(table_->resolvedEntry(k),
                v.has_value() ? Kiva::Optional<Entry>(*v) : Kiva::Optional<Entry>())
          << k;
    }
    ASSERT_EQ(table_->syncedEntrys(), synced_.size());
    for (auto const& [k, v] : synced_) ASSERT_TRUE(table_->syncedEntryGet(k) == v) << k;
    ASSERT_EQ(util_->rows.size(), rows_.size());
    for (auto const& [k, v] : rows_) ASSERT_TRUE(util_->rows.at(k) == v) << k;
    auto const s = table_->statistics();
    ASSERT_EQ((std::vector<std::uint32_t>{s.entryMatched, s.entryMismatched, s.entryMissing,
                                          s.entryStale}),
              (std::vector<std::uint32_t>(stats_ + 1, stats_ + 5)));
  }

 private:
  enum Status { none, matched, mismatched, missing, stale };

  std::uint8_t state(std::uint32_t k) const {
    auto it = resolved_.find(k);
    return it == resolved_.end() ? 0 : (it->second.has_value() ? 2 : 1);
  }
  std::string key(std::uint32_t k) const { return std::to_string(k); }

  // --- What the engine must do, told from the rules of the tables ---

  void expectWrite(std::uint32_t k, bool reconciled) {
    if (!utilAttached_ || k == kInvalid) return;
    std::optional<Entry> const& v = resolved_.at(k);
    if (!reconciled) {
      if (v.has_value() && prev_ == 0) expected_.push_back("tracker " + key(k) + " 0");
      if (v.has_value() && prev_ == 1) expected_.push_back("tracker " + key(k) + " 1");
      if (!v.has_value() && prev_ == 2) expected_.push_back("tracker " + key(k) + " 3");
    }
    expected_.push_back("write " + key(k) + " " + (v.has_value() ? text(*v) : "-"));
    rows_[k] = v.value_or(Entry());
  }
  void expectDelete(std::uint32_t k, bool staleRow) {
    if (staleRow || prev_ == 2) expected_.push_back("tracker " + key(k) + " 2");
    if (!staleRow && prev_ == 1) expected_.push_back("tracker " + key(k) + " 4");
    expected_.push_back("del " + key(k));
    rows_.erase(k);
  }
  // The engine's reaction to a change of resolved key k.
  void expectHandle(std::uint32_t k) {
    if (resolved_.count(k) == 0) {
      if (!utilAttached_ || k == kInvalid) return;
      expectDelete(k, false);
      if (!complete_) ++stats_[stale];
      return;
    }
    if (complete_) {
      expectWrite(k, false);
      return;
    }
    Status status = missing;
    if (synced_.count(k) != 0 && utilAttached_) {
      Entry const resolved = resolved_.at(k).value_or(Entry());
      expected_.push_back("compare " + key(k) + " " + text(resolved));
      status = synced_.at(k) == resolved ? matched : mismatched;
    }
    if (status == matched) synced_.erase(k);
    if (status == mismatched) {
      expectWrite(k, true);
      synced_.erase(k);
    }
    if (status == missing) expectWrite(k, false);
    ++stats_[status];
  }

  void setResolved(std::uint32_t k, std::optional<Entry> v) {
    auto it = resolved_.find(k);
    if (it != resolved_.end()) {
      if (!it->second.has_value() && !v.has_value()) return;
      if (it->second.has_value() && v.has_value() && *it->second == *v) return;
    }
    resolved_[k] = v;
    expectHandle(k);
  }

  // --- Operations, applied to the table and to the model ---

  void commit(std::uint32_t k, Entry const& e) {
    prev_ = state(k);
    setResolved(k, e);
    table_->entryCommit(k, e);
  }
  void remove(std::uint32_t k) {
    prev_ = state(k);
    if (resolved_.erase(k) != 0) expectHandle(k);
    table_->entryRemove(k);
  }
  void setEmpty(std::uint32_t k) {
    // A direct change: the tracker update follows from the state the last
    // recording operation left, whichever key that was.
    setResolved(k, std::nullopt);
    table_->resolvedEntryIs(k, Kiva::Optional<Entry>());
  }
  void syncedSet(std::uint32_t k, Entry const& e) {
    synced_[k] = e;
    table_->syncedEntryIs(k, e);
  }
  void syncedDel(std::uint32_t k) {
    synced_.erase(k);
    table_->syncedEntryDel(k);
  }
  void autoCommit() {
    unordered_ = true;
    // The walk goes in the synced collection's order and records each key's
    // state before adopting its row: the last key's is what stays.
    std::optional<std::uint32_t> last;
    for (auto it = table_->syncedEntryColl().begin(); !it.atEnd(); it.advance())
      last = it.node()->key.value;
    std::uint8_t const lastState = last ? state(*last) : prev_;
    if (!complete_) {
      for (auto const& [k, e] : std::map<std::uint32_t, Entry>(synced_)) {
        prev_ = state(k);
        setResolved(k, e);
      }
    }
    table_->autoCommitSyncedEntries();
    if (!complete_) prev_ = lastState;
  }
  void doInitComplete() {
    complete_ = true;
    table_->doInitComplete();
  }
  void purge() {
    unordered_ = true;
    if (utilAttached_ && !synced_.empty()) {
      prev_ = 0;
      for (auto const& [k, e] : synced_) {
        if (resolved_.count(k) != 0) continue;
        expectDelete(k, true);
        ++stats_[stale];
      }
      synced_.clear();
    }
    table_->purgeStaleEntries();
  }
  void removeAll() {
    if (utilAttached_ && !synced_.empty()) return;  // a broken contract: stops the process
    unordered_ = true;
    prev_ = 2;
    auto const keys = resolved_;
    resolved_.clear();
    for (auto const& [k, v] : keys) expectHandle(k);
    table_->entryRemoveAll();
  }
  void cleanupAndRestart() {
    unordered_ = true;
    auto const keys = resolved_;
    resolved_.clear();
    for (auto const& [k, v] : keys) {
      prev_ = v.has_value() ? 2 : 1;
      expectHandle(k);
    }
    table_->cleanup();
    check("cleanup");
    restart();
  }
  void utilAttachedIs(bool attached) {
    utilAttached_ = attached;
    table_->utilIs(attached ? Orrin::Ptr<Asic::SwTable::Util>(util_.get())
                            : Orrin::Ptr<Asic::SwTable::Util>());
  }
  // The agent restarts: the old table is lost without clean-up, a new one
  // reads the surviving rows back.
  void restart() {
    table_->utilIs(nullptr);
    newTable();
    if (!utilAttached_) utilAttachedIs(true);
    resolved_.clear();
    synced_ = rows_;
    std::fill(std::begin(stats_), std::end(stats_), 0u);
    complete_ = false;
    expected_.push_back("sync");
    table_->syncEntries();
  }
  void newTable() {
    table_ = Orrin::Ptr<Table>(new Table);
    prev_ = 0;  // a new table records no state yet
    hw_ = Orrin::Ptr<Asic::HwTable>(new Asic::HwTable(Orrin::String("hw"), 0, 4095, 1));
    table_->hwTableIs(hw_);
    table_->utilIs(Orrin::Ptr<Asic::SwTable::Util>(util_.get()));
    utilAttached_ = true;
  }

  std::mt19937_64 rng_;
  Entry variants_[3];
  Orrin::Ptr<RecordingUtil<Table>> util_{new RecordingUtil<Table>};
  Orrin::Ptr<Table> table_;
  Orrin::Ptr<Asic::HwTable> hw_;

  std::map<std::uint32_t, std::optional<Entry>> resolved_;
  std::map<std::uint32_t, Entry> synced_;
  std::map<std::uint32_t, Entry> rows_;
  std::uint32_t stats_[5] = {};
  std::uint8_t prev_ = 0;
  bool complete_ = false;
  bool utilAttached_ = true;
  Strings expected_;
  bool unordered_ = false;
};

template <class Table>
void runModel(int steps) {
  std::uint64_t seed = 20261205;
  if (char const* s = std::getenv("IFA_MODEL_SEED")) seed = std::strtoull(s, nullptr, 10);
  SCOPED_TRACE("seed " + std::to_string(seed) + " (set IFA_MODEL_SEED to repeat)");
  Harness<Table> h(seed);
  std::mt19937_64 ops(seed ^ 0x5DEECE66Dull);
  for (int i = 0; i < steps; ++i) {
    int const op = static_cast<int>(ops() % 15);
    h.step(op);
    h.check("step " + std::to_string(i) + ", operation " + std::to_string(op));
    if (::testing::Test::HasFatalFailure()) return;
  }
}

TEST(EngineModel, NamedListTableFollowsTheModel) {
  runModel<CorvaneInt::IfaActionProfile>(40000);
}
TEST(EngineModel, BareValueTableFollowsTheModel) {
  runModel<CorvaneInt::IfaSwitchId>(40000);
}
TEST(EngineModel, FieldlessTableFollowsTheModel) {
  runModel<CorvaneInt::IfaMetadataSelectProfile>(30000);
}

}  // namespace
