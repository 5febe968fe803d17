// Definitions of IfaSwTable<Decl>'s operations. Included by each table
// module's source, which instantiates the table once.
#pragma once

#include <algorithm>
#include <cstdint>

#include "AsicSwTable/EntryIteratorConst.h"
#include "AsicSwTable/SwTableAccessor.h"
#include "runtime/IfaSwTable.h"
#include "runtime/IfaSwTableUtil.h"
#include "runtime/IfaSwTableUtilLoader.h"
#include "runtime/TableModule.h"

namespace IfaRuntime {

template <class Decl>
IfaSwTable<Decl>::~IfaSwTable() {
  nodeFlagSet(kLiveFlag, false);
  cleanup();
  // The members go next, synced entries first, then the resolved entries.
}

template <class Decl>
void IfaSwTable<Decl>::resolvedEntryIs(Index key, Kiva::Optional<Entry> const& value) {
  HN_ResolvedEntry* const node = resolved_.find(key);
  if (node != nullptr && &node->value == &value) return;
  resolvedEntryUpdate(key, node, value.hasValue() ? &*value : nullptr);
}

// The change of `key`'s resolved value to `*value` (empty when null), made on
// `node`, the key's node as the caller's one lookup found it (null when the
// key has none; `differs` when the caller has already found the node's value
// different from `*value`). An unchanged value changes nothing; otherwise the node is
// changed (a new key gets one) and the change goes to the engine.
template <class Decl>
void IfaSwTable<Decl>::resolvedEntryUpdate(Index key, HN_ResolvedEntry* node, Entry const* value,
                                           bool differs) {
  Kiva::Optional<Entry> previous;
  if (node == nullptr) {
    // While a warm restart replays the configuration, every key read back
    // from the hardware is expected to come back: the resolved entries grow
    // toward their count with the rows not yet claimed.
    if (!configReplayComplete()) resolved_.expect(resolved_.size() + synced_.size());
    HN_ResolvedEntry const fresh{
        {}, key, value != nullptr ? Kiva::Optional<Entry>(*value) : Kiva::Optional<Entry>()};
    node = resolved_.insert(fresh);
  } else if (!node->value.hasValue()) {
    if (value == nullptr) return;
    node->value = *value;
  } else if (value == nullptr) {
    previous = node->value;
    node->value.reset();
  } else {
    if (!differs && Entry::isEq(&*node->value, value)) return;
    previous = node->value;
    *node->value = *value;
  }
  resolvedEntryChanged(key, node, previous);
}

// The engine and the publication of a change of `key`, whose node (null when
// the key has none) the caller found by its one lookup and changed: nothing
// between here and the engine can change the collection, so the engine
// works on that node rather than looking the key up again.
template <class Decl>
void IfaSwTable<Decl>::resolvedEntryChanged(Index key, HN_ResolvedEntry const* node,
                                            Kiva::Optional<Entry> const& previous) {
  Accessor(this).handleEntryAt(key, node);
  publish(kResolvedEntryFieldId, key, &previous);
}

template <class Decl>
Kiva::Optional<typename Decl::Entry> IfaSwTable<Decl>::resolvedEntryDel(Index key) {
  return resolvedEntryRemove(key, false);
}

// resolvedEntryDel, recording the key's previous resolved-entry state from
// the node it removes when `recordState` is set (the engine's
// deleteResolvedEntry), so that one lookup serves both.
template <class Decl>
Kiva::Optional<typename Decl::Entry> IfaSwTable<Decl>::resolvedEntryRemove(Index key,
                                                                           bool recordState) {
  Kiva::Optional<Entry> removed;
  ResolvedEntryState state = ResolvedEntryState::none;
  bool const found = resolved_.erase(key, [&](HN_ResolvedEntry& node) {
    state = stateOf(&node);
    removed = node.value;
  });
  if (recordState) prevResolvedEntryState_ = state;
  if (found) resolvedEntryChanged(key, nullptr, removed);
  return removed;
}

template <class Decl>
void IfaSwTable<Decl>::resolvedEntryDelAll() {
  // Every key goes through resolvedEntryDel: each removal must reach the engine.
  for (auto it = resolved_.begin(); !it.atEnd(); it.advance()) {
    Index const key = it.staleNode()->key;
    resolvedEntryDel(key);
  }
}

// resolvedEntryIs with the entry as a non-empty value, recording the key's
// previous resolved-entry state from the node its one lookup finds: an
// unchanged value costs that lookup and one comparison (the change itself is
// out of line, so that the unchanged path stays short).
template <class Decl>
void IfaSwTable<Decl>::entryCommit(Index key, Entry const& entry) {
  HN_ResolvedEntry* const node = resolved_.find(key);
  if (node != nullptr && node->value.hasValue()) [[likely]] {
    prevResolvedEntryState_ = ResolvedEntryState::withValue;
    if (Entry::isEq(&*node->value, &entry)) [[likely]]
      return;
    resolvedEntryUpdate(key, node, &entry, true);
    return;
  }
  prevResolvedEntryState_ = stateOf(node);
  resolvedEntryUpdate(key, node, &entry);
}

// The rows read back from the hardware fill the synced entries toward the
// table's index range (the core bounds what that may cost in memory).
template <class Decl>
void IfaSwTable<Decl>::syncEntries() {
  std::uint64_t const range = std::uint64_t{maxIndex()} - minIndex() + 1;
  synced_.expect(static_cast<std::uint32_t>(std::min<std::uint64_t>(range, 0xFFFFFFFFu)));
  struct ExpectationEnds {
    SyncedEntryColl& synced;
    ~ExpectationEnds() { synced.expect(0); }
  } const ends{synced_};
  Accessor(this).syncEntries();
}

template <class Decl>
typename Decl::Entry IfaSwTable<Decl>::entry(Index key) const {
  HN_ResolvedEntry const* node = resolved_[key];
  return node != nullptr && node->value.hasValue() ? *node->value : Entry();
}

template <class Decl>
Kiva::Optional<typename Decl::Entry> IfaSwTable<Decl>::resolvedEntry(Index key) const {
  HN_ResolvedEntry const* node = resolved_[key];
  return node != nullptr ? node->value : Kiva::Optional<Entry>();
}

template <class Decl>
void IfaSwTable<Decl>::syncedEntryIs(Index key, Entry const& entry) {
  if (HN_SyncedEntry* node = synced_.find(key)) {
    if (Entry::isEq(&node->value, &entry)) return;
    Entry const previous = node->value;
    node->value = entry;
    publish(kSyncedEntryFieldId, key, &previous);
    return;
  }
  synced_.insert(HN_SyncedEntry{{}, key, entry});
  publish(kSyncedEntryFieldId, key, nullptr);
}

template <class Decl>
typename Decl::Entry IfaSwTable<Decl>::syncedEntryDel(Index key) {
  Entry removed;
  if (synced_.erase(key, [&](HN_SyncedEntry& node) { removed = node.value; })) {
    publish(kSyncedEntryFieldId, key, &removed);
  }
  return removed;
}

// syncedEntryDel of the member a lookup of the synced entries found, when
// nothing has changed them since (the engine's reconciliation).
template <class Decl>
void IfaSwTable<Decl>::syncedEntryDelAt(typename SyncedEntryColl::Located const& at) {
  Index const key = at.node->key;
  Entry const removed = at.node->value;
  synced_.erase(at);
  publish(kSyncedEntryFieldId, key, &removed);
}

template <class Decl>
void IfaSwTable<Decl>::syncedEntryDelAll() {
  // The publisher's state word is 1 while nothing observes the table: then
  // the entries go in one step, without publications.
  if (publisher()->stateWord() == 1) {
    synced_.clear();
    return;
  }
  for (auto it = synced_.begin(); !it.atEnd(); it.advance()) {
    Index const key = it.staleNode()->key;
    syncedEntryDel(key);
  }
}

template <class Decl>
typename Decl::Entry IfaSwTable<Decl>::syncedEntry(Index key) const {
  HN_SyncedEntry const* node = synced_[key];
  return node != nullptr ? node->value : Entry();
}

template <class Decl>
Kiva::Optional<typename Decl::Entry> IfaSwTable<Decl>::syncedEntryGet(Index key) const {
  HN_SyncedEntry const* node = synced_[key];
  return node != nullptr ? Kiva::Optional<Entry>(node->value) : Kiva::Optional<Entry>();
}

template <class Decl>
typename IfaSwTable<Decl>::Util const* IfaSwTable<Decl>::util() const {
  return static_cast<Util const*>(Asic::SwTable::util());
}

template <class Decl>
std::uint32_t IfaSwTable<Decl>::minIndex() const {
  return utilHolderEmpty() ? 0u : util()->minIndex();
}

template <class Decl>
std::uint32_t IfaSwTable<Decl>::maxIndex() const {
  return utilHolderEmpty() ? 0xFFFFFFFFu : util()->maxIndex();
}

template <class Decl>
Orrin::TypeData IfaSwTable<Decl>::typeData() const {
  return TableModule<Decl>::typeData(TableModule<Decl>::kTableType);
}

template <class Decl>
Orrin::TypeData IfaSwTable<Decl>::Util::typeData() const {
  return TableModule<Decl>::typeData(TableModule<Decl>::kUtilType);
}

// The mount and recovery operations pass the framework this library's types:
// the Util type for mounting, the table type for recovery.
template <class Decl>
void IfaSwTable<Decl>::doMountHwTableMountInfo(Orrin::Ptr<Statebase::MountGroup> const& mg) {
  Asic::SwTable::Util::doMountHwTableMountInfo(
      TableModule<Decl>::typeData(TableModule<Decl>::kUtilType), mg, Orrin::String());
}

template <class Decl>
void IfaSwTable<Decl>::doMountHwTableRecoveryStatus(Orrin::Ptr<Statebase::MountGroup> const& mg) {
  Asic::SwTable::Util::doMountHwTableRecoveryStatus(
      TableModule<Decl>::typeData(TableModule<Decl>::kUtilType), mg, Orrin::String());
}

template <class Decl>
void IfaSwTable<Decl>::doRecoverHwTable(Orrin::Ptr<Asic::HwTableRecoverGroup> const& rg,
                                        Asic::UnitId unitId,
                                        Orrin::Ptr<Statebase::EntityManager> const& statebaseEm,
                                        Asic::ChipInfo const& chipInfo) {
  Asic::SwTable::Util::doRecoverHwTable(TableModule<Decl>::typeData(TableModule<Decl>::kTableType),
                                        rg, unitId, statebaseEm, chipInfo, Orrin::String());
}

}  // namespace IfaRuntime
