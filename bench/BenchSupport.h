// What the benchmarks share: the key sets, entries made from keys, the
// hardware a restart reads back, a Util that does nothing, and the allocator
// through which every map's memory is counted.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <numeric>
#include <random>
#include <string_view>
#include <vector>

#include "Asic/HwTable.h"
#include "Asic/SwTable.h"
#include "Kiva/Optional.h"
#include "Orrin/Ptr.h"
#include "Orrin/String.h"
#include "Pooler/Pooler.h"
#include "runtime/EntryFields.h"
#include "runtime/IfaSwTableUtil.h"

namespace IfaBench {

using Index = Asic::SwTableBase::Index;

// Order in which a benchmark visits its keys 0..N-1: ascending (hardware
// indices as a feature allocates them) or a fixed random permutation.
enum class KeyOrder { dense, shuffled };

inline std::string_view orderName(KeyOrder o) {
  return o == KeyOrder::dense ? "dense" : "shuffled";
}

inline std::vector<std::uint32_t> keysFor(std::uint32_t n, KeyOrder order, std::uint32_t first = 0,
                                          std::uint32_t seed = 1) {
  std::vector<std::uint32_t> keys(n);
  std::iota(keys.begin(), keys.end(), first);
  if (order == KeyOrder::shuffled) std::shuffle(keys.begin(), keys.end(), std::mt19937(seed));
  return keys;
}

// An entry whose fields derive from the key; `variant` gives a different
// entry for the same key.
template <class Entry>
Entry entryFor(std::uint32_t key, std::uint32_t variant = 0) {
  Entry e;
  std::uint32_t x = key * 2654435761u + variant * 40503u + 1u;
  IfaRuntime::forEachField<Entry>([&](auto const& f) {
    f.set(e, static_cast<std::uint32_t>(x % (f.kMax + 1)));
    x = x * 1103515245u + 12345u;
  });
  return e;
}

// Two entries of one key that differ (all tables benchmarked here have fields).
template <class Entry>
Entry otherEntryFor(std::uint32_t key) {
  Entry const a = entryFor<Entry>(key);
  for (std::uint32_t v = 1;; ++v) {
    Entry const b = entryFor<Entry>(key, v);
    if (!(a == b)) return b;
  }
}

// The hardware rows a restart reads back, and the replay that follows.
//
// Of the N rows, 90% are replayed with the same value, 5% with a different
// value and 5% are not replayed (stale); the replay also holds 5% new keys,
// so it is N commits in all. With dense keys, rows and replay go in key
// order; with shuffled keys, both go in random orders.
template <class Entry>
struct Restart {
  struct Commit {
    std::uint32_t key;
    Entry entry;
  };

  Restart(std::uint32_t n, KeyOrder order) {
    std::uint32_t const fivePercent = std::max<std::uint32_t>(1, n / 20);
    std::vector<std::uint32_t> const keys = keysFor(n, order, 0, 7);
    rows.resize(n + fivePercent);
    readBack = keys;
    for (std::uint32_t k : keys) rows[k] = entryFor<Entry>(k);
    std::uint32_t const matched = n - 2 * fivePercent;
    for (std::uint32_t i = 0; i < matched; ++i) replay.push_back({keys[i], rows[keys[i]]});
    for (std::uint32_t i = matched; i < matched + fivePercent; ++i) {
      replay.push_back({keys[i], otherEntryFor<Entry>(keys[i])});
    }
    for (std::uint32_t k = n; k < n + fivePercent; ++k) replay.push_back({k, entryFor<Entry>(k)});
    if (order == KeyOrder::shuffled) std::shuffle(replay.begin(), replay.end(), std::mt19937(11));
    stale = fivePercent;
  }

  std::vector<Entry> rows;              // by key: what hardware holds
  std::vector<std::uint32_t> readBack;  // the keys of the rows, in read-back order
  std::vector<Commit> replay;
  std::uint32_t stale = 0;
};

// A Util whose operations do nothing but are real virtual calls into a class
// the engine cannot see, so that a benchmark shows the engine's own cost.
// Writes and deletes are dropped; the tracker update is a no-op as well (the
// stand-in tracker's bookkeeping is the framework's cost, not the engine's).
// A restart reads rows back from `hardware`, and compares against it.
template <class Table>
class NullUtil final : public Table::Util {
 public:
  using Entry = typename Table::Entry;

  NullUtil() : Table::Util(Orrin::String("NullUtil")) {}

  [[gnu::noinline]] std::uint32_t minIndex() const override { return 0; }
  [[gnu::noinline]] std::uint32_t maxIndex() const override { return 0xFFFFFFFEu; }
  [[gnu::noinline]] void hwTableEntryIs(Table const*, Index,
                                        Kiva::Optional<Entry> const&) const override {}
  [[gnu::noinline]] void hwTableEntryDel(Table const*, Index) const override {}
  [[gnu::noinline]] void updateHwIndexRefCountTracker(
      Asic::HwTable*, Index, Asic::IndexUserTracker::OpType) const override {}
  [[gnu::noinline]] bool compareHwEntries(Table const*, Index key,
                                          Entry const& resolvedEntry) const override {
    return hardware != nullptr && hardware->rows[key.value] == resolvedEntry;
  }
  [[gnu::noinline]] void syncEntries(Asic::HwTable*,
                                     Orrin::Ptr<Table> const& swTable) const override {
    if (hardware == nullptr) return;
    for (std::uint32_t k : hardware->readBack) swTable->syncedEntryIs(k, hardware->rows[k]);
  }

  Restart<Entry> const* hardware = nullptr;
};

// A table with a NullUtil and a hardware table attached.
template <class Table>
struct Rig {
  explicit Rig(bool replayComplete = true,
               Restart<typename Table::Entry> const* hardware = nullptr) {
    util->hardware = hardware;
    table->utilIs(Orrin::Ptr<Asic::SwTable::Util>(util.get()));
    table->hwTableIs(hw);
    if (replayComplete) table->doInitComplete();
  }

  Orrin::Ptr<Table> table{new Table};
  Orrin::Ptr<NullUtil<Table>> util{new NullUtil<Table>};
  Orrin::Ptr<Asic::HwTable> hw{new Asic::HwTable(Orrin::String("hw"), 0, 0xFFFFFFFEu, 1)};
};

// An allocator that takes its blocks from Pooler, the slab allocator our
// tables use. Memory is counted the same way for every map: the bytes Pooler
// hands out (size-class rounded), read from Pooler::stats() before and after.
template <class T>
struct PoolerAllocator {
  using value_type = T;
  PoolerAllocator() = default;
  template <class U>
  PoolerAllocator(PoolerAllocator<U> const&) {}  // NOLINT
  T* allocate(std::size_t n) { return static_cast<T*>(Pooler::slabAlloc(n * sizeof(T))); }
  void deallocate(T* p, std::size_t) { Pooler::slabFree(p, Pooler::Type{"bench map", 0}); }
  template <class U>
  bool operator==(PoolerAllocator<U> const&) const {
    return true;
  }
};

// Bytes Pooler has handed out and not taken back.
inline std::size_t poolerLiveBytes() {
  return Pooler::stats().liveBytes;
}

}  // namespace IfaBench
