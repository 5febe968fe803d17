// The platform stand-ins the entries and tables rely on: Kiva::Optional's
// storage rules, text trace gating and configuration, counted nodes, the
// change publisher, allocation trackers.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Kiva/AllocTrack.h"
#include "Kiva/Optional.h"
#include "Kiva/Trace.h"
#include "Orrin/Node.h"
#include "Orrin/Ptr.h"
#include "Orrin/Publisher.h"

namespace {

// Counts the live instances and the assignments of itself.
struct Counted {
  static inline int live = 0;
  static inline int assignments = 0;
  int v;
  explicit Counted(int x = 0) : v(x) { ++live; }
  Counted(Counted const& o) : v(o.v) { ++live; }
  Counted& operator=(Counted const& o) {
    v = o.v;
    ++assignments;
    return *this;
  }
  ~Counted() { --live; }
  friend bool operator==(Counted const& a, Counted const& b) { return a.v == b.v; }
};

TEST(KivaOptional, EmptyConstructsNothingAndAssignmentFollowsTheFlags) {
  Counted::live = 0;
  Counted::assignments = 0;
  {
    Kiva::Optional<Counted> empty;
    Kiva::Optional<Counted> copyOfEmpty(empty);
    EXPECT_EQ(Counted::live, 0);
    EXPECT_FALSE(copyOfEmpty.hasValue());

    Kiva::Optional<Counted> full(Counted(7));
    EXPECT_EQ(Counted::live, 1);
    // The engaged flag is the byte after the value's storage.
    unsigned char flag;
    std::memcpy(&flag, reinterpret_cast<unsigned char const*>(&full) + sizeof(Counted), 1);
    EXPECT_EQ(flag, 1);
    std::memcpy(&flag, reinterpret_cast<unsigned char const*>(&empty) + sizeof(Counted), 1);
    EXPECT_EQ(flag, 0);

    empty = full;  // empty from engaged: constructs
    EXPECT_EQ(Counted::live, 2);
    EXPECT_EQ(Counted::assignments, 0);
    EXPECT_EQ(empty->v, 7);

    Kiva::Optional<Counted> other(Counted(9));
    empty = other;  // engaged from engaged: assigns
    EXPECT_EQ(Counted::assignments, 1);
    EXPECT_EQ(empty->v, 9);

    empty = copyOfEmpty;  // engaged from empty: destroys
    EXPECT_FALSE(empty.hasValue());
    EXPECT_EQ(Counted::live, 2);
    EXPECT_THROW(empty.value(), Kiva::BadOptionalAccess);
    EXPECT_EQ(empty.valueOr(Counted(3)).v, 3);

    empty = empty;  // self-assignment changes nothing
    full = full;
    EXPECT_EQ(full->v, 7);
    EXPECT_TRUE(full == Kiva::Optional<Counted>(Counted(7)));
    EXPECT_FALSE(full == empty);
  }
  EXPECT_EQ(Counted::live, 0);
}

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Kiva::TraceHandle::resetAll();
    previous_ = Kiva::traceSinkIs(capture_);
  }
  void TearDown() override {
    Kiva::traceSinkIs(previous_);
    Kiva::TraceHandle::resetAll();
  }
  std::shared_ptr<Kiva::TraceCapture> capture_ = std::make_shared<Kiva::TraceCapture>();
  std::shared_ptr<Kiva::TraceSink> previous_;
};

TEST_F(TraceTest, LineIsBuiltOnlyWhileItsLevelIsEnabled) {
  Kiva::TraceHandle handle("CorvaneInt::Demo", false);
  int evaluated = 0;
  auto piece = [&] {
    ++evaluated;
    return 42;
  };
  KIVA_TRACE(handle, 8, "step") << "value: " << piece();
  EXPECT_EQ(evaluated, 0);
  EXPECT_TRUE(capture_->records().empty());

  handle.levelIs(8, true);
  KIVA_TRACE(handle, 8, "step") << "value: " << piece() << ", flag: " << true;
  KIVA_TRACE(handle, 9, "step") << "other level";
  EXPECT_EQ(evaluated, 1);
  auto const records = capture_->records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].handle, "CorvaneInt::Demo");
  EXPECT_EQ(records[0].level, 8u);
  EXPECT_EQ(records[0].function, "step");
  EXPECT_EQ(records[0].text, "value: 42, flag: true");

  Kiva::TraceHandle all("Everything", true);
  EXPECT_TRUE(all.enabled(0) && all.enabled(15));
  EXPECT_FALSE(all.enabled(16));
}

TEST_F(TraceTest, ConfigurationReachesExistingAndLaterHandlesByNameOrPrefix) {
  Kiva::TraceHandle stat("SwTableStat", false);
  Kiva::TraceHandle table("CorvaneInt::IfaActionProfile", false);
  Kiva::TraceHandle::configure("SwTableStat=0; CorvaneInt::*=5-6,9");
  EXPECT_EQ(stat.mask(), 0x0001);
  EXPECT_EQ(table.mask(), (1 << 5) | (1 << 6) | (1 << 9));
  Kiva::TraceHandle later("CorvaneInt::IfaSwitchId", false);
  EXPECT_EQ(later.mask(), (1 << 5) | (1 << 6) | (1 << 9));
  Kiva::TraceHandle unrelated("Other", false);
  EXPECT_EQ(unrelated.mask(), 0);

  Kiva::TraceHandle::levelIs("CorvaneInt::IfaSwitchId", 9, false);
  EXPECT_FALSE(later.enabled(9));
  EXPECT_TRUE(table.enabled(9));
  Kiva::TraceHandle::configure("Other=*");
  EXPECT_EQ(unrelated.mask(), 0xFFFF);

  for (char const* bad : {"SwTableStat", "=3", "SwTableStat=16", "SwTableStat=x", "SwTableStat=9-3",
                          "SwTableStat="}) {
    EXPECT_THROW(Kiva::TraceHandle::configure(bad), std::invalid_argument) << bad;
  }
  // A bad entry applies nothing, not even the good ones before it.
  EXPECT_THROW(Kiva::TraceHandle::configure("Fresh=1;Fresh=99"), std::invalid_argument);
  Kiva::TraceHandle fresh("Fresh", false);
  EXPECT_EQ(fresh.mask(), 0);
}

// A node that records its destruction.
struct Probe : Orrin::Node {
  explicit Probe(bool* gone) : gone_(gone) {}
  ~Probe() override { *gone_ = true; }
  bool* gone_;
};

TEST(OrrinPtr, LastReferenceDestroysTheNodeWithAndWithoutThreads) {
  for (bool threads : {false, true}) {
    Orrin::ThreadControl::tsp_ = threads;
    bool gone = false;
    {
      Orrin::Ptr<Probe> a(new Probe(&gone));
      EXPECT_EQ(a->useCount(), 1u);
      Orrin::Ptr<Probe> b = a;
      EXPECT_EQ(a->useCount(), 2u);
      Orrin::Ptr<Orrin::Node> base = b;
      EXPECT_EQ(a->useCount(), 3u);
      Orrin::Ptr<Probe> moved = std::move(b);
      EXPECT_FALSE(b);
      EXPECT_EQ(a->useCount(), 3u);
      a.reset();
      moved = nullptr;
      EXPECT_FALSE(gone);
      EXPECT_EQ(base->useCount(), 1u);
      EXPECT_TRUE(base->nodeFlag(Orrin::Node::kLiveFlag));
    }
    EXPECT_TRUE(gone);
  }
  Orrin::ThreadControl::tsp_ = false;
}

struct Recorder : Orrin::Observer {
  struct Change {
    std::uint32_t field;
    std::uint32_t key;
    bool hadPrevious;
  };
  std::vector<Change> changes;
  Orrin::Publisher* detachFrom = nullptr;
  void onChange(Orrin::Publisher const&, std::uint32_t field, void const* key, void const* previous,
                Orrin::KeyEqualFn keyEqual) override {
    std::uint32_t const k = *static_cast<std::uint32_t const*>(key);
    EXPECT_TRUE(keyEqual(key, &k));
    changes.push_back({field, k, previous != nullptr});
    if (detachFrom) detachFrom->observerDel(this);
  }
};

bool keyEq(void const* a, void const* b) {
  return *static_cast<std::uint32_t const*>(a) == *static_cast<std::uint32_t const*>(b);
}

TEST(OrrinPublisher, StateWordAndRecursiveDelivery) {
  Orrin::Publisher parent, child;
  child.parentIs(&parent);
  EXPECT_EQ(child.stateWord(), 1u);
  std::uint32_t const key = 5, previous = 0;
  child.publishChangeRecursive(519, &key, &previous, keyEq);  // nobody hears it

  Recorder top, own;
  parent.observerIs(&top);
  EXPECT_NE(child.stateWord(), 1u);
  child.observerIs(&own);
  child.observerIs(&own);  // once only
  EXPECT_EQ(child.observers(), 1u);
  child.publishChangeRecursive(521, &key, nullptr, keyEq);
  ASSERT_EQ(own.changes.size(), 1u);
  ASSERT_EQ(top.changes.size(), 1u);
  EXPECT_EQ(own.changes[0].field, 521u);
  EXPECT_EQ(own.changes[0].key, 5u);
  EXPECT_FALSE(own.changes[0].hadPrevious);

  own.detachFrom = &child;  // detaching while hearing a change is allowed
  child.publishChangeRecursive(519, &key, &previous, keyEq);
  EXPECT_EQ(own.changes.size(), 2u);
  EXPECT_TRUE(own.changes[1].hadPrevious);
  EXPECT_EQ(child.observers(), 0u);
  parent.observerDel(&top);
  EXPECT_EQ(child.stateWord(), 1u);
}

TEST(KivaAllocTrack, CountsObjectsBytesAndArrays) {
  Kiva::AllocTrackTypeInfo tracker("Test::Tracked");
  using T = Kiva::AllocTrackTypeInfo;
  T::_trackAllocation(tracker, "Test::Tracked", 48, 1);
  T::trackArrayAllocation(tracker, 12, 10);
  EXPECT_EQ(tracker.liveObjects(), 11);
  EXPECT_EQ(tracker.liveBytes(), 48 + 120);
  EXPECT_EQ(tracker.totalAllocations(), 2u);
  T::trackArrayDeallocation(tracker, 12, 10);
  T::trackDeallocation(tracker, 48, 1);
  EXPECT_EQ(tracker.liveObjects(), 0);
  EXPECT_EQ(tracker.liveBytes(), 0);
  bool seen = false;
  T::forEach([&](T const& t) { seen = seen || &t == &tracker; });
  EXPECT_TRUE(seen);
}

}  // namespace
