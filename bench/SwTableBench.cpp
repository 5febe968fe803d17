// Benchmarks of the software tables beside the maps a platform team could use
// instead, measured in one run:
//
//   swtable/<Table>/<op>/<order>/<N>   the library's table, replay complete, NullUtil
//   core/<Table>/<op>/<order>/<N>      the table's resolved collection alone
//   absl/<Table>/<op>/<order>/<N>      absl::flat_hash_map<uint32_t, Entry>
//   abslcall/<Table>/<op>/<order>/<N>  the same map, each find and insert a call into
//                                      another translation unit (AbslBehindCall.cpp)
//   stdtable/<Table>/<op>/<order>/<N>  the same table written on std::unordered_map
//   probe/-/dependentRead/random/<N>   dependent random reads over N cache lines
//   */memory/*                         bytes per entry (counters, not times)
//
// Every timed benchmark sets its own time (manual time: the thread's CPU time,
// see Clock) over `ops` operations per iteration, reported in the counter
// "ops": ns per operation is the iteration time over ops. Keys are 0..N-1, visited in ascending
// ("dense") or shuffled order. bench/report.py turns the JSON output into bench/results.md and
// bench/results.png.
#include <absl/container/flat_hash_map.h>
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "AbslBehindCall.h"
#include "AsicSwTable/EntryIteratorConst.h"
#include "BenchSupport.h"
#include "Kiva/HashMap2018.h"
#include "Pooler/Pooler.h"
#include "tables/IfaTables.h"

namespace IfaBench {
namespace {

// The timer of every benchmark: the CPU time of the benchmark's thread. The
// machine may be shared: wall time would count the time the thread spends
// descheduled, its CPU time does not (cache misses and stalls still count).
// Each timed iteration holds thousands of operations, so that the clock's own
// cost does not show.
struct Clock {
  using time_point = double;
  static double now() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
  }
};
constexpr std::uint32_t kSizes[] = {100, 10000, 1000000};
constexpr KeyOrder kOrders[] = {KeyOrder::dense, KeyOrder::shuffled};

// Tables built per iteration for benchmarks that need fresh tables, so that
// one iteration holds enough work to time.
std::uint32_t tablesPerIteration(std::uint32_t n) {
  return std::max<std::uint32_t>(1, 20000 / n);
}

double seconds(double a, double b) {
  return b - a;
}

// Passes over the keys per timed iteration for benchmarks that work on one
// table in place.
std::uint32_t passesFor(std::uint32_t n) {
  return std::max<std::uint32_t>(1, 20000 / n);
}

void opsIs(benchmark::State& state, double ops) {
  state.counters["ops"] = ops;
}

template <class Table>
using EntryOf = typename Table::Entry;

// Commits key -> entryFor(key) for every key.
template <class Table>
void fill(Table& t, std::vector<std::uint32_t> const& keys) {
  for (std::uint32_t k : keys) t.entryCommit(k, entryFor<EntryOf<Table>>(k));
}

// Precomputed entries, so that timed loops only run the operation.
template <class Entry>
std::vector<Entry> entriesFor(std::vector<std::uint32_t> const& keys, bool other = false) {
  std::vector<Entry> out;
  out.reserve(keys.size());
  for (std::uint32_t k : keys) out.push_back(other ? otherEntryFor<Entry>(k) : entryFor<Entry>(k));
  return out;
}

// ---- The library's table -------------------------------------------------------

// The table holding key -> entryFor(key) for keys 0..N-1, shared by the
// benchmarks that leave it so (lookups, walks, unchanged and changed commits),
// so that a table of a million entries is filled once rather than once per
// benchmark and repetition. One table per table type is kept: the benchmarks
// of one N and key order run one after the other.
template <class Table>
struct FilledRig {
  static inline std::unique_ptr<Rig<Table>> rig;
  static inline std::uint32_t n = 0;
  static inline KeyOrder order = KeyOrder::dense;

  static Table& get(std::uint32_t wantN, KeyOrder wantOrder) {
    if (!rig || n != wantN || order != wantOrder) {
      rig.reset();
      rig = std::make_unique<Rig<Table>>();
      fill(*rig->table, keysFor(wantN, wantOrder));
      n = wantN;
      order = wantOrder;
    }
    return *rig->table;
  }
  static void release() { rig.reset(); }
};

template <class Table>
void swCommitNew(benchmark::State& state, std::uint32_t n, KeyOrder order) {
  auto const keys = keysFor(n, order);
  auto const entries = entriesFor<EntryOf<Table>>(keys);
  std::uint32_t const tables = tablesPerIteration(n);
  for (auto _ : state) {
    std::vector<Rig<Table>> rigs(tables);
    auto const t0 = Clock::now();
    for (auto& rig : rigs) {
      Table& t = *rig.table;
      for (std::size_t i = 0; i < keys.size(); ++i) t.entryCommit(keys[i], entries[i]);
    }
    state.SetIterationTime(seconds(t0, Clock::now()));
  }
  opsIs(state, double(n) * tables);
}

template <class Table>
void swCommitChanged(benchmark::State& state, std::uint32_t n, KeyOrder order) {
  auto const keys = keysFor(n, order);
  auto const a = entriesFor<EntryOf<Table>>(keys);
  auto const b = entriesFor<EntryOf<Table>>(keys, true);
  Table& t = FilledRig<Table>::get(n, order);
  std::uint32_t const passes = passesFor(n);
  bool flip = true;
  for (auto _ : state) {
    auto const t0 = Clock::now();
    for (std::uint32_t p = 0; p < passes; ++p) {
      auto const& e = flip ? b : a;
      for (std::size_t i = 0; i < keys.size(); ++i) t.entryCommit(keys[i], e[i]);
      flip = !flip;
    }
    state.SetIterationTime(seconds(t0, Clock::now()));
  }
  if (!flip) {
    for (std::size_t i = 0; i < keys.size(); ++i) t.entryCommit(keys[i], a[i]);
  }
  opsIs(state, double(n) * passes);
}

template <class Table>
void swCommitUnchanged(benchmark::State& state, std::uint32_t n, KeyOrder order) {
  auto const keys = keysFor(n, order);
  auto const a = entriesFor<EntryOf<Table>>(keys);
  Table& t = FilledRig<Table>::get(n, order);
  std::uint32_t const passes = passesFor(n);
  for (auto _ : state) {
    auto const t0 = Clock::now();
    for (std::uint32_t p = 0; p < passes; ++p) {
      for (std::size_t i = 0; i < keys.size(); ++i) t.entryCommit(keys[i], a[i]);
    }
    state.SetIterationTime(seconds(t0, Clock::now()));
  }
  opsIs(state, double(n) * passes);
}

template <class Table>
void swRemove(benchmark::State& state, std::uint32_t n, KeyOrder order) {
  auto const keys = keysFor(n, order);
  auto const removal = keysFor(n, order, 0, 3);
  std::uint32_t const tables = tablesPerIteration(n);
  for (auto _ : state) {
    std::vector<Rig<Table>> rigs(tables);
    for (auto& rig : rigs) fill(*rig.table, keys);
    auto const t0 = Clock::now();
    for (auto& rig : rigs) {
      Table& t = *rig.table;
      for (std::uint32_t k : removal) t.entryRemove(k);
    }
    state.SetIterationTime(seconds(t0, Clock::now()));
  }
  opsIs(state, double(n) * tables);
}

template <class Table>
void swEntry(benchmark::State& state, std::uint32_t n, KeyOrder order) {
  auto const keys = keysFor(n, order);
  Table& t = FilledRig<Table>::get(n, order);
  std::uint32_t const passes = passesFor(n);
  for (auto _ : state) {
    auto const t0 = Clock::now();
    for (std::uint32_t p = 0; p < passes; ++p) {
      for (std::uint32_t k : keys) {
        EntryOf<Table> const e = t.entry(k);
        benchmark::DoNotOptimize(e);
      }
    }
    state.SetIterationTime(seconds(t0, Clock::now()));
  }
  opsIs(state, double(n) * passes);
}

template <class Table>
void swEntryHas(benchmark::State& state, std::uint32_t n, KeyOrder order) {
  auto const keys = keysFor(n, order);
  Table& t = FilledRig<Table>::get(n, order);
  std::uint32_t const passes = passesFor(n);
  for (auto _ : state) {
    std::uint32_t found = 0;
    auto const t0 = Clock::now();
    for (std::uint32_t p = 0; p < passes; ++p) {
      for (std::uint32_t k : keys) found += t.entryHas(k);
    }
    benchmark::DoNotOptimize(found);
    state.SetIterationTime(seconds(t0, Clock::now()));
  }
  opsIs(state, double(n) * passes);
}

template <class Table>
void swWalk(benchmark::State& state, std::uint32_t n, KeyOrder order) {
  auto const keys = keysFor(n, order);
  Table& t = FilledRig<Table>::get(n, order);
  std::uint32_t const passes = passesFor(n);
  for (auto _ : state) {
    std::uint64_t sum = 0;
    auto const t0 = Clock::now();
    for (std::uint32_t p = 0; p < passes; ++p) {
      for (auto it = t.entryIteratorConst(); !it.atEnd(); it.advance()) {
        sum += it.key().value;
        benchmark::DoNotOptimize(it.entry());
      }
    }
    benchmark::DoNotOptimize(sum);
    state.SetIterationTime(seconds(t0, Clock::now()));
  }
  opsIs(state, double(n) * passes);
}

// syncEntries of N rows, the replay, doInitComplete, purgeStaleEntries.
template <class Table>
void swWarmRestart(benchmark::State& state, std::uint32_t n, KeyOrder order) {
  Restart<EntryOf<Table>> const hw(n, order);
  std::uint32_t const tables = tablesPerIteration(n);
  for (auto _ : state) {
    std::vector<std::unique_ptr<Rig<Table>>> rigs;
    for (std::uint32_t i = 0; i < tables; ++i)
      rigs.push_back(std::make_unique<Rig<Table>>(false, &hw));
    auto const t0 = Clock::now();
    for (auto& rig : rigs) {
      Table& t = *rig->table;
      t.syncEntries();
      for (auto const& c : hw.replay) t.entryCommit(c.key, c.entry);
      t.doInitComplete();
      t.purgeStaleEntries();
    }
    state.SetIterationTime(seconds(t0, Clock::now()));
    auto const& s = rigs.front()->table->statistics();
    if (s.entryStale != hw.stale || rigs.front()->table->syncedEntrys() != 0) {
      state.SkipWithError("the restart did not reconcile as planned");
      break;
    }
  }
  opsIs(state, double(n) * tables);
}

// Bytes per resolved entry and per synced entry: what the allocator hands
// out (Pooler blocks, size-class rounded, directory included), and what the
// allocation trackers count (node slots and bucket headers).
template <class Table>
void swMemory(benchmark::State& state, std::uint32_t n, KeyOrder order) {
  using ROps = typename Table::ResolvedEntryColl::Ops;
  using SOps = typename Table::SyncedEntryColl::Ops;
  auto const keys = keysFor(n, order);
  Restart<EntryOf<Table>> const hw(n, order);
  for (auto _ : state) {
    Rig<Table> rig;
    Table& t = *rig.table;
    auto const pool0 = Pooler::stats();
    std::int64_t const node0 = ROps::tracker.liveBytes();
    std::int64_t const hdr0 = Kiva::HashMap2018Generic::bucketHeaderTracker_.liveBytes();
    fill(t, keys);
    auto const pool1 = Pooler::stats();
    state.counters["resolvedBytesPerEntry"] = double(pool1.liveBytes - pool0.liveBytes) / n;
    state.counters["resolvedChunkBytesPerEntry"] = double(pool1.chunkBytes - pool0.chunkBytes) / n;
    state.counters["resolvedTrackedBytesPerEntry"] =
        double(ROps::tracker.liveBytes() - node0 +
               Kiva::HashMap2018Generic::bucketHeaderTracker_.liveBytes() - hdr0) /
        n;
    state.counters["resolvedSlotsPerEntry"] =
        double(t.resolvedEntryColl().allocatedSlots()) / t.resolvedEntrys();
    state.counters["resolvedNodeBytes"] = sizeof(typename Table::HN_ResolvedEntry);

    Rig<Table> restarted(false, &hw);
    auto const pool2 = Pooler::stats();
    std::int64_t const snode0 = SOps::tracker.liveBytes();
    std::int64_t const hdr2 = Kiva::HashMap2018Generic::bucketHeaderTracker_.liveBytes();
    restarted.table->syncEntries();
    auto const pool3 = Pooler::stats();
    state.counters["syncedBytesPerEntry"] = double(pool3.liveBytes - pool2.liveBytes) / n;
    state.counters["syncedTrackedBytesPerEntry"] =
        double(SOps::tracker.liveBytes() - snode0 +
               Kiva::HashMap2018Generic::bucketHeaderTracker_.liveBytes() - hdr2) /
        n;
    state.counters["syncedNodeBytes"] = sizeof(typename Table::HN_SyncedEntry);
    restarted.table->doInitComplete();
    restarted.table->purgeStaleEntries();
  }
}

// ---- The collection core alone (a table's resolved entries, no engine) ----------

template <class Table>
void coreInsert(benchmark::State& state, std::uint32_t n, KeyOrder order) {
  using Node = typename Table::HN_ResolvedEntry;
  auto const keys = keysFor(n, order);
  auto const entries = entriesFor<EntryOf<Table>>(keys);
  std::uint32_t const tables = tablesPerIteration(n);
  for (auto _ : state) {
    std::vector<std::unique_ptr<typename Table::ResolvedEntryColl>> colls;
    for (std::uint32_t i = 0; i < tables; ++i) {
      colls.push_back(std::make_unique<typename Table::ResolvedEntryColl>());
    }
    auto const t0 = Clock::now();
    for (auto& c : colls) {
      for (std::size_t i = 0; i < keys.size(); ++i) c->insert(Node{{}, keys[i], entries[i]});
    }
    state.SetIterationTime(seconds(t0, Clock::now()));
  }
  opsIs(state, double(n) * tables);
}

template <class Table>
void coreFind(benchmark::State& state, std::uint32_t n, KeyOrder order) {
  using Node = typename Table::HN_ResolvedEntry;
  auto const keys = keysFor(n, order);
  typename Table::ResolvedEntryColl c;
  for (std::uint32_t k : keys) c.insert(Node{{}, k, entryFor<EntryOf<Table>>(k)});
  std::uint32_t const passes = passesFor(n);
  for (auto _ : state) {
    auto const t0 = Clock::now();
    for (std::uint32_t p = 0; p < passes; ++p) {
      for (std::uint32_t k : keys) benchmark::DoNotOptimize(c[k]->value);
    }
    state.SetIterationTime(seconds(t0, Clock::now()));
  }
  opsIs(state, double(n) * passes);
}

// ---- absl::flat_hash_map ---------------------------------------------------------

template <class Table>
void abslInsert(benchmark::State& state, std::uint32_t n, KeyOrder order) {
  auto const keys = keysFor(n, order);
  auto const entries = entriesFor<EntryOf<Table>>(keys);
  std::uint32_t const tables = tablesPerIteration(n);
  for (auto _ : state) {
    std::vector<AbslMap<EntryOf<Table>>> maps(tables);
    auto const t0 = Clock::now();
    for (auto& m : maps) {
      for (std::size_t i = 0; i < keys.size(); ++i) m.emplace(keys[i], entries[i]);
    }
    state.SetIterationTime(seconds(t0, Clock::now()));
  }
  opsIs(state, double(n) * tables);
}

template <class Table>
void abslFind(benchmark::State& state, std::uint32_t n, KeyOrder order) {
  auto const keys = keysFor(n, order);
  AbslMap<EntryOf<Table>> m;
  for (std::uint32_t k : keys) m.emplace(k, entryFor<EntryOf<Table>>(k));
  std::uint32_t const passes = passesFor(n);
  for (auto _ : state) {
    auto const t0 = Clock::now();
    for (std::uint32_t p = 0; p < passes; ++p) {
      for (std::uint32_t k : keys) {
        auto it = m.find(k);
        benchmark::DoNotOptimize(it->second);
      }
    }
    state.SetIterationTime(seconds(t0, Clock::now()));
  }
  opsIs(state, double(n) * passes);
}

template <class Table>
void abslErase(benchmark::State& state, std::uint32_t n, KeyOrder order) {
  auto const keys = keysFor(n, order);
  auto const removal = keysFor(n, order, 0, 3);
  std::uint32_t const tables = tablesPerIteration(n);
  for (auto _ : state) {
    std::vector<AbslMap<EntryOf<Table>>> maps(tables);
    for (auto& m : maps) {
      for (std::uint32_t k : keys) m.emplace(k, entryFor<EntryOf<Table>>(k));
    }
    auto const t0 = Clock::now();
    for (auto& m : maps) {
      for (std::uint32_t k : removal) m.erase(k);
    }
    state.SetIterationTime(seconds(t0, Clock::now()));
  }
  opsIs(state, double(n) * tables);
}

template <class Table>
void abslMemory(benchmark::State& state, std::uint32_t n, KeyOrder order) {
  using Entry = EntryOf<Table>;
  using Alloc = CountingAllocator<std::pair<std::uint32_t const, Entry>>;
  auto const keys = keysFor(n, order);
  for (auto _ : state) {
    ByteCounter counter;
    absl::flat_hash_map<std::uint32_t, Entry, absl::Hash<std::uint32_t>, std::equal_to<>, Alloc> m(
        0, absl::Hash<std::uint32_t>(), std::equal_to<>(), Alloc(&counter));
    for (std::uint32_t k : keys) m.emplace(k, entryFor<Entry>(k));
    state.counters["bytesPerEntry"] = double(counter.bytes) / n;
  }
}

// ---- absl::flat_hash_map behind a call ------------------------------------------
//
// The keys, entries and loops of abslInsert and abslFind, each operation a call
// the compiler cannot inline: what a library boundary costs the map.

template <class Table>
void abslCallInsert(benchmark::State& state, std::uint32_t n, KeyOrder order) {
  auto const keys = keysFor(n, order);
  auto const entries = entriesFor<EntryOf<Table>>(keys);
  std::uint32_t const tables = tablesPerIteration(n);
  for (auto _ : state) {
    std::vector<AbslMap<EntryOf<Table>>> maps(tables);
    auto const t0 = Clock::now();
    for (auto& m : maps) {
      for (std::size_t i = 0; i < keys.size(); ++i) insertBehindCall(m, keys[i], entries[i]);
    }
    state.SetIterationTime(seconds(t0, Clock::now()));
  }
  opsIs(state, double(n) * tables);
}

template <class Table>
void abslCallFind(benchmark::State& state, std::uint32_t n, KeyOrder order) {
  auto const keys = keysFor(n, order);
  AbslMap<EntryOf<Table>> m;
  for (std::uint32_t k : keys) m.emplace(k, entryFor<EntryOf<Table>>(k));
  std::uint32_t const passes = passesFor(n);
  for (auto _ : state) {
    auto const t0 = Clock::now();
    for (std::uint32_t p = 0; p < passes; ++p) {
      for (std::uint32_t k : keys) benchmark::DoNotOptimize(*findBehindCall(m, k));
    }
    state.SetIterationTime(seconds(t0, Clock::now()));
  }
  opsIs(state, double(n) * passes);
}

// ---- The std::unordered_map table ------------------------------------------------

template <class Table>
struct StdRig {
  using Entry = EntryOf<Table>;
  explicit StdRig(bool replayComplete = true, Restart<Entry> const* hardware = nullptr) {
    util.hardware = hardware;
    table.utilIs(&util);
    if (replayComplete) table.doInitComplete();
  }
  StdNullUtil<Entry> util;
  StdTable<Entry> table;
};

template <class Table>
void stdCommitNew(benchmark::State& state, std::uint32_t n, KeyOrder order) {
  auto const keys = keysFor(n, order);
  auto const entries = entriesFor<EntryOf<Table>>(keys);
  std::uint32_t const tables = tablesPerIteration(n);
  for (auto _ : state) {
    std::vector<std::unique_ptr<StdRig<Table>>> rigs;
    for (std::uint32_t i = 0; i < tables; ++i) rigs.push_back(std::make_unique<StdRig<Table>>());
    auto const t0 = Clock::now();
    for (auto& rig : rigs) {
      for (std::size_t i = 0; i < keys.size(); ++i) rig->table.entryCommit(keys[i], entries[i]);
    }
    state.SetIterationTime(seconds(t0, Clock::now()));
  }
  opsIs(state, double(n) * tables);
}

template <class Table>
void stdCommitUnchanged(benchmark::State& state, std::uint32_t n, KeyOrder order) {
  auto const keys = keysFor(n, order);
  auto const a = entriesFor<EntryOf<Table>>(keys);
  StdRig<Table> rig;
  for (std::size_t i = 0; i < keys.size(); ++i) rig.table.entryCommit(keys[i], a[i]);
  std::uint32_t const passes = passesFor(n);
  for (auto _ : state) {
    auto const t0 = Clock::now();
    for (std::uint32_t p = 0; p < passes; ++p) {
      for (std::size_t i = 0; i < keys.size(); ++i) rig.table.entryCommit(keys[i], a[i]);
    }
    state.SetIterationTime(seconds(t0, Clock::now()));
  }
  opsIs(state, double(n) * passes);
}

template <class Table>
void stdRemove(benchmark::State& state, std::uint32_t n, KeyOrder order) {
  auto const keys = keysFor(n, order);
  auto const removal = keysFor(n, order, 0, 3);
  std::uint32_t const tables = tablesPerIteration(n);
  for (auto _ : state) {
    std::vector<std::unique_ptr<StdRig<Table>>> rigs;
    for (std::uint32_t i = 0; i < tables; ++i) {
      rigs.push_back(std::make_unique<StdRig<Table>>());
      for (std::uint32_t k : keys) rigs.back()->table.entryCommit(k, entryFor<EntryOf<Table>>(k));
    }
    auto const t0 = Clock::now();
    for (auto& rig : rigs) {
      for (std::uint32_t k : removal) rig->table.entryRemove(k);
    }
    state.SetIterationTime(seconds(t0, Clock::now()));
  }
  opsIs(state, double(n) * tables);
}

template <class Table>
void stdEntry(benchmark::State& state, std::uint32_t n, KeyOrder order) {
  auto const keys = keysFor(n, order);
  StdRig<Table> rig;
  for (std::uint32_t k : keys) rig.table.entryCommit(k, entryFor<EntryOf<Table>>(k));
  std::uint32_t const passes = passesFor(n);
  for (auto _ : state) {
    auto const t0 = Clock::now();
    for (std::uint32_t p = 0; p < passes; ++p) {
      for (std::uint32_t k : keys) {
        EntryOf<Table> const e = rig.table.entry(k);
        benchmark::DoNotOptimize(e);
      }
    }
    state.SetIterationTime(seconds(t0, Clock::now()));
  }
  opsIs(state, double(n) * passes);
}

template <class Table>
void stdWarmRestart(benchmark::State& state, std::uint32_t n, KeyOrder order) {
  Restart<EntryOf<Table>> const hw(n, order);
  std::uint32_t const tables = tablesPerIteration(n);
  for (auto _ : state) {
    std::vector<std::unique_ptr<StdRig<Table>>> rigs;
    for (std::uint32_t i = 0; i < tables; ++i) {
      rigs.push_back(std::make_unique<StdRig<Table>>(false, &hw));
    }
    auto const t0 = Clock::now();
    for (auto& rig : rigs) {
      auto& t = rig->table;
      t.syncEntries();
      for (auto const& c : hw.replay) t.entryCommit(c.key, c.entry);
      t.doInitComplete();
      t.purgeStaleEntries();
    }
    state.SetIterationTime(seconds(t0, Clock::now()));
    if (rigs.front()->table.statistics().stale != hw.stale) {
      state.SkipWithError("the restart did not reconcile as planned");
      break;
    }
  }
  opsIs(state, double(n) * tables);
}

template <class Table>
void stdMemory(benchmark::State& state, std::uint32_t n, KeyOrder order) {
  using Entry = EntryOf<Table>;
  auto const keys = keysFor(n, order);
  for (auto _ : state) {
    ByteCounter counter;
    StdTable<Entry, CountingAllocator> t{CountingAllocator<char>(&counter)};
    for (std::uint32_t k : keys) t.entryCommit(k, entryFor<Entry>(k));
    state.counters["resolvedBytesPerEntry"] = double(counter.bytes) / n;
  }
}

// ---- Memory-latency probe ---------------------------------------------------------

// Dependent reads in random order over `lines` cache lines: each read gives
// the next address, so nothing overlaps. Beyond the last-level cache this is
// the cost of one miss to memory, the floor for a lookup in a table that large.
void probe(benchmark::State& state, std::size_t lines) {
  struct alignas(64) Line {
    std::uint32_t next;
  };
  std::vector<Line> buf(lines);
  std::vector<std::uint32_t> order(lines);
  std::iota(order.begin(), order.end(), 0u);
  std::shuffle(order.begin() + 1, order.end(), std::mt19937(5));
  for (std::size_t i = 0; i < lines; ++i) buf[order[i]].next = order[(i + 1) % lines];
  constexpr std::uint32_t kSteps = 1u << 20;
  std::uint32_t at = 0;
  for (auto _ : state) {
    auto const t0 = Clock::now();
    for (std::uint32_t i = 0; i < kSteps; ++i) at = buf[at].next;
    benchmark::DoNotOptimize(at);
    state.SetIterationTime(seconds(t0, Clock::now()));
  }
  opsIs(state, kSteps);
}

// ---- Registration -----------------------------------------------------------------

using BenchFn = void (*)(benchmark::State&, std::uint32_t, KeyOrder);

void add(std::string const& name, BenchFn fn, std::uint32_t n, KeyOrder order, bool memory) {
  auto* b = benchmark::RegisterBenchmark(name.c_str(),
                                         [fn, n, order](benchmark::State& s) { fn(s, n, order); });
  b->Unit(benchmark::kNanosecond);
  if (memory) {
    b->Iterations(1)->Repetitions(1);
  } else {
    b->UseManualTime()->MinTime(0.1);
  }
}

template <class Table>
void addTable() {
  struct Op {
    char const* impl;
    char const* op;
    BenchFn fn;
    bool memory;
  };
  Op const ops[] = {
      {"swtable", "commitNew", &swCommitNew<Table>, false},
      {"swtable", "commitChanged", &swCommitChanged<Table>, false},
      {"swtable", "commitUnchanged", &swCommitUnchanged<Table>, false},
      {"swtable", "remove", &swRemove<Table>, false},
      {"swtable", "entry", &swEntry<Table>, false},
      {"swtable", "entryHas", &swEntryHas<Table>, false},
      {"swtable", "walk", &swWalk<Table>, false},
      {"swtable", "warmRestart", &swWarmRestart<Table>, false},
      {"swtable", "memory", &swMemory<Table>, true},
      {"core", "insert", &coreInsert<Table>, false},
      {"core", "find", &coreFind<Table>, false},
      {"absl", "insert", &abslInsert<Table>, false},
      {"absl", "find", &abslFind<Table>, false},
      {"absl", "erase", &abslErase<Table>, false},
      {"absl", "memory", &abslMemory<Table>, true},
      {"abslcall", "insert", &abslCallInsert<Table>, false},
      {"abslcall", "find", &abslCallFind<Table>, false},
      {"stdtable", "commitNew", &stdCommitNew<Table>, false},
      {"stdtable", "commitUnchanged", &stdCommitUnchanged<Table>, false},
      {"stdtable", "remove", &stdRemove<Table>, false},
      {"stdtable", "entry", &stdEntry<Table>, false},
      {"stdtable", "warmRestart", &stdWarmRestart<Table>, false},
      {"stdtable", "memory", &stdMemory<Table>, true},
  };
  for (KeyOrder order : kOrders) {
    for (std::uint32_t n : kSizes) {
      for (Op const& op : ops) {
        add(std::string(op.impl) + "/" + std::string(Table::kName) + "/" + op.op + "/" +
                std::string(orderName(order)) + "/" + std::to_string(n),
            op.fn, n, order, op.memory);
      }
    }
  }
}

void addProbes() {
  // One line per entry at each N, and a buffer far beyond the last-level cache.
  std::vector<std::size_t> lines(std::begin(kSizes), std::end(kSizes));
  std::size_t const far = std::size_t{1} << 24;  // 1 GiB
  lines.push_back(far);
  for (std::size_t l : lines) {
    auto* b =
        benchmark::RegisterBenchmark(("probe/-/dependentRead/random/" + std::to_string(l)).c_str(),
                                     [l](benchmark::State& s) { probe(s, l); });
    b->Unit(benchmark::kNanosecond)->UseManualTime()->MinTime(0.1);
  }
}

}  // namespace
}  // namespace IfaBench

int main(int argc, char** argv) {
  // The C heap keeps what is freed, as a long-running agent's does, rather
  // than giving it back to the system after each benchmark iteration: the
  // baselines allocate from it, and should not pay for fresh pages on every
  // iteration (the slab allocator keeps its chunks likewise).
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  IfaBench::addTable<CorvaneInt::IfaActionProfile>();
  IfaBench::addTable<CorvaneInt::IfaSwitchId>();
  IfaBench::addProbes();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  IfaBench::FilledRig<CorvaneInt::IfaActionProfile>::release();
  IfaBench::FilledRig<CorvaneInt::IfaSwitchId>::release();
  benchmark::Shutdown();
  return 0;
}
