// The member functions of StdTable (StdTable.h), included only by the
// translation units that instantiate it.
#pragma once

#include "StdTable.h"

namespace IfaBench {

template <class Entry, class Maps, template <class> class Alloc>
StdTable<Entry, Maps, Alloc>::StdTable() = default;

template <class Entry, class Maps, template <class> class Alloc>
StdTable<Entry, Maps, Alloc>::~StdTable() = default;

template <class Entry, class Maps, template <class> class Alloc>
void StdTable<Entry, Maps, Alloc>::utilIs(Util const* util) {
  util_ = util;
}

template <class Entry, class Maps, template <class> class Alloc>
void StdTable<Entry, Maps, Alloc>::doInitComplete() {
  replayComplete_ = true;
}

template <class Entry, class Maps, template <class> class Alloc>
void StdTable<Entry, Maps, Alloc>::entryCommit(std::uint32_t key, Entry const& entry) {
  auto it = resolved_.find(key);
  int const previousState = it == resolved_.end() ? 0 : it->second ? 2 : 1;
  Value previous;
  if (it == resolved_.end()) {
    it = resolved_.emplace(key, entry).first;
  } else {
    if (it->second && *it->second == entry) return;
    previous = it->second;
    it->second = entry;
  }
  program(key, previousState, it->second);
  publish(519, key, &previous);
}

template <class Entry, class Maps, template <class> class Alloc>
void StdTable<Entry, Maps, Alloc>::entryRemove(std::uint32_t key) {
  auto it = resolved_.find(key);
  if (it == resolved_.end()) return;
  int const previousState = it->second ? 2 : 1;
  Value const previous = std::move(it->second);
  resolved_.erase(it);
  if (util_ != nullptr && key != kInvalid) {
    util_->updateHwIndexRefCountTracker(key, previousState == 1 ? 4 : 2);
    util_->hwTableEntryDel(this, key);
    if (!replayComplete_) ++stats_.stale;
  }
  publish(519, key, &previous);
}

template <class Entry, class Maps, template <class> class Alloc>
Entry StdTable<Entry, Maps, Alloc>::entry(std::uint32_t key) const {
  auto it = resolved_.find(key);
  return it != resolved_.end() && it->second ? *it->second : Entry();
}

template <class Entry, class Maps, template <class> class Alloc>
bool StdTable<Entry, Maps, Alloc>::entryHas(std::uint32_t key) const {
  return resolved_.find(key) != resolved_.end();
}

template <class Entry, class Maps, template <class> class Alloc>
void StdTable<Entry, Maps, Alloc>::syncedEntryIs(std::uint32_t key, Entry const& entry) {
  auto [it, inserted] = synced_.try_emplace(key, entry);
  if (inserted) {
    publish(521, key, nullptr);
  } else if (!(it->second == entry)) {
    Entry const previous = it->second;
    it->second = entry;
    publish(521, key, &previous);
  }
}

template <class Entry, class Maps, template <class> class Alloc>
void StdTable<Entry, Maps, Alloc>::syncEntries() {
  if (util_ != nullptr) util_->syncEntries(this);
}

template <class Entry, class Maps, template <class> class Alloc>
void StdTable<Entry, Maps, Alloc>::purgeStaleEntries() {
  if (util_ != nullptr) {
    for (auto const& [key, entry] : synced_) {
      if (resolved_.find(key) != resolved_.end()) continue;
      util_->updateHwIndexRefCountTracker(key, 2);
      util_->hwTableEntryDel(this, key);
      ++stats_.stale;
    }
  }
  if (!observers_.empty()) {
    for (auto const& [key, entry] : synced_) publish(521, key, &entry);
  }
  synced_.clear();
}

template <class Entry, class Maps, template <class> class Alloc>
std::size_t StdTable<Entry, Maps, Alloc>::resolvedEntrys() const {
  return resolved_.size();
}

template <class Entry, class Maps, template <class> class Alloc>
void StdTable<Entry, Maps, Alloc>::program(std::uint32_t key, int previousState,
                                           Value const& value) {
  if (util_ == nullptr || key == kInvalid) return;
  if (replayComplete_) {
    write(key, previousState, value);
    return;
  }
  auto synced = synced_.find(key);
  if (synced == synced_.end()) {
    write(key, previousState, value);
    ++stats_.missing;
    return;
  }
  if (util_->compareHwEntries(this, key, value ? *value : Entry())) {
    ++stats_.matched;
  } else {
    util_->hwTableEntryIs(this, key, value);
    ++stats_.mismatched;
  }
  Entry const previous = synced->second;
  synced_.erase(synced);
  publish(521, key, &previous);
}

template <class Entry, class Maps, template <class> class Alloc>
void StdTable<Entry, Maps, Alloc>::write(std::uint32_t key, int previousState, Value const& value) {
  if (value && previousState < 2) util_->updateHwIndexRefCountTracker(key, previousState);
  if (!value && previousState == 2) util_->updateHwIndexRefCountTracker(key, 3);
  util_->hwTableEntryIs(this, key, value);
}

template <class Entry, class Maps, template <class> class Alloc>
void StdTable<Entry, Maps, Alloc>::publish(int field, std::uint32_t key, void const* previous) {
  for (Observer* o : observers_) o->onChange(field, key, previous);
}

}  // namespace IfaBench
