// Tables used on threads of their own, as an agent with several feature
// threads uses them: each table is used by one thread at a time, but all
// tables of a type share the engine's message sites and its text-trace
// handle. Their first use on several threads at the same moment must register
// every message site once per trace file and record every message and trace
// line exactly as the same calls made on one thread do.
//
// Built alone and run under ThreadSanitizer by `make test-tsan`, which also
// reports any unsynchronised access of that shared state.
#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "EngineTestSupport.h"
#include "Kiva/Trace.h"
#include "Orrin/Node.h"
#include "RingTrace/RingTrace.h"

namespace {

constexpr int kRounds = 20;
constexpr int kThreadsPerType = 3;
constexpr std::uint32_t kKeys = 8;

// What one thread does with its own table: commits entries, removes them all,
// then ends a replay and purges, which passes all four message sites of the
// engine.
template <class Table>
void useTable(std::barrier<>* start) {
  using Entry = typename Table::Entry;
  Orrin::Ptr<Table> table(new Table);
  Orrin::Ptr<IfaTest::RecordingUtil<Table>> util(new IfaTest::RecordingUtil<Table>);
  util->applyTracker = false;
  table->utilIs(Orrin::Ptr<Asic::SwTable::Util>(util));
  table->hwTableIs(Orrin::Ptr<Asic::HwTable>(new Asic::HwTable(Orrin::String("hw"), 0, 4095, 1)));
  if (start != nullptr) start->arrive_and_wait();
  for (std::uint32_t key = 0; key < kKeys; ++key) table->entryCommit(key, Entry());
  table->doInitComplete();
  table->entryRemoveAll();
  table->purgeStaleEntries();
  table->utilIs({});
}

std::vector<std::string> sorted(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

struct Outcome {
  std::size_t registrations;
  std::uint64_t rejected;
  std::vector<std::string> messages;  // sorted
  std::vector<std::string> trace;     // sorted
};

// Runs kThreadsPerType tables of each of two types on a fresh trace file and
// a fresh trace capture: on one thread each, started at the same moment, or
// all on the calling thread one after the other.
Outcome run(bool threads) {
  RingTrace::TraceFile& file = RingTrace::openDefault(1 << 20);
  auto capture = std::make_shared<Kiva::TraceCapture>();
  Kiva::traceSinkIs(capture);
  if (threads) {
    std::barrier<> start(2 * kThreadsPerType);
    std::vector<std::thread> pool;
    for (int i = 0; i < kThreadsPerType; ++i) {
      pool.emplace_back(useTable<CorvaneInt::IfaActionProfile>, &start);
      pool.emplace_back(useTable<CorvaneInt::IfaActionVector>, &start);
    }
    for (std::thread& t : pool) t.join();
  } else {
    for (int i = 0; i < kThreadsPerType; ++i) {
      useTable<CorvaneInt::IfaActionProfile>(nullptr);
      useTable<CorvaneInt::IfaActionVector>(nullptr);
    }
  }
  Kiva::traceSinkIs(nullptr);
  Outcome out{file.registrations(), file.ringBuf().rejected(), sorted(file.text()),
              sorted(capture->lines())};
  RingTrace::closeDefault();
  return out;
}

TEST(TableThreads, FirstUseOnSeveralThreadsAtOnceRegistersEachSiteOnceAndLosesNothing) {
  Orrin::ThreadControl::tsp_ = true;
  // The engine's text trace on, so that its handles are made and written on
  // the threads too.
  Kiva::TraceHandle::configure("CorvaneInt::IfaAction*=5-9");
  // Each round opens a new trace file, in which every site registers again.
  std::vector<Outcome> threaded;
  for (int round = 0; round < kRounds; ++round) threaded.push_back(run(true));
  Outcome const reference = run(false);
  Kiva::TraceHandle::resetAll();
  Orrin::ThreadControl::tsp_ = false;

  // Four message sites per table type.
  EXPECT_EQ(reference.registrations, 8u);
  EXPECT_EQ(reference.rejected, 0u);
  ASSERT_FALSE(reference.messages.empty());
  ASSERT_FALSE(reference.trace.empty());
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    Outcome const& o = threaded[static_cast<std::size_t>(round)];
    EXPECT_EQ(o.registrations, reference.registrations);
    EXPECT_EQ(o.rejected, 0u);
    EXPECT_EQ(o.messages, reference.messages);
    EXPECT_EQ(o.trace, reference.trace);
  }
}

}  // namespace
