// The paired measurement of Paired.h.
#include "Paired.h"

#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace IfaBench {
namespace {

// The thread's CPU time: time the thread spends descheduled on a shared
// machine does not count; its cache misses, page faults and stalls do.
double threadSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  std::size_t const n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Units per block of `w`: as many as fill the plan's block time, found by
// timing one unit, then a block of the estimated size. `single` tells that
// one unit alone is longer than a block may be.
std::uint32_t calibrate(Workload& w, PairedPlan const& plan, bool& single) {
  double perUnit = timeBlock(w, 1) * w.opsPerUnit() * 1e-9;
  single = perUnit > plan.maxBlockSeconds;
  if (single) return 1;
  for (int i = 0; i < 3; ++i) {
    auto const units = static_cast<std::uint32_t>(
        std::clamp(plan.blockSeconds / std::max(perUnit, 1e-9), 1.0, 1e7));
    double const s = timeBlock(w, units) * w.opsPerUnit() * units * 1e-9;
    perUnit = s / units;
    if (s > plan.blockSeconds / 2 && s < plan.maxBlockSeconds) return units;
  }
  return static_cast<std::uint32_t>(
      std::clamp(plan.blockSeconds / std::max(perUnit, 1e-9), 1.0, 1e7));
}

}  // namespace

std::uint32_t intervalRank(std::uint32_t n) {
  // P(Bin(n, 1/2) < k) for k = 1, 2, ...: the sum of C(n, i) / 2^n for i < k.
  double p = std::ldexp(1.0, -static_cast<int>(n));  // C(n, 0) / 2^n
  double below = 0;
  std::uint32_t k = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    below += p;  // now P(X <= i) = P(X < i + 1)
    if (below > 0.025) break;
    k = i + 1;
    p = p * double(n - i) / double(i + 1);
  }
  return k;
}

void summarise(std::vector<double>& ratios, double& med, double& low, double& high) {
  std::sort(ratios.begin(), ratios.end());
  med = ratios.empty() ? 0 : median(ratios);
  auto const n = static_cast<std::uint32_t>(ratios.size());
  std::uint32_t const k = intervalRank(n);
  if (k == 0) {
    low = 0;
    high = INFINITY;
    return;
  }
  low = ratios[k - 1];
  high = ratios[n - k];
}

double timeBlock(Workload& w, std::uint32_t units) {
  w.prepare(units);
  double const t0 = threadSeconds();
  w.run(units);
  double const t1 = threadSeconds();
  w.finish();
  return (t1 - t0) * 1e9 / (w.opsPerUnit() * units);
}

PairedResult runPaired(Workload& a, Workload& b, PairedPlan const& plan) {
  PairedResult r;
  r.cpu = sched_getcpu();
  r.loadAverage = loadAverage();
  CpuTicks const ticks0 = cpuTicks(r.cpu);
  bool singleA = false, singleB = false;
  r.unitsA = calibrate(a, plan, singleA);
  r.unitsB = calibrate(b, plan, singleB);
  r.opsPerBlockA = a.opsPerUnit() * r.unitsA;
  r.opsPerBlockB = b.opsPerUnit() * r.unitsB;
  bool const single = singleA || singleB;
  std::uint32_t const pairs = single ? plan.minPairsSingleUnit : plan.minPairs;
  if (!single) {  // a round that touches both sides' code and memory once more
    timeBlock(a, r.unitsA);
    timeBlock(b, r.unitsB);
  }
  std::vector<double> nsA, nsB;
  while (r.ratios.size() < pairs) {
    double const a1 = timeBlock(a, r.unitsA);
    double const b1 = timeBlock(b, r.unitsB);
    double const b2 = timeBlock(b, r.unitsB);
    double const a2 = timeBlock(a, r.unitsA);
    r.ratios.push_back(a1 / b1);
    r.ratios.push_back(a2 / b2);
    nsA.insert(nsA.end(), {a1, a2});
    nsB.insert(nsB.end(), {b1, b2});
  }
  summarise(r.ratios, r.median, r.low, r.high);
  r.nsA = median(nsA);
  r.nsB = median(nsB);
  CpuTicks const ticks1 = cpuTicks(r.cpu);
  if (ticks1.total > ticks0.total) {
    r.stealPercent =
        100.0 * double(ticks1.steal - ticks0.steal) / double(ticks1.total - ticks0.total);
  }
  return r;
}

int pinToOneCpu() {
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return -1;
  int cpu = -1;
  if (char const* want = std::getenv("IFA_BENCH_CPU"); want != nullptr && *want != '\0') {
    cpu = std::atoi(want);
  } else {
    for (int c = 0; c < CPU_SETSIZE; ++c) {
      if (CPU_ISSET(c, &allowed)) cpu = c;
    }
  }
  if (cpu < 0) return -1;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  return sched_setaffinity(0, sizeof one, &one) == 0 ? cpu : -1;
}

CpuTicks cpuTicks(int cpu) {
  std::ifstream in("/proc/stat");
  std::string const want = cpu < 0 ? "cpu" : "cpu" + std::to_string(cpu);
  std::string line;
  CpuTicks t;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string name;
    fields >> name;
    if (name != want) continue;
    // user nice system idle iowait irq softirq steal (guest time is in user)
    unsigned long long v[8] = {};
    for (auto& x : v) fields >> x;
    for (auto x : v) t.total += x;
    t.steal = v[7];
    break;
  }
  return t;
}

double loadAverage() {
  double one = 0;
  if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf", &one) != 1) one = 0;
    std::fclose(f);
  }
  return one;
}

}  // namespace IfaBench
