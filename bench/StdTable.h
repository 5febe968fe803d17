// What a user would write instead of this library: the same observable
// behaviour (Util calls in the same order with the same tracker operations,
// reconciliation with its statistics, publications to observers) on two maps
// of the standard library's interface.
//
//   StdTable<Entry, StdMaps>   the "std table", on std::unordered_map
//   StdTable<Entry, FlatMaps>  the "flat table": the same code, only its two
//                              maps changed to boost::unordered_flat_map
//
// Only declarations here: the member functions are defined in
// StdTableImpl.h and compiled in StdTables.cpp and FlatTables.cpp, so that a
// benchmark calls them across translation units, as it calls our tables
// across the shared library's boundary; neither side gets inlined into the
// timed loop.
#pragma once

#include <boost/unordered/unordered_flat_map.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "BenchSupport.h"
#include "tables/IfaTables.h"

namespace IfaBench {

struct StdMaps {
  template <class K, class V, class A>
  using Map = std::unordered_map<K, V, std::hash<K>, std::equal_to<>, A>;
};

struct FlatMaps {
  template <class K, class V, class A>
  using Map = boost::unordered_flat_map<K, V, boost::hash<K>, std::equal_to<>, A>;
};

template <class Entry, class Maps, template <class> class Alloc = std::allocator>
class StdTable {
 public:
  using Value = std::optional<Entry>;
  using Resolved = typename Maps::template Map<std::uint32_t, Value,
                                               Alloc<std::pair<std::uint32_t const, Value>>>;
  using Synced = typename Maps::template Map<std::uint32_t, Entry,
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

  StdTable();
  ~StdTable();

  void utilIs(Util const* util);
  void doInitComplete();
  void entryCommit(std::uint32_t key, Entry const& entry);
  void entryRemove(std::uint32_t key);
  Entry entry(std::uint32_t key) const;
  bool entryHas(std::uint32_t key) const;
  void syncedEntryIs(std::uint32_t key, Entry const& entry);
  void syncEntries();
  void purgeStaleEntries();

  std::size_t resolvedEntrys() const;
  Statistics const& statistics() const { return stats_; }

 private:
  void program(std::uint32_t key, int previousState, Value const& value);
  void write(std::uint32_t key, int previousState, Value const& value);
  void publish(int field, std::uint32_t key, void const* previous);

  Resolved resolved_;
  Synced synced_;
  Util const* util_ = nullptr;
  std::vector<Observer*> observers_;
  bool replayComplete_ = false;
  Statistics stats_;
};

// The do-nothing Util of these tables (as NullUtil is ours).
template <class Entry, class Maps, template <class> class Alloc = std::allocator>
class StdNullUtil final : public StdTable<Entry, Maps, Alloc>::Util {
 public:
  using Table = StdTable<Entry, Maps, Alloc>;
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

// The instantiations compiled in StdTables.cpp and FlatTables.cpp: both
// tables' entries, each with the standard allocator (timed) and with Pooler's
// (memory).
#define IFA_BENCH_STD_TABLES(prefix, Maps)                                           \
  prefix class StdTable<CorvaneInt::IfaActionProfile::Entry, Maps>;                  \
  prefix class StdTable<CorvaneInt::IfaSwitchId::Entry, Maps>;                       \
  prefix class StdTable<CorvaneInt::IfaActionProfile::Entry, Maps, PoolerAllocator>; \
  prefix class StdTable<CorvaneInt::IfaSwitchId::Entry, Maps, PoolerAllocator>;

IFA_BENCH_STD_TABLES(extern template, StdMaps)
IFA_BENCH_STD_TABLES(extern template, FlatMaps)

}  // namespace IfaBench
