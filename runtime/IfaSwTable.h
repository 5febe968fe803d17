// IfaSwTable<Decl>: the table class of the catalogue, written once and
// instantiated for each table declaration (see runtime/TableDecl.h).
//
// A table keeps the entries the feature wants in hardware (the resolved
// entries, a key may hold no value) beside the rows read back from hardware
// after a restart (the synced entries). Every change of a resolved entry goes
// to the engine (Asic::SwTable::Accessor), which programs the hardware row
// through the table's Util; every change of either collection is published.
#pragma once

#include <cstdint>

#include "Asic/SwTable.h"
#include "Kiva/Optional.h"
#include "Kiva/Trace.h"
#include "Orrin/Ptr.h"
#include "Orrin/String.h"
#include "runtime/AttributeSchema.h"
#include "runtime/EntryCollection.h"
#include "runtime/EntryNodes.h"
#include "runtime/SlabAllocated.h"

namespace Statebase {
class MountGroup;
class EntityManager;
}  // namespace Statebase

namespace IfaRuntime {

template <class Decl>
class IfaSwTable final : public Asic::SwKnownIndexTable {
 public:
  using Declaration = Decl;
  using Entry = typename Decl::Entry;
  using Index = Asic::SwTableBase::Index;
  using HN_ResolvedEntry = IfaRuntime::HN_ResolvedEntry<Decl>;
  using HN_SyncedEntry = IfaRuntime::HN_SyncedEntry<Decl>;
  using ResolvedEntryColl = EntryCollection<HN_ResolvedEntry>;
  using SyncedEntryColl = EntryCollection<HN_SyncedEntry>;
  using Accessor = Asic::SwTable::Accessor<IfaSwTable>;
  using EntryIteratorConst = Asic::SwTable::EntryIteratorConst<IfaSwTable>;

  static constexpr auto kName = Decl::kName;
  static constexpr auto kQualifiedName = Decl::kQualifiedName;
  // Attribute numbers of the two collections, also their field ids in
  // change publications.
  static constexpr std::uint32_t kResolvedEntryFieldId = TableAttr::resolvedEntry;
  static constexpr std::uint32_t kSyncedEntryFieldId = TableAttr::syncedEntry;

  class Util;
  class UtilLoader;

  IfaSwTable() : Asic::SwKnownIndexTable(Orrin::String("")) {}
  ~IfaSwTable() override;

  // --- Resolved entries (the feature's view) ---
  void resolvedEntryIs(Index key, Kiva::Optional<Entry> const& value);
  Kiva::Optional<Entry> resolvedEntryDel(Index key);
  void resolvedEntryDelAll();
  void entryCommit(Index key, Entry const& entry);
  void entryRemove(Index key) { Accessor(this).deleteResolvedEntry(key); }
  Entry entry(Index key) const;
  Kiva::Optional<Entry> resolvedEntry(Index key) const;
  bool entryHas(Index key) const { return resolved_[key] != nullptr; }
  std::uint32_t resolvedEntrys() const { return resolved_.size(); }

  // --- Synced entries (the hardware view) ---
  void syncedEntryIs(Index key, Entry const& entry);
  Entry syncedEntryDel(Index key);
  void syncedEntryDelAll();
  Entry syncedEntry(Index key) const;
  Kiva::Optional<Entry> syncedEntryGet(Index key) const;
  std::uint32_t syncedEntrys() const { return synced_.size(); }

  // --- Index range and Util ---
  std::uint32_t minIndex() const;
  std::uint32_t maxIndex() const;
  Util const* util() const;

  // --- Engine operations ---
  void handleEntry(Index key) { Accessor(this).handleEntry(key); }
  void syncEntries() override;
  void doInitComplete() override { Accessor(this).doInitComplete(); }
  void autoCommitSyncedEntries() { Accessor(this).autoCommitSyncedEntries(); }
  void purgeStaleEntries() override { Accessor(this).purgeStaleEntries(); }
  void entryRemoveAll() { Accessor(this).entryRemoveAll(); }
  void cleanup() { Accessor(this).cleanup(); }
  EntryIteratorConst entryIteratorConst() const { return EntryIteratorConst(this); }
  EntryIteratorConst entryIteratorConst(Index key) const { return EntryIteratorConst(this, key); }

  // The table's type in its module (type 3).
  Orrin::TypeData typeData() const override;

  // --- Hardware-table mounting and recovery ---
  static void doMountHwTableMountInfo(Orrin::Ptr<Statebase::MountGroup> const& mg);
  static void doMountHwTableRecoveryStatus(Orrin::Ptr<Statebase::MountGroup> const& mg);
  static void doRecoverHwTable(Orrin::Ptr<Asic::HwTableRecoverGroup> const& rg, Asic::UnitId unitId,
                               Orrin::Ptr<Statebase::EntityManager> const& statebaseEm,
                               Asic::ChipInfo const& chipInfo);

  // The previous resolved-entry state a change of the key would record.
  ResolvedEntryState resolvedNodeState(Index key) const { return stateOf(resolved_[key]); }

  // The collections, for the engine, the iterators and the runtime.
  ResolvedEntryColl const& resolvedEntryColl() const { return resolved_; }
  SyncedEntryColl const& syncedEntryColl() const { return synced_; }

  // The module's "SwTableStat" trace handle (reconciliation statistics).
  static Kiva::TraceHandle& statTraceHandle();

  static inline Kiva::AllocTrackTypeInfo memAllocationTracker_{Decl::kQualifiedName};
  IFA_SLAB_ALLOCATED(memAllocationTracker_)

 private:
  static ResolvedEntryState stateOf(HN_ResolvedEntry const* node) {
    return node == nullptr          ? ResolvedEntryState::none
           : node->value.hasValue() ? ResolvedEntryState::withValue
                                    : ResolvedEntryState::withoutValue;
  }
  [[gnu::noinline]] void resolvedEntryUpdate(Index key, HN_ResolvedEntry* node, Entry const* value,
                                             bool differs = false);
  void resolvedEntryChanged(Index key, HN_ResolvedEntry const* node,
                            Kiva::Optional<Entry> const& previous);
  Kiva::Optional<Entry> resolvedEntryRemove(Index key, bool recordState);
  void syncedEntryDelAt(typename SyncedEntryColl::Located const& at);

  void publish(std::uint32_t fieldId, Index const& key, void const* previous) {
    publisher()->publishChangeRecursive(fieldId, &key, previous, &Index::isEq);
  }

  ResolvedEntryColl resolved_;
  SyncedEntryColl synced_;

  friend Accessor;
};

}  // namespace IfaRuntime
