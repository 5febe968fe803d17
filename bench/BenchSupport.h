// What the benchmarks share: the key sets, entries made from keys, the
// hardware a restart reads back, a Util that does nothing, the table a user
// would write on std::unordered_map, and an allocator that counts bytes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Asic/HwTable.h"
#include "Asic/SwTable.h"
#include "Kiva/Optional.h"
#include "Orrin/Ptr.h"
#include "Orrin/String.h"
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

// Counts the bytes a container allocates, in `bytes` of the allocator's
// counter.
struct ByteCounter {
  std::size_t bytes = 0;
};

template <class T>
struct CountingAllocator {
  using value_type = T;
  explicit CountingAllocator(ByteCounter* c) : counter(c) {}
  template <class U>
  CountingAllocator(CountingAllocator<U> const& o) : counter(o.counter) {}  // NOLINT
  T* allocate(std::size_t n) {
    counter->bytes += n * sizeof(T);
    return std::allocator<T>().allocate(n);
  }
  void deallocate(T* p, std::size_t n) {
    counter->bytes -= n * sizeof(T);
    std::allocator<T>().deallocate(p, n);
  }
  template <class U>
  bool operator==(CountingAllocator<U> const& o) const {
    return counter == o.counter;
  }
  ByteCounter* counter;
};

// What a user would write instead of this library: the same observable
// behaviour (Util calls in the same order with the same tracker operations,
// reconciliation with its statistics, publications to observers) on two
// std::unordered_maps.
template <class Entry, template <class> class Alloc = std::allocator>
class StdTable {
 public:
  using Value = std::optional<Entry>;
  using Resolved =
      std::unordered_map<std::uint32_t, Value, std::hash<std::uint32_t>, std::equal_to<>,
                         Alloc<std::pair<std::uint32_t const, Value>>>;
  using Synced = std::unordered_map<std::uint32_t, Entry, std::hash<std::uint32_t>, std::equal_to<>,
                                    Alloc<std::pair<std::uint32_t const, Entry>>>;
  static constexpr std::uint32_t kInvalid = 0xFFFFFFFFu;

  class Util {
   public:
    virtual ~Util() = default;
    virtual void hwTableEntryIs(StdTable const* table, std::uint32_t key,
                                Value const& entry) const = 0;
    virtual void hwTableEntryDel(StdTable const* table, std::uint32_t key) const = 0;
    virtual void updateHwIndexRefCountTracker(std::uint32_t key, int op) const = 0;
    virtual bool compareHwEntries(StdTable const* table, std::uint32_t key,
                                  Entry const& resolved) const = 0;
    virtual void syncEntries(StdTable* table) const = 0;
  };
  class Observer {
   public:
    virtual ~Observer() = default;
    virtual void onChange(int field, std::uint32_t key, void const* previous) = 0;
  };
  struct Statistics {
    std::uint64_t matched = 0, mismatched = 0, missing = 0, stale = 0;
  };

  StdTable() = default;
  template <class A>
  explicit StdTable(A const& alloc) : resolved_(alloc), synced_(alloc) {}

  void utilIs(Util const* util) { util_ = util; }
  void doInitComplete() { replayComplete_ = true; }

  void entryCommit(std::uint32_t key, Entry const& entry) {
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

  void entryRemove(std::uint32_t key) {
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

  Entry entry(std::uint32_t key) const {
    auto it = resolved_.find(key);
    return it != resolved_.end() && it->second ? *it->second : Entry();
  }
  bool entryHas(std::uint32_t key) const { return resolved_.count(key) != 0; }

  void syncedEntryIs(std::uint32_t key, Entry const& entry) {
    auto [it, inserted] = synced_.try_emplace(key, entry);
    if (inserted) {
      publish(521, key, nullptr);
    } else if (!(it->second == entry)) {
      Entry const previous = it->second;
      it->second = entry;
      publish(521, key, &previous);
    }
  }

  void syncEntries() {
    if (util_ != nullptr) util_->syncEntries(this);
  }

  void purgeStaleEntries() {
    if (util_ != nullptr) {
      for (auto const& [key, entry] : synced_) {
        if (resolved_.count(key) != 0) continue;
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

  Resolved const& resolved() const { return resolved_; }
  Synced const& synced() const { return synced_; }
  Statistics const& statistics() const { return stats_; }

 private:
  void program(std::uint32_t key, int previousState, Value const& value) {
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

  void write(std::uint32_t key, int previousState, Value const& value) {
    if (value && previousState < 2) util_->updateHwIndexRefCountTracker(key, previousState);
    if (!value && previousState == 2) util_->updateHwIndexRefCountTracker(key, 3);
    util_->hwTableEntryIs(this, key, value);
  }

  void publish(int field, std::uint32_t key, void const* previous) {
    for (Observer* o : observers_) o->onChange(field, key, previous);
  }

  Resolved resolved_;
  Synced synced_;
  Util const* util_ = nullptr;
  std::vector<Observer*> observers_;
  bool replayComplete_ = false;
  Statistics stats_;
};

// The do-nothing Util of the std::unordered_map table.
template <class Entry, template <class> class Alloc = std::allocator>
class StdNullUtil final : public StdTable<Entry, Alloc>::Util {
 public:
  using Table = StdTable<Entry, Alloc>;
  [[gnu::noinline]] void hwTableEntryIs(Table const*, std::uint32_t,
                                        typename Table::Value const&) const override {}
  [[gnu::noinline]] void hwTableEntryDel(Table const*, std::uint32_t) const override {}
  [[gnu::noinline]] void updateHwIndexRefCountTracker(std::uint32_t, int) const override {}
  [[gnu::noinline]] bool compareHwEntries(Table const*, std::uint32_t key,
                                          Entry const& resolved) const override {
    return hardware != nullptr && hardware->rows[key] == resolved;
  }
  [[gnu::noinline]] void syncEntries(Table* table) const override {
    if (hardware == nullptr) return;
    for (std::uint32_t k : hardware->readBack) table->syncedEntryIs(k, hardware->rows[k]);
  }
  Restart<Entry> const* hardware = nullptr;
};

}  // namespace IfaBench
