// The paired measurement: our operation (A) and its baseline (B) timed in
// alternating blocks A B B A inside one process, each block a few thousand
// operations on structures built and touched before the block, and the ratio
// taken per pair of neighbouring blocks. Load that comes and goes on a shared
// machine then moves both halves of a pair alike, and the median of the
// per-pair ratios with its order-statistics interval says how sure the ratio
// is.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace IfaBench {

// One side of a paired measurement. A unit is a fixed number of operations;
// a block runs as many units as make it last about blockSeconds.
class Workload {
 public:
  virtual ~Workload() = default;
  // Operations in one unit.
  virtual double opsPerUnit() const = 0;
  // Before the block, not timed: makes ready what `units` units work on (the
  // fresh tables of an operation that uses them up).
  virtual void prepare(std::uint32_t units) { (void)units; }
  // The block: `units` units. The only code the clock sees.
  virtual void run(std::uint32_t units) = 0;
  // After the block, not timed: checks what the block did (throws
  // std::runtime_error naming what is wrong) and frees what prepare made.
  virtual void finish() {}
};

struct PairedPlan {
  std::uint32_t minPairs = 20;
  double blockSeconds = 0.02;  // blocks of 10-30 ms
  // A unit that alone takes longer than this is a block of its own (a fill,
  // drain or restart of a million keys).
  double maxBlockSeconds = 0.03;
  std::uint32_t minPairsSingleUnit = 10;
};

struct PairedResult {
  std::vector<double> ratios;            // per pair: A's ns per operation over B's
  double median = 0, low = 0, high = 0;  // the ratio's median and 95% interval
  double nsA = 0, nsB = 0;               // medians of the blocks' ns per operation
  std::uint32_t unitsA = 0, unitsB = 0;  // units per block
  double opsPerBlockA = 0, opsPerBlockB = 0;
  double loadAverage = 0;   // one-minute load average at the start
  double stealPercent = 0;  // steal time over the measurement, % of the CPU's time
  int cpu = -1;             // the CPU the process is pinned to, or -1
};

// The rank k of the interval [r(k), r(n+1-k)] of n sorted per-pair ratios:
// the largest k with P(Bin(n, 1/2) < k) <= 0.025. 0 when n is too small for
// any interval.
std::uint32_t intervalRank(std::uint32_t n);

// Median and interval of `ratios` (sorted in place).
void summarise(std::vector<double>& ratios, double& median, double& low, double& high);

// Times one block of `units` units of `w`: prepare, the timed run, finish.
// Nanoseconds per operation. The one timed loop of the benchmarks.
double timeBlock(Workload& w, std::uint32_t units);

// Calibrates both sides, runs one untimed A B B A round, then A B B A rounds
// until the plan's pairs are reached.
PairedResult runPaired(Workload& a, Workload& b, PairedPlan const& plan);

// Pins the process to one CPU where the machine allows: the one named by the
// environment variable IFA_BENCH_CPU, else the last one allowed. Returns the
// CPU, or -1 when pinning failed.
int pinToOneCpu();

// Steal time and total time of one CPU (or of all when cpu < 0), in clock ticks
// since boot, from /proc/stat.
struct CpuTicks {
  unsigned long long steal = 0, total = 0;
};
CpuTicks cpuTicks(int cpu);
double loadAverage();

}  // namespace IfaBench
