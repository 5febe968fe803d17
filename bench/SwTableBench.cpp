// Benchmarks of the software tables beside what a platform team could use
// instead, each gated figure a paired measurement (Paired.h):
//
//   paired/<target>/<Table>/<op>/<baseline>/<order>/<N>
//       our table's <op> (Workloads.h) against the baseline's (target AA:
//       the baseline against a second copy of itself), in
//       alternating A B B A blocks; counters: the median of the per-pair
//       ratios ours/baseline ("ratio") with its 95% interval ("low", "high"),
//       the limit the target sets ("limit"; 0 for a row only reported), each
//       side's median ns per operation, the pairs, the load average at the
//       start and the steal time over the row
//   memory/<Table>/<impl>/<N>
//       bytes per entry Pooler hands out for a fill of N keys, every map
//       allocating through it
//   slots/<Table>/<impl>
//       slots per entry read after every insert of one fill to 2,000,000 keys
//       (N >= 1,000): mean and max
//
// The process pins itself to one CPU first (Paired.h). Keys are 0..N-1, in
// ascending ("dense") or shuffled order. bench/report.py turns the JSON
// output into bench/results.md and bench/results.png.
//
// With --count=<Table>/<op>/<impl>/<order>/<N> the binary instead runs one
// block of that workload for the instruction and cache counts of
// bench/counts.py: under valgrind --tool=callgrind --instr-atstart=no, only
// the block is counted.
#include <absl/container/flat_hash_map.h>
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <valgrind/callgrind.h>

#include <boost/unordered/unordered_flat_map.hpp>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "Paired.h"
#include "RawMaps.h"
#include "StdTable.h"
#include "Workloads.h"
#include "tables/IfaTables.h"

namespace IfaBench {
namespace {

// ---- Paired rows ------------------------------------------------------------------

struct Row {
  char const* target;  // "T1".."T4", or "R" for a row only reported
  Op op;
  Impl baseline;
  std::uint32_t n;
  KeyOrder order;
  double limit;            // ours/baseline at most this; 0: reported only
  Impl side = Impl::ours;  // what stands for ours: the baseline itself in a check of the harness
};

constexpr std::uint32_t kMillion = 1000000;

// The rows, both tables each, shuffled keys unless a row says otherwise.
// A warm restart "at least 2.5 times faster than the std table" is a ratio
// ours/std of at most 0.4.
constexpr Row kRows[] = {
    {"T1", Op::unchanged, Impl::flat, 100, KeyOrder::shuffled, 1.15},
    {"T1", Op::unchanged, Impl::flat, 10000, KeyOrder::shuffled, 1.15},
    {"T1", Op::unchanged, Impl::flat, kMillion, KeyOrder::shuffled, 1.3},
    {"T1", Op::unchanged, Impl::absl, kMillion, KeyOrder::shuffled, 1.5},
    {"T1", Op::unchanged, Impl::boost, kMillion, KeyOrder::shuffled, 1.5},
    {"T2", Op::fill, Impl::flat, kMillion, KeyOrder::shuffled, 1.25},
    {"T2", Op::fill, Impl::std, 100, KeyOrder::shuffled, 1.25},
    {"T2", Op::fill, Impl::std, 10000, KeyOrder::shuffled, 1.25},
    {"T3", Op::drain, Impl::std, 100, KeyOrder::shuffled, 1.25},
    {"T3", Op::drain, Impl::std, 10000, KeyOrder::shuffled, 1.25},
    {"T4", Op::restart, Impl::std, 100, KeyOrder::shuffled, 1.0},
    {"T4", Op::restart, Impl::std, 10000, KeyOrder::shuffled, 1.0},
    {"T4", Op::restart, Impl::flat, 100, KeyOrder::shuffled, 1.25},
    {"T4", Op::restart, Impl::flat, 10000, KeyOrder::shuffled, 1.25},
    {"T4", Op::restart, Impl::std, kMillion, KeyOrder::shuffled, 0.4},
    {"T4", Op::restart, Impl::probe, kMillion, KeyOrder::shuffled, 2.5},
    // Dense keys against the std table's identity hash: reported, not gated.
    {"R", Op::unchanged, Impl::std, 10000, KeyOrder::dense, 0},
    {"R", Op::restart, Impl::std, kMillion, KeyOrder::dense, 0},
    // The harness against itself: a baseline paired with a second copy of
    // itself, whose interval should hold 1.
    {"AA", Op::unchanged, Impl::flat, 10000, KeyOrder::shuffled, 0, Impl::flat},
    {"AA", Op::fill, Impl::std, 10000, KeyOrder::shuffled, 0, Impl::std},
};

void pairedRow(benchmark::State& state, std::string const& table, Row const& row) {
  auto a = makeWorkload(table, row.side, row.op, row.n, row.order);
  auto b = makeWorkload(table, row.baseline, row.baseline == Impl::probe ? Op::read : row.op, row.n,
                        row.order);
  PairedResult r;
  for (auto _ : state) {
    try {
      r = runPaired(*a, *b, PairedPlan{});
    } catch (std::exception const& e) {
      state.SkipWithError(e.what());
      return;
    }
  }
  state.counters["ratio"] = r.median;
  state.counters["low"] = r.low;
  state.counters["high"] = r.high;
  state.counters["limit"] = row.limit;
  state.counters["nsOurs"] = r.nsA;
  state.counters["nsBaseline"] = r.nsB;
  state.counters["pairs"] = double(r.ratios.size());
  state.counters["opsPerBlockOurs"] = r.opsPerBlockA;
  state.counters["opsPerBlockBaseline"] = r.opsPerBlockB;
  state.counters["loadAverage"] = r.loadAverage;
  state.counters["stealPercent"] = r.stealPercent;
  state.counters["cpu"] = r.cpu;
}

template <class Table>
void addRows() {
  std::string const table(Table::kName);
  for (Row const& row : kRows) {
    std::string const name = std::string("paired/") + row.target + "/" + table + "/" +
                             std::string(opName(row.op)) + "/" +
                             std::string(implName(row.baseline)) + "/" +
                             std::string(orderName(row.order)) + "/" + std::to_string(row.n);
    benchmark::RegisterBenchmark(name.c_str(),
                                 [table, row](benchmark::State& s) { pairedRow(s, table, row); })
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
  }
}

// ---- Memory -------------------------------------------------------------------------

// N = round(10^3 * 2000^(i/15)), i = 0..15: 1,000 to 2,000,000.
std::vector<std::uint32_t> sweepSizes() {
  std::vector<std::uint32_t> out;
  for (int i = 0; i <= 15; ++i) {
    out.push_back(static_cast<std::uint32_t>(std::lround(1e3 * std::pow(2000.0, i / 15.0))));
  }
  return out;
}

template <class Entry>
using AbslPoolerMap =
    absl::flat_hash_map<std::uint32_t, Entry, absl::Hash<std::uint32_t>, std::equal_to<>,
                        PoolerAllocator<std::pair<std::uint32_t const, Entry>>>;
template <class Entry>
using BoostPoolerMap =
    boost::unordered_flat_map<std::uint32_t, Entry, boost::hash<std::uint32_t>, std::equal_to<>,
                              PoolerAllocator<std::pair<std::uint32_t const, Entry>>>;

// Bytes Pooler hands out for the fill of `keys` into what `make` returns,
// per key. The structure is made before the count starts.
template <class Make, class Commit>
double bytesPerEntry(std::vector<std::uint32_t> const& keys, Make make, Commit commit) {
  auto s = make();
  std::size_t const before = poolerLiveBytes();
  for (std::uint32_t k : keys) commit(*s, k);
  return double(poolerLiveBytes() - before) / double(keys.size());
}

template <class Table>
double memoryOf(Impl impl, std::uint32_t n) {
  using Entry = typename Table::Entry;
  auto const keys = keysFor(n, KeyOrder::shuffled);
  switch (impl) {
    case Impl::ours:
      return bytesPerEntry(
          keys, [] { return std::make_unique<Rig<Table>>(); },
          [](Rig<Table>& r, std::uint32_t k) { r.table->entryCommit(k, entryFor<Entry>(k)); });
    case Impl::std:
    case Impl::flat: {
      auto fill = [&](auto maps) {
        using Maps = decltype(maps);
        using T = StdTable<Entry, Maps, PoolerAllocator>;
        struct R {
          StdNullUtil<Entry, Maps, PoolerAllocator> util;
          T t;
        };
        return bytesPerEntry(
            keys,
            [] {
              auto r = std::make_unique<R>();
              r->t.utilIs(&r->util);
              r->t.doInitComplete();
              return r;
            },
            [](R& r, std::uint32_t k) { r.t.entryCommit(k, entryFor<Entry>(k)); });
      };
      return impl == Impl::std ? fill(StdMaps{}) : fill(FlatMaps{});
    }
    case Impl::absl:
      return bytesPerEntry(
          keys, [] { return std::make_unique<AbslPoolerMap<Entry>>(); },
          [](auto& m, std::uint32_t k) { m.emplace(k, entryFor<Entry>(k)); });
    case Impl::boost:
      return bytesPerEntry(
          keys, [] { return std::make_unique<BoostPoolerMap<Entry>>(); },
          [](auto& m, std::uint32_t k) { m.emplace(k, entryFor<Entry>(k)); });
    case Impl::probe:
      break;
  }
  return 0;
}

// Slots per entry of a fill to 2,000,000 keys, read after every insert from
// the 1,000th on: our core's allocated slots (where it tells them), the raw
// maps' slot arrays.
template <class Size, class Slots, class Insert>
void slotsOver(benchmark::State& state, Size size, Slots slots, Insert insert) {
  auto const keys = keysFor(2000000, KeyOrder::shuffled);
  double sum = 0, max = 0;
  std::uint64_t reads = 0;
  for (std::uint32_t k : keys) {
    insert(k);
    double const n = double(size());
    if (n < 1000) continue;
    double const perEntry = double(slots()) / n;
    sum += perEntry;
    max = std::max(max, perEntry);
    ++reads;
  }
  state.counters["slotsPerEntryMean"] = sum / double(reads);
  state.counters["slotsPerEntryMax"] = max;
}

template <class Table>
void slotsOf(benchmark::State& state, Impl impl) {
  using Entry = typename Table::Entry;
  for (auto _ : state) {
    if (impl == Impl::ours) {
      Rig<Table> r;
      Table& t = *r.table;
      if constexpr (requires { t.resolvedEntryColl().allocatedSlots(); }) {
        slotsOver(
            state, [&] { return t.resolvedEntrys(); },
            [&] { return t.resolvedEntryColl().allocatedSlots(); },
            [&](std::uint32_t k) { t.entryCommit(k, entryFor<Entry>(k)); });
      } else {
        state.SkipWithError("the core does not tell its allocated slots");
      }
    } else if (impl == Impl::absl) {
      AbslMap<Entry> m;
      slotsOver(
          state, [&] { return m.size(); }, [&] { return m.capacity(); },
          [&](std::uint32_t k) { m.emplace(k, entryFor<Entry>(k)); });
    } else {
      BoostMap<Entry> m;
      slotsOver(
          state, [&] { return m.size(); }, [&] { return m.bucket_count(); },
          [&](std::uint32_t k) { m.emplace(k, entryFor<Entry>(k)); });
    }
  }
}

template <class Table>
void addMemory() {
  std::string const table(Table::kName);
  for (Impl impl : {Impl::ours, Impl::absl, Impl::boost, Impl::flat, Impl::std}) {
    for (std::uint32_t n : sweepSizes()) {
      benchmark::RegisterBenchmark(
          ("memory/" + table + "/" + std::string(implName(impl)) + "/" + std::to_string(n)).c_str(),
          [impl, n](benchmark::State& s) {
            for (auto _ : s) s.counters["bytesPerEntry"] = memoryOf<Table>(impl, n);
          })
          ->Iterations(1);
    }
  }
  for (Impl impl : {Impl::ours, Impl::absl, Impl::boost}) {
    benchmark::RegisterBenchmark(("slots/" + table + "/" + std::string(implName(impl))).c_str(),
                                 [impl](benchmark::State& s) { slotsOf<Table>(s, impl); })
        ->Iterations(1);
  }
}

// ---- Counting mode ------------------------------------------------------------------

void dumpPhase(char const* phase) {
  CALLGRIND_DUMP_STATS_AT(phase);
}

// Runs one block of the workload that `workload` names (<Table>/<op>/<impl>/<order>/<N>)
// with callgrind's instrumentation on around it only; a workload on one
// structure in place runs a whole pass untimed first (its caches warm), then
// one pass counted. Prints the operations counted.
int countMode(std::string const& workload) {
  std::vector<std::string> parts;
  for (std::size_t at = 0;;) {
    std::size_t const slash = workload.find('/', at);
    parts.push_back(workload.substr(at, slash - at));
    if (slash == std::string::npos) break;
    at = slash + 1;
  }
  Impl impl{};
  Op op{};
  if (parts.size() != 5 || !opFromName(parts[1], op) || !implFromName(parts[2], impl) ||
      (parts[3] != "dense" && parts[3] != "shuffled") || parts[4].empty() || parts[4].size() > 9 ||
      parts[4].find_first_not_of("0123456789") != std::string::npos || std::stoul(parts[4]) == 0) {
    std::fprintf(stderr,
                 "--count: want <Table>/<op>/<impl>/<dense|shuffled>/<N> (N from 1 to "
                 "999999999), got '%s'\n",
                 workload.c_str());
    return 2;
  }
  std::uint32_t const n = static_cast<std::uint32_t>(std::stoul(parts[4]));
  KeyOrder const order = parts[3] == "dense" ? KeyOrder::dense : KeyOrder::shuffled;
  auto w = makeWorkload(parts[0], impl, op, n, order);
  if (!w) {
    std::fprintf(stderr, "--count: no workload '%s' (table, or op of that impl, unknown)\n",
                 workload.c_str());
    return 2;
  }
  bool const inPlace = op == Op::unchanged || op == Op::read;
  auto const units =
      inPlace ? static_cast<std::uint32_t>(std::ceil(double(n) / w->opsPerUnit())) : 1u;
  w->prepare(units);
  CALLGRIND_START_INSTRUMENTATION;
  if (inPlace) w->run(units);
  CALLGRIND_TOGGLE_COLLECT;
  if (op == Op::restart) phaseMark = &dumpPhase;
  w->run(units);
  phaseMark = nullptr;
  CALLGRIND_TOGGLE_COLLECT;
  CALLGRIND_STOP_INSTRUMENTATION;
  w->finish();
  std::printf("ops=%.0f\n", w->opsPerUnit() * units);
  return 0;
}

}  // namespace
}  // namespace IfaBench

int main(int argc, char** argv) {
  // The C heap keeps what is freed, as a long-running agent's does, rather
  // than giving it back to the system after each block: the baselines
  // allocate from it, and should not pay for fresh pages on every block (the
  // slab allocator keeps its chunks likewise).
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  if (argc == 2 && std::strncmp(argv[1], "--count=", 8) == 0) {
    return IfaBench::countMode(argv[1] + 8);
  }
  // The interval's ranks, checked against P(Bin(n, 1/2) < k) worked by hand:
  // P(X <= 5) = 0.0207 for n = 20, P(X <= 1) = 0.0107 for n = 10, and
  // P(X = 0) = 0.031 for n = 5 (no interval).
  if (IfaBench::intervalRank(20) != 6 || IfaBench::intervalRank(10) != 2 ||
      IfaBench::intervalRank(5) != 0) {
    std::fprintf(stderr, "ifa-bench: the interval's order-statistic ranks are wrong\n");
    return 1;
  }
  int const cpu = IfaBench::pinToOneCpu();
  benchmark::AddCustomContext("pinned_cpu", std::to_string(cpu));
  IfaBench::addRows<CorvaneInt::IfaActionProfile>();
  IfaBench::addRows<CorvaneInt::IfaSwitchId>();
  IfaBench::addMemory<CorvaneInt::IfaActionProfile>();
  IfaBench::addMemory<CorvaneInt::IfaSwitchId>();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
