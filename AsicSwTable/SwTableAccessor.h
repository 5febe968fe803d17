// Asic::SwTable::Accessor<T>: the software-table engine, generic over the
// table type and instantiated once per table.
//
// An accessor lives for one call of a table operation and holds only the
// table. It turns each change of a resolved entry into hardware work through
// the table's Util: a row write or delete, preceded by the tracker update the
// key's previous resolved-entry state implies. While the configuration replay
// after a restart is not complete, it reconciles each change with the row read
// back from hardware (the synced entry) and counts the outcomes; at the end it
// purges the rows no replayed key claimed.
//
// Choices where the framework leaves the engine free:
//  - Tracker updates with no defined operation make no tracker call: a write
//    of an empty value when the previous resolved-entry state is 0 or 1 (the
//    key holds no value, so no use changes), and a delete with the
//    index-reconciled flag clear when the state is 0 (the removed node's value
//    is unknown; a wrong guess would corrupt the use count, and the tracker
//    reports any resulting inconsistency on the next update of the index).
//  - A reconciled change of a key that has a synced entry while no Util is
//    attached cannot compare the row: it is counted as entryMissing, nothing
//    is written, and the synced entry stays so that a later purge with a Util
//    still sees the row.
#pragma once

#include <cstdint>

#include "Asic/SwTable.h"
#include "Kiva/Assert.h"
#include "Kiva/Optional.h"
#include "Kiva/StdIterator.h"
#include "Kiva/Trace.h"
#include "KivaOrrin/ValueToStrep.h"
#include "Orrin/Ptr.h"
#include "RingTrace/RingTrace.h"

// Source file named by the engine's traces and fatal assertions.
#define IFA_ENGINE_SOURCE "AsicSwTable/SwTableAccessor"

#define IFA_ENGINE_ASSERT(cond, text, function) \
  KIVA_ASSERT_AT(cond, text, IFA_ENGINE_SOURCE, __LINE__, function)

// The binary message "{}: {}" (table, step) of the site `step`, with its own
// message id. While the process has no default RingTrace handle this costs a
// load and a test.
#define IFA_ENGINE_RINGTRACE(step)                                                             \
  do {                                                                                         \
    static int msgId = 0;                                                                      \
    if (::RingTrace::defaultRingTraceHandle != nullptr)                                        \
      ::RingTrace::record(msgId, IFA_ENGINE_SOURCE, __LINE__, step, "{}: {}", T::kName, step); \
  } while (false)

// A text-trace line of `step` on the table's handle at `level`, begun with
// the table name and the step; built only while the level is enabled (a
// load and a test of the handle the accessor holds).
#define IFA_ENGINE_TRACE(level, step) \
  KIVA_TRACE_AT(trace_, level, IFA_ENGINE_SOURCE, step) << T::kQualifiedName << " : " << step

namespace Asic {

template <class T>
class SwTable::Accessor {
 public:
  using Index = SwTableBase::Index;
  using Entry = typename T::Entry;
  using Util = typename T::Util;
  using OpType = IndexUserTracker::OpType;
  using ResolvedEntryState = SwTable::ResolvedEntryState;

  using ResolvedNode = typename T::HN_ResolvedEntry;
  using SyncedNode = typename T::HN_SyncedEntry;
  using SyncedAt = typename T::SyncedEntryColl::Located;

  // Every engine operation starts here, so the table's trace handle is made
  // on the first of them.
  explicit Accessor(T* swTable) : swTable_(swTable), trace_(traceHandle()) {}

  // The table's text-trace handle, named after the table, made on first use.
  [[gnu::always_inline]] static Kiva::TraceHandle& traceHandle() {
    static Kiva::TraceHandle handle(T::kQualifiedName, false);
    return handle;
  }

  // --- Hardware programming path ---
  //
  // Each public step looks up what it needs. The table's own operations call
  // the *At forms with the key's resolved node as their one lookup found it
  // and with the Util from the one utilIfExists of the change, so that a
  // change looks its key up once and holds one use reference on the Util.

  void handleEntry(Index const& key) { handleEntryAt(key, swTable_->resolvedEntryColl()[key]); }

  // handleEntry with the key's resolved node (null when the key has none).
  void handleEntryAt(Index const& key, ResolvedNode const* node) {
    IFA_ENGINE_RINGTRACE("handleEntry");
    bool const replayComplete = swTable_->configReplayComplete();
    IFA_ENGINE_TRACE(8, "handleEntry")
        << " key: " << key << ", configReplayComplete: " << replayComplete;
    Util const* util = utilIfExists();
    if (node != nullptr) {
      if (replayComplete) {
        programHwEntryAt(key, SwTableBase::EntryState::indexAcquired, util, node);
        return;
      }
      // The Util sees the table as const: nothing below changes the synced
      // entries before the one found here is removed.
      SyncedAt const synced = swTable_->syncedEntryColl().locate(key);
      ReconciliationStatus const status = reconcileAt(key, util, node, synced.node);
      IFA_ENGINE_TRACE(8, "handleEntry") << ": reconcileStatus: " << status;
      switch (status) {
        case ReconciliationStatus::none:
          return;
        case ReconciliationStatus::entryMatched:
          swTable_->syncedEntryDelAt(synced);
          break;
        case ReconciliationStatus::entryMismatched:
          programHwEntryAt(key, SwTableBase::EntryState::indexReconciled, util, node);
          swTable_->syncedEntryDelAt(synced);
          break;
        case ReconciliationStatus::entryMissing:
          programHwEntryAt(key, SwTableBase::EntryState::indexAcquired, util, node);
          break;
        default:
          IFA_ENGINE_ASSERT(false, "false", "handleEntry");
      }
      swTable_->indexReconciled_ = 0;
      swTable_->updateStatistic(status);
      return;
    }
    // No resolved node: the key was just removed, its row goes.
    IFA_ENGINE_TRACE(8, "traceHwIndex") << " Acquired hwIndex : " << key;
    if (util == nullptr) return;
    if (key.isExhausted()) {
      IFA_ENGINE_TRACE(8, "handleEntry") << "No entry in HwTable for this key. Skip delete";
      return;
    }
    hwTableEntryDel(util, key, Kiva::Optional<Asic::Index>());
    if (!replayComplete) swTable_->updateStatistic(ReconciliationStatus::entryStale);
  }

  void programHwEntry(Index const& key, SwTableBase::EntryState entryState) {
    programHwEntryAt(key, entryState, utilIfExists(), swTable_->resolvedEntryColl()[key]);
  }

  [[gnu::always_inline]] void programHwEntryAt(Index const& key, SwTableBase::EntryState entryState,
                                               Util const* util, ResolvedNode const* node) {
    IFA_ENGINE_RINGTRACE("programHwEntry");
    IFA_ENGINE_TRACE(8, "programHwEntry") << " key: " << key << ", entryState:" << entryState;
    IFA_ENGINE_TRACE(8, "traceHwIndex") << " Acquired hwIndex : " << key;
    if (util == nullptr) return;
    if (key.isExhausted()) {
      IFA_ENGINE_ASSERT(entryState != SwTableBase::EntryState::indexReconciled,
                        "entryState != indexReconciled()", "programHwEntry");
      return;
    }
    if (entryState == SwTableBase::EntryState::indexReconciled) {
      IndexReconciledScope const reconciled(swTable_);
      hwTableEntryIsAt(util, key, node);
      return;
    }
    swTable_->indexReconciled_ = 0;
    hwTableEntryIsAt(util, key, node);
  }

  void hwTableEntryIs(Util const* util, Index const& key, Kiva::Optional<Asic::Index> const&) {
    hwTableEntryIsAt(util, key, swTable_->resolvedEntryColl()[key]);
  }

  // The row write of `key` from its resolved node's value (an empty value
  // without a node). The Util reads the value where the node holds it.
  [[gnu::always_inline]] void hwTableEntryIsAt(Util const* util, Index const& key,
                                               ResolvedNode const* node) {
    IFA_ENGINE_TRACE(8, "hwTableEntryIs") << " : key: " << key;
    bool const hasValue = node != nullptr && node->value.hasValue();
    if (!swTable_->indexReconciled_) {
      ResolvedEntryState const previous = swTable_->prevResolvedEntryState_;
      if (hasValue) {
        if (previous == ResolvedEntryState::none) tracker(util, key, OpType::acquire);
        if (previous == ResolvedEntryState::withoutValue)
          tracker(util, key, OpType::acquireForValue);
      } else if (previous == ResolvedEntryState::withValue) {
        tracker(util, key, OpType::releaseValue);
      }
    }
    if (node != nullptr) {
      util->hwTableEntryIs(swTable_, key, node->value);
    } else {
      util->hwTableEntryIs(swTable_, key, Kiva::Optional<Entry>());
    }
  }

  [[gnu::always_inline]] void hwTableEntryDel(Util const* util, Index const& key,
                                              Kiva::Optional<Asic::Index> const&) {
    IFA_ENGINE_TRACE(8, "hwTableEntryDel") << ": Deleting entry at key:" << key;
    if (swTable_->indexReconciled_) {
      tracker(util, key, OpType::release);
    } else if (swTable_->prevResolvedEntryState_ == ResolvedEntryState::withoutValue) {
      tracker(util, key, OpType::releaseValueless);
    } else if (swTable_->prevResolvedEntryState_ == ResolvedEntryState::withValue) {
      tracker(util, key, OpType::release);
    }
    util->hwTableEntryDel(swTable_, key);
  }

  // Records the key's previous resolved-entry state and removes the key; the
  // table reads the state from the node it removes, in the same lookup.
  void deleteResolvedEntry(Index const& key) { swTable_->resolvedEntryRemove(key, true); }

  [[gnu::always_inline]] Util const* utilIfExists() const {
    if (swTable_->utilHolderEmpty()) return nullptr;
    Orrin::Ptr<SwTable::Util> const hold = swTable_->utilHolder();
    return swTable_->util();
  }

  // --- Restart reconciliation ---

  void syncEntries() {
    IFA_ENGINE_TRACE(6, "syncEntries") << ": swTableInstPtr:" << static_cast<void const*>(swTable_);
    IFA_ENGINE_ASSERT(swTable_->hwTable() != nullptr, "hwTable()", "syncEntries");
    IFA_ENGINE_ASSERT(!swTable_->resolvedEntrys(), "!swTable_->resolvedEntrys()", "syncEntries");
    if (Util const* util = utilIfExists()) {
      util->syncEntries(swTable_->hwTable(), Orrin::Ptr<T>(swTable_));
    }
  }

  ReconciliationStatus reconcileSyncedEntry(Index const& key) const {
    return reconcileAt(key, utilIfExists(), swTable_->resolvedEntryColl()[key],
                       swTable_->syncedEntryColl()[key]);
  }

  // The Util compares the row read back for `key` (its synced node, null when
  // none was read back) with the key's resolved value (a default Entry when
  // the node holds none).
  [[gnu::always_inline]] ReconciliationStatus reconcileAt(Index const& key, Util const* util,
                                                          ResolvedNode const* node,
                                                          SyncedNode const* synced) const {
    if (synced == nullptr) return ReconciliationStatus::entryMissing;
    if (util == nullptr) return ReconciliationStatus::entryMissing;
    bool const matched = node != nullptr && node->value.hasValue()
                             ? util->compareHwEntries(swTable_, key, *node->value)
                             : util->compareHwEntries(swTable_, key, Entry());
    return matched ? ReconciliationStatus::entryMatched : ReconciliationStatus::entryMismatched;
  }

  void autoCommitSyncedEntries() {
    if (swTable_->configReplayComplete()) return;
    for (auto it = swTable_->syncedEntryColl().begin(); !it.atEnd(); it.advance()) {
      Index const key = it.staleNode()->key;
      Kiva::Optional<Entry> const entry(it.staleNode()->value);
      swTable_->prevResolvedEntryState_ = swTable_->resolvedNodeState(key);
      swTable_->resolvedEntryIs(key, entry);
    }
  }

  void doInitComplete() {
    IFA_ENGINE_TRACE(9, "doInitComplete");
    swTable_->configReplayCompleteIs(true);
  }

  void purgeStaleEntries() {
    syncedEntryRemoveAll();
    KIVA_TRACE_AT(T::statTraceHandle(), 0, IFA_ENGINE_SOURCE, "purgeStaleEntries")
        << T::kQualifiedName << " : "
        << "purgeStaleEntries"
        << " " << KivaOrrin::Impl::valueToStrep(swTable_->statistics());
  }

  void syncedEntryRemoveAll() {
    IFA_ENGINE_RINGTRACE("syncedEntryRemoveAll");
    IFA_ENGINE_TRACE(8, "syncedEntryRemoveAll");
    if (!swTable_->utilHolderEmpty() && swTable_->syncedEntrys() != 0) {
      swTable_->prevResolvedEntryState_ = ResolvedEntryState::none;
      {
        IndexReconciledScope const reconciled(swTable_);
        handleStaleEntries();
        swTable_->syncedEntryDelAll();
      }
      return;
    }
    IFA_ENGINE_TRACE(8, "syncedEntryRemoveAll") << " No stale entries in syncedEntryColl";
  }

  void handleStaleEntries() {
    Util const* util = utilIfExists();
    Kiva::StdIterator it(swTable_->syncedEntryColl().begin().generic());
    for (; !it.atEnd(); it.advance()) {
      Index const key =
          static_cast<typename T::HN_SyncedEntry const*>(it.currNodeMaybeStale())->key;
      if (swTable_->resolvedEntryColl()[key] != nullptr) {
        IFA_ENGINE_TRACE(8, "handleStaleEntries") << "Skip resolved key:" << key;
        swTable_->syncedEntryDel(key);
        continue;
      }
      IFA_ENGINE_ASSERT(!isExhausted(key), "!isExhausted( hwIndex )", "handleStaleEntries");
      hwTableEntryDel(util, key, Kiva::Optional<Asic::Index>());
      IFA_ENGINE_TRACE(8, "handleStaleEntries") << ": Deleting stale hwEntry for key:" << key;
      swTable_->updateStatistic(ReconciliationStatus::entryStale);
    }
  }

  // --- Bulk removal and teardown ---

  void entryRemoveAll() {
    IFA_ENGINE_RINGTRACE("entryRemoveAll");
    IFA_ENGINE_TRACE(5, "entryRemoveAll");
    swTable_->prevResolvedEntryState_ = ResolvedEntryState::withValue;
    swTable_->resolvedEntryDelAll();
    if (!swTable_->utilHolderEmpty() && swTable_->syncedEntrys() != 0) {
      Kiva::assertFailedMsg("\"false\" == nullptr", "Should call purgeStaleEntries instead",
                            IFA_ENGINE_SOURCE, __LINE__, "entryRemoveAll");
    }
  }

  void cleanup() {
    IFA_ENGINE_TRACE(6, "cleanup");
    for (auto it = swTable_->resolvedEntryColl().begin(); !it.atEnd(); it.advance()) {
      Index const key = it.staleNode()->key;
      deleteResolvedEntry(key);
    }
    if (!swTable_->utilHolderEmpty()) {
      IndexUserTracker::Stub::deleteTracker(swTable_->hwTable(), 0, false);
    }
  }

 private:
  // Sets the table's index-reconciled flag for its lifetime and clears it
  // however the scope ends, an exception from the Util included.
  class IndexReconciledScope {
   public:
    explicit IndexReconciledScope(T* table) : table_(table) { table_->indexReconciled_ = 1; }
    IndexReconciledScope(IndexReconciledScope const&) = delete;
    IndexReconciledScope& operator=(IndexReconciledScope const&) = delete;
    ~IndexReconciledScope() { table_->indexReconciled_ = 0; }

   private:
    T* table_;
  };

  void tracker(Util const* util, Index const& key, OpType op) {
    util->updateHwIndexRefCountTracker(swTable_->hwTable(), key, op);
  }

  T* swTable_;
  Kiva::TraceHandle& trace_;
};

}  // namespace Asic

#undef IFA_ENGINE_TRACE
#undef IFA_ENGINE_RINGTRACE
#undef IFA_ENGINE_ASSERT
#undef IFA_ENGINE_SOURCE
