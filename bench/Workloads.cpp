// The workloads of Workloads.h.
#include "Workloads.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "RawMaps.h"
#include "StdTable.h"
#include "tables/IfaTables.h"

namespace IfaBench {

void (*phaseMark)(char const* phase) = nullptr;

namespace {

void mark(char const* phase) {
  if (phaseMark != nullptr) phaseMark(phase);
}

void check(bool ok, std::string_view what) {
  if (!ok) throw std::runtime_error("benchmark check failed: " + std::string(what));
}

// Operations per unit for a workload that runs on one structure in place:
// slices of the key sequence, taken in turn.
constexpr std::uint32_t kSlice = 1024;

// Our table with a NullUtil and a hardware table (Rig of BenchSupport.h).
template <class T>
struct OursKit {
  using Table = T;
  using Entry = typename T::Entry;
  struct Rig {
    explicit Rig(bool replayComplete = true, Restart<Entry> const* hardware = nullptr)
        : rig(replayComplete, hardware) {}
    T& table() { return *rig.table; }
    IfaBench::Rig<T> rig;
  };
  static std::size_t size(Rig& r) { return r.table().resolvedEntrys(); }
  static std::uint64_t stale(Rig& r) { return r.table().statistics().entryStale; }
};

// The std or flat table with its do-nothing Util.
template <class E, class Maps>
struct StdKit {
  using Entry = E;
  using Table = StdTable<E, Maps>;
  struct Rig {
    explicit Rig(bool replayComplete = true, Restart<E> const* hardware = nullptr) {
      util.hardware = hardware;
      t.utilIs(&util);
      if (replayComplete) t.doInitComplete();
    }
    Table& table() { return t; }
    StdNullUtil<E, Maps> util;
    Table t;
  };
  static std::size_t size(Rig& r) { return r.t.resolvedEntrys(); }
  static std::uint64_t stale(Rig& r) { return r.t.statistics().stale; }
};

template <class Entry>
std::vector<Entry> entriesFor(std::vector<std::uint32_t> const& keys) {
  std::vector<Entry> out;
  out.reserve(keys.size());
  for (std::uint32_t k : keys) out.push_back(entryFor<Entry>(k));
  return out;
}

// Walks a key sequence in slices, wrapping around.
struct Cursor {
  std::uint32_t n, pos = 0;
  template <class F>
  void forOps(std::uint64_t ops, F&& f) {
    for (std::uint64_t i = 0; i < ops; ++i) {
      f(pos);
      if (++pos == n) pos = 0;
    }
  }
};

template <class Kit>
class Unchanged final : public Workload {
 public:
  Unchanged(std::uint32_t n, KeyOrder order)
      : keys_(keysFor(n, order)), entries_(entriesFor<typename Kit::Entry>(keys_)), at_{n} {
    for (std::size_t i = 0; i < keys_.size(); ++i) rig_.table().entryCommit(keys_[i], entries_[i]);
  }
  double opsPerUnit() const override { return std::min<std::uint32_t>(at_.n, kSlice); }
  void run(std::uint32_t units) override {
    auto& t = rig_.table();
    at_.forOps(std::uint64_t(units) * std::uint64_t(opsPerUnit()),
               [&](std::uint32_t i) { t.entryCommit(keys_[i], entries_[i]); });
  }
  void finish() override {
    check(Kit::size(rig_) == keys_.size(), "unchanged commits kept N keys");
  }

 private:
  std::vector<std::uint32_t> keys_;
  std::vector<typename Kit::Entry> entries_;
  typename Kit::Rig rig_;
  Cursor at_;
};

template <class Kit>
class Fill final : public Workload {
 public:
  Fill(std::uint32_t n, KeyOrder order)
      : keys_(keysFor(n, order)), entries_(entriesFor<typename Kit::Entry>(keys_)) {}
  double opsPerUnit() const override { return double(keys_.size()); }
  void prepare(std::uint32_t units) override {
    for (std::uint32_t i = 0; i < units; ++i)
      rigs_.push_back(std::make_unique<typename Kit::Rig>());
  }
  void run(std::uint32_t) override {
    for (auto& rig : rigs_) {
      auto& t = rig->table();
      for (std::size_t i = 0; i < keys_.size(); ++i) t.entryCommit(keys_[i], entries_[i]);
    }
  }
  void finish() override {
    for (auto& rig : rigs_) check(Kit::size(*rig) == keys_.size(), "a fill holds N keys");
    rigs_.clear();
  }

 private:
  std::vector<std::uint32_t> keys_;
  std::vector<typename Kit::Entry> entries_;
  std::vector<std::unique_ptr<typename Kit::Rig>> rigs_;
};

template <class Kit>
class Drain final : public Workload {
 public:
  Drain(std::uint32_t n, KeyOrder order)
      : keys_(keysFor(n, order)),
        removal_(keysFor(n, order, 0, 3)),
        entries_(entriesFor<typename Kit::Entry>(keys_)) {}
  double opsPerUnit() const override { return double(keys_.size()); }
  void prepare(std::uint32_t units) override {
    for (std::uint32_t u = 0; u < units; ++u) {
      rigs_.push_back(std::make_unique<typename Kit::Rig>());
      auto& t = rigs_.back()->table();
      for (std::size_t i = 0; i < keys_.size(); ++i) t.entryCommit(keys_[i], entries_[i]);
    }
  }
  void run(std::uint32_t) override {
    for (auto& rig : rigs_) {
      auto& t = rig->table();
      for (std::uint32_t k : removal_) t.entryRemove(k);
    }
  }
  void finish() override {
    for (auto& rig : rigs_) check(Kit::size(*rig) == 0, "a drain leaves no key");
    rigs_.clear();
  }

 private:
  std::vector<std::uint32_t> keys_, removal_;
  std::vector<typename Kit::Entry> entries_;
  std::vector<std::unique_ptr<typename Kit::Rig>> rigs_;
};

template <class Kit>
class WarmRestart final : public Workload {
 public:
  WarmRestart(std::uint32_t n, KeyOrder order) : hw_(n, order) {}
  double opsPerUnit() const override { return double(hw_.replay.size()); }
  void prepare(std::uint32_t units) override {
    for (std::uint32_t u = 0; u < units; ++u) {
      rigs_.push_back(std::make_unique<typename Kit::Rig>(false, &hw_));
    }
  }
  void run(std::uint32_t) override {
    for (auto& rig : rigs_) {
      auto& t = rig->table();
      t.syncEntries();
      mark("read-back");
      for (auto const& c : hw_.replay) t.entryCommit(c.key, c.entry);
      mark("replay");
      t.doInitComplete();
      t.purgeStaleEntries();
      mark("purge");
    }
  }
  void finish() override {
    for (auto& rig : rigs_)
      check(Kit::stale(*rig) == hw_.stale, "the restart purged the stale rows");
    rigs_.clear();
  }

 private:
  Restart<typename Kit::Entry> const hw_;
  std::vector<std::unique_ptr<typename Kit::Rig>> rigs_;
};

template <class Map>
class RawFind final : public Workload {
 public:
  RawFind(std::uint32_t n, KeyOrder order) : keys_(keysFor(n, order)), at_{n} {
    for (std::uint32_t k : keys_) map_.emplace(k, entryFor<typename Map::mapped_type>(k));
  }
  double opsPerUnit() const override { return std::min<std::uint32_t>(at_.n, kSlice); }
  void run(std::uint32_t units) override {
    at_.forOps(std::uint64_t(units) * std::uint64_t(opsPerUnit()),
               [&](std::uint32_t i) { benchmark::DoNotOptimize(*findBehindCall(map_, keys_[i])); });
  }

 private:
  std::vector<std::uint32_t> keys_;
  Map map_;
  Cursor at_;
};

template <class Map>
class RawFill final : public Workload {
 public:
  RawFill(std::uint32_t n, KeyOrder order)
      : keys_(keysFor(n, order)), entries_(entriesFor<typename Map::mapped_type>(keys_)) {}
  double opsPerUnit() const override { return double(keys_.size()); }
  void prepare(std::uint32_t units) override { maps_.resize(units); }
  void run(std::uint32_t) override {
    for (auto& m : maps_) {
      for (std::size_t i = 0; i < keys_.size(); ++i) insertBehindCall(m, keys_[i], entries_[i]);
    }
  }
  void finish() override {
    for (auto& m : maps_) check(m.size() == keys_.size(), "a fill holds N keys");
    maps_.clear();
  }

 private:
  std::vector<std::uint32_t> keys_;
  std::vector<typename Map::mapped_type> entries_;
  std::vector<Map> maps_;
};

template <class Map>
class RawDrain final : public Workload {
 public:
  RawDrain(std::uint32_t n, KeyOrder order)
      : keys_(keysFor(n, order)), removal_(keysFor(n, order, 0, 3)) {}
  double opsPerUnit() const override { return double(keys_.size()); }
  void prepare(std::uint32_t units) override {
    maps_.resize(units);
    for (auto& m : maps_) {
      for (std::uint32_t k : keys_) m.emplace(k, entryFor<typename Map::mapped_type>(k));
    }
  }
  void run(std::uint32_t) override {
    for (auto& m : maps_) {
      for (std::uint32_t k : removal_) eraseBehindCall(m, k);
    }
  }
  void finish() override {
    for (auto& m : maps_) check(m.empty(), "a drain leaves no key");
    maps_.clear();
  }

 private:
  std::vector<std::uint32_t> keys_, removal_;
  std::vector<Map> maps_;
};

// Dependent reads in random order over N cache lines: each read gives the
// next address, so nothing overlaps. Beyond the last-level cache this is the
// cost of one miss to memory, the floor for a lookup in a table that large.
class Probe final : public Workload {
 public:
  explicit Probe(std::uint32_t lines) : buf_(lines) {
    std::vector<std::uint32_t> order(lines);
    std::iota(order.begin(), order.end(), 0u);
    std::shuffle(order.begin() + 1, order.end(), std::mt19937(5));
    for (std::size_t i = 0; i < lines; ++i) buf_[order[i]].next = order[(i + 1) % lines];
  }
  double opsPerUnit() const override { return kSlice; }
  void run(std::uint32_t units) override {
    std::uint32_t at = at_;
    for (std::uint64_t i = 0, e = std::uint64_t(units) * kSlice; i < e; ++i) at = buf_[at].next;
    at_ = at;
    benchmark::DoNotOptimize(at_);
  }

 private:
  struct alignas(64) Line {
    std::uint32_t next;
  };
  std::vector<Line> buf_;
  std::uint32_t at_ = 0;
};

template <class Kit>
std::unique_ptr<Workload> tableWorkload(Op op, std::uint32_t n, KeyOrder order) {
  switch (op) {
    case Op::unchanged:
      return std::make_unique<Unchanged<Kit>>(n, order);
    case Op::fill:
      return std::make_unique<Fill<Kit>>(n, order);
    case Op::drain:
      return std::make_unique<Drain<Kit>>(n, order);
    case Op::restart:
      return std::make_unique<WarmRestart<Kit>>(n, order);
    case Op::read:
      break;
  }
  return nullptr;
}

template <class Map>
std::unique_ptr<Workload> mapWorkload(Op op, std::uint32_t n, KeyOrder order) {
  switch (op) {
    case Op::unchanged:
      return std::make_unique<RawFind<Map>>(n, order);
    case Op::fill:
      return std::make_unique<RawFill<Map>>(n, order);
    case Op::drain:
      return std::make_unique<RawDrain<Map>>(n, order);
    case Op::restart:
    case Op::read:
      break;
  }
  return nullptr;
}

template <class T>
std::unique_ptr<Workload> workloadFor(Impl impl, Op op, std::uint32_t n, KeyOrder order) {
  using Entry = typename T::Entry;
  switch (impl) {
    case Impl::ours:
      return tableWorkload<OursKit<T>>(op, n, order);
    case Impl::std:
      return tableWorkload<StdKit<Entry, StdMaps>>(op, n, order);
    case Impl::flat:
      return tableWorkload<StdKit<Entry, FlatMaps>>(op, n, order);
    case Impl::absl:
      return mapWorkload<AbslMap<Entry>>(op, n, order);
    case Impl::boost:
      return mapWorkload<BoostMap<Entry>>(op, n, order);
    case Impl::probe:
      return op == Op::read ? std::make_unique<Probe>(n) : nullptr;
  }
  return nullptr;
}

constexpr std::string_view kImplNames[] = {"ours", "std", "flat", "absl", "boost", "probe"};
constexpr std::string_view kOpNames[] = {"unchanged", "fill", "drain", "restart", "read"};

}  // namespace

std::string_view implName(Impl i) {
  return kImplNames[static_cast<int>(i)];
}
std::string_view opName(Op o) {
  return kOpNames[static_cast<int>(o)];
}

bool implFromName(std::string_view name, Impl& i) {
  for (int k = 0; k < 6; ++k) {
    if (kImplNames[k] == name) {
      i = static_cast<Impl>(k);
      return true;
    }
  }
  return false;
}

bool opFromName(std::string_view name, Op& o) {
  for (int k = 0; k < 5; ++k) {
    if (kOpNames[k] == name) {
      o = static_cast<Op>(k);
      return true;
    }
  }
  return false;
}

bool implHasOp(Impl impl, Op op) {
  if (impl == Impl::probe) return op == Op::read;
  if (op == Op::read) return false;
  return !((impl == Impl::absl || impl == Impl::boost) && op == Op::restart);
}

std::unique_ptr<Workload> makeWorkload(std::string_view table, Impl impl, Op op, std::uint32_t n,
                                       KeyOrder order) {
  if (!implHasOp(impl, op)) return nullptr;
  if (table == CorvaneInt::IfaActionProfile::kName) {
    return workloadFor<CorvaneInt::IfaActionProfile>(impl, op, n, order);
  }
  if (table == CorvaneInt::IfaSwitchId::kName) {
    return workloadFor<CorvaneInt::IfaSwitchId>(impl, op, n, order);
  }
  if (impl == Impl::probe) return workloadFor<CorvaneInt::IfaSwitchId>(impl, op, n, order);
  return nullptr;
}

}  // namespace IfaBench
