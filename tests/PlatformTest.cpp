// The platform stand-ins the entries and tables rely on: Kiva::Optional's
// storage rules, text trace gating, configuration and sinks, counted nodes,
// the change publisher, the binary trace ring and the plug-in loader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "Kiva/CharRange.h"
#include "Kiva/Optional.h"
#include "Kiva/Trace.h"
#include "Orrin/Node.h"
#include "Orrin/Ptr.h"
#include "Orrin/Publisher.h"
#include "Orrin/String.h"
#include "RingTrace/RingTrace.h"
#include "Sidecar/Loader.h"

namespace {

// Counts the live instances and the assignments of itself.
struct Counted {
  static inline int live = 0;
  static inline int assignments = 0;
  int v;
  explicit Counted(int x) : v(x) { ++live; }
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
  auto counts = [] { return std::make_pair(Counted::live, Counted::assignments); };
  Counted::live = Counted::assignments = 0;
  {
    Kiva::Optional<Counted> empty, copyOfEmpty(empty), full(Counted(7)), other(Counted(9));
    EXPECT_EQ(counts(), std::make_pair(2, 0));
    // The engaged flag is the byte after the value's storage.
    auto flag = [](auto const& o) {
      return reinterpret_cast<unsigned char const*>(&o)[sizeof(Counted)];
    };
    EXPECT_TRUE(flag(full) == 1 && flag(empty) == 0);
    empty = full;  // empty from engaged: constructs
    EXPECT_EQ(counts(), std::make_pair(3, 0));
    empty = other;  // engaged from engaged: assigns
    EXPECT_EQ(counts(), std::make_pair(3, 1));
    EXPECT_EQ(empty->v, 9);
    empty = copyOfEmpty;  // engaged from empty: destroys
    EXPECT_EQ(counts(), std::make_pair(2, 1));
    EXPECT_THROW(empty.value(), Kiva::BadOptionalAccess);
    EXPECT_EQ(empty.valueOr(Counted(3)).v, 3);
    auto const& self = full;
    full = self;  // self-assignment changes nothing
    EXPECT_TRUE(full == Kiva::Optional<Counted>(Counted(7)) && !(full == empty));
    EXPECT_TRUE(empty == copyOfEmpty);
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

TEST_F(TraceTest, LineIsBuiltOnlyWhileItsLevelIsEnabledAndWrittenToTheSink) {
  Kiva::TraceHandle handle("CorvaneInt::Demo", false);
  int evaluated = 0;
  auto piece = [&] { return ++evaluated * 42; };
  KIVA_TRACE(handle, 8, "step") << "value: " << piece();
  handle.levelIs(8, true);
  unsigned const line = __LINE__ + 1;
  KIVA_TRACE(handle, 8, "step") << "value: " << piece() << ", flag: " << true;
  KIVA_TRACE(handle, 9, "step") << "other level";
  auto const records = capture_->records();
  ASSERT_EQ(records.size(), 1u);
  Kiva::TraceRecord const& r = records[0];
  EXPECT_EQ(
      std::tie(r.handle, r.level, r.file, r.line, r.function, r.text),
      std::make_tuple("CorvaneInt::Demo", 8u, __FILE__, line, "step", "value: 42, flag: true"));

  // A file sink appends "handle[level] text" lines.
  std::string const path = testing::TempDir() + "kiva-trace-sink.txt";
  std::ofstream(path) << "earlier\n";
  Kiva::traceSinkIs(Kiva::fileTraceSink(path));
  Kiva::TraceHandle all("Everything", true);
  EXPECT_TRUE(all.enabled(0) && all.enabled(15) && !all.enabled(16));
  KIVA_TRACE(all, 15, "step") << "key: " << 7 << ", on: " << false;
  KIVA_TRACE(all, 0, "step") << "done";
  Kiva::traceSinkIs(capture_);
  std::ifstream in(path);
  std::string const text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "earlier\nEverything[15] key: 7, on: false\nEverything[0] done\n");
  std::remove(path.c_str());
  EXPECT_THROW(Kiva::fileTraceSink("/nonexistent/trace.txt"), std::runtime_error);
}

TEST_F(TraceTest, ConfigurationReachesExistingAndLaterHandlesByNameOrPrefix) {
  Kiva::TraceHandle stat("SwTableStat", false);
  Kiva::TraceHandle table("CorvaneInt::IfaActionProfile", false);
  Kiva::TraceHandle::configure("SwTableStat=0; CorvaneInt::*=5-6,9");
  Kiva::TraceHandle later("CorvaneInt::IfaSwitchId", false), unrelated("Other", false);
  EXPECT_EQ(std::make_tuple(stat.mask(), table.mask(), later.mask(), unrelated.mask()),
            std::make_tuple(0x1, 0x260, 0x260, 0));

  Kiva::TraceHandle::levelIs("CorvaneInt::IfaSwitchId", 9, false);
  EXPECT_TRUE(!later.enabled(9) && table.enabled(9));
  Kiva::TraceHandle::configure("Other=*");
  EXPECT_EQ(unrelated.mask(), 0xFFFF);

  for (char const* bad : {"SwTableStat", "=3", "SwTableStat=16", "SwTableStat=x", "SwTableStat=9-3",
                          "SwTableStat=", "SwTableStat=1,", "Swt=Stat=1"}) {
    EXPECT_THROW(Kiva::TraceHandle::configure(bad), std::invalid_argument) << bad;
  }
  // A bad entry applies nothing, not even the good ones before it.
  EXPECT_THROW(Kiva::TraceHandle::configure("Fresh=1;Fresh=99"), std::invalid_argument);
  Kiva::TraceHandle fresh("Fresh", false);
  EXPECT_EQ(fresh.mask(), 0);
}

// A node that notes its destruction.
struct Probe : Orrin::Node {
  explicit Probe(bool* gone) : gone_(gone) {}
  ~Probe() override { *gone_ = true; }
  bool* gone_;
};

// A number is read from the range's text only, even where the bytes after
// the range would make it another (here a hex prefix).
TEST(KivaCharRange, NumbersEndWithTheirText) {
  char const bytes[] = "7x1f 0x1f";
  Kiva::CharRange digit(std::string_view(bytes, 1));
  EXPECT_EQ(digit.readUnsigned(0xFFFFFFFF, "f"), 7u);
  Kiva::CharRange hex(std::string_view(bytes + 5, 4));
  EXPECT_EQ(hex.readUnsigned(0xFFFFFFFF, "f"), 0x1Fu);
}

TEST(OrrinPtr, LastReferenceDestroysTheNodeWithAndWithoutThreads) {
  for (bool threads : {false, true}) {
    Orrin::ThreadControl::tsp_ = threads;
    bool gone = false;
    {
      Orrin::Ptr<Probe> a(new Probe(&gone));
      Orrin::Ptr<Probe> b = a;
      Orrin::Ptr<Orrin::Node> base = b;
      EXPECT_EQ(a->useCount(), 3u);
      Orrin::Ptr<Probe> moved = std::move(b);
      EXPECT_FALSE(b);
      EXPECT_EQ(a->useCount(), 3u);
      a.reset();
      moved = nullptr;
      EXPECT_FALSE(gone);
      EXPECT_EQ(base->useCount(), 1u);
    }
    EXPECT_TRUE(gone);
  }
  Orrin::ThreadControl::tsp_ = false;
}

using Changes = std::vector<std::tuple<std::uint32_t, std::uint32_t, bool>>;

// Records each change heard: field, key, whether a previous value came along.
struct Recorder : Orrin::Observer {
  Changes changes;
  Orrin::Publisher* detachFrom = nullptr;
  void onChange(Orrin::Publisher const&, std::uint32_t field, void const* key, void const* previous,
                Orrin::KeyEqualFn keyEqual) override {
    std::uint32_t const k = *static_cast<std::uint32_t const*>(key);
    EXPECT_TRUE(keyEqual(key, &k));
    changes.emplace_back(field, k, previous != nullptr);
    if (detachFrom) detachFrom->observerDel(this);
  }
};

bool keyEq(void const* a, void const* b) {
  return *static_cast<std::uint32_t const*>(a) == *static_cast<std::uint32_t const*>(b);
}

TEST(OrrinPublisher, ChangesReachTheObserversOfThePublisherAndItsParents) {
  Orrin::Publisher parent, child;
  child.parentIs(&parent);
  EXPECT_EQ(child.stateWord(), 1u);
  std::uint32_t const key = 5, previous = 0;
  child.publishChangeRecursive(519, &key, &previous, keyEq);  // nobody hears it
  Recorder top, leaving, staying;
  parent.observerIs(&top);
  EXPECT_NE(child.stateWord(), 1u);
  child.observerIs(&leaving);
  child.observerIs(&leaving);  // once only
  child.observerIs(&staying);
  leaving.detachFrom = &child;  // detaching while hearing a change is allowed
  child.publishChangeRecursive(521, &key, nullptr, keyEq);
  child.publishChangeRecursive(519, &key, &previous, keyEq);
  EXPECT_EQ(leaving.changes, (Changes{{521, 5, false}}));
  EXPECT_EQ(staying.changes, (Changes{{521, 5, false}, {519, 5, true}}));
  EXPECT_EQ(top.changes, staying.changes);
  child.observerDel(&staying);
  parent.observerDel(&top);
  EXPECT_EQ(child.stateWord(), 1u);
}

// ---- RingTrace ----------------------------------------------------------------------

// Three message sites, each with its own id, as the table engine has them.
// Each returns its id variable so that tests can look at it.
int& siteA(char const* table, char const* step) {
  static int msgId = 0;
  RingTrace::record(msgId, "AsicSwTable/SiteA", 11, "siteA", "{}: {}", table, step);
  return msgId;
}

int& siteB(Orrin::String const& table, std::string const& step) {
  static int msgId = 0;
  RingTrace::record(msgId, "AsicSwTable/SiteB", 22, "siteB", "{} -> {}!", table, step);
  return msgId;
}

int& siteNoArgs() {
  static int msgId = 0;
  RingTrace::record(msgId, "AsicSwTable/SiteC", 33, "siteC", "tick");
  return msgId;
}

class RingTraceTest : public ::testing::Test {
 protected:
  void SetUp() override { RingTrace::closeDefault(); }
  void TearDown() override { RingTrace::closeDefault(); }
};

// Each site registers once per trace file, under an id of its own, with its
// description; a new file registers the sites again in its own order. Without
// a handle or a trace file nothing happens.
TEST_F(RingTraceTest, EachSiteRegistersOncePerTraceFile) {
  int unused = 0;
  RingTrace::record(unused, "f", 1, "name", "{}", "x");
  RingTrace::openDefault(64);
  RingTrace::defaultRingTraceHandle->traceFileIs(nullptr);
  RingTrace::record(unused, "f", 1, "name", "{}", "x");
  EXPECT_EQ(unused, 0);

  RingTrace::TraceFile& file = RingTrace::openDefault(4096);
  int& idOfA = siteA("IfaActionProfile", "handleEntry");
  siteA("IfaActionProfile", "programHwEntry");
  siteA("IfaEpRecirc", "handleEntry");
  int const idB = siteB(Orrin::String("IfaPort"), "entryRemoveAll");
  int const idC = siteNoArgs();
  siteA("IfaActionProfile", "handleEntry");
  EXPECT_EQ((std::vector<int>{idOfA, idB, idC}), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(file.registrations(), 3u);
  RingTrace::MsgInfo const* a = file.msgInfo(1);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->idAddress, &idOfA);
  EXPECT_EQ(std::tie(a->name, a->format, a->argTypes, a->sourceFile, a->line, a->group),
            std::make_tuple("siteA", "{}: {}", "pp", "AsicSwTable/SiteA", 11u, ""));
  EXPECT_EQ(file.msgInfo(idC)->argTypes, "");
  EXPECT_EQ(file.text(), (std::vector<std::string>{
                             "IfaActionProfile: handleEntry", "IfaActionProfile: programHwEntry",
                             "IfaEpRecirc: handleEntry", "IfaPort -> entryRemoveAll!", "tick",
                             "IfaActionProfile: handleEntry"}));
  EXPECT_EQ(file.ringBuf().messages()[3], (RingTrace::Message{idB, {"IfaPort", "entryRemoveAll"}}));

  RingTrace::TraceFile& second = RingTrace::openDefault(4096);
  EXPECT_FALSE(second.msgIdInitialized(idOfA));
  EXPECT_EQ(siteB(Orrin::String("U"), "three"), 1);
  EXPECT_EQ(siteA("U", "four"), 2);
  // Another site's variable holding the same number is not registered.
  int stray = 2;
  EXPECT_FALSE(second.msgIdInitialized(stray));
  RingTrace::record(stray, "Other", 5, "other", "{}", "c");
  EXPECT_EQ(stray, 3);
  EXPECT_EQ(second.text(), (std::vector<std::string>{"U -> three!", "U: four", "c"}));
}

// The ring against a model of what it must hold: the newest messages whose
// stored sizes (4 + 4 + per argument 4 + length) fit its capacity; a message
// larger than the whole ring is dropped itself.
TEST_F(RingTraceTest, WrapAroundKeepsTheNewestMessagesWhole) {
  auto bytes = [](RingTrace::Message const& m) { return 16 + m.args[0].size() + m.args[1].size(); };
  for (std::uint32_t seed = 1; seed <= 20; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::size_t const capacity = 40 + rng() % 120;
    RingTrace::RingBuf const& ring = RingTrace::openDefault(capacity).ringBuf();
    std::deque<RingTrace::Message> model;
    std::size_t used = 0, dropped = 0, recorded = 0;
    for (int step = 0; step < 300; ++step) {
      std::string const a(rng() % 20, 'a' + step % 26), b(rng() % 40, 'A' + step % 26);
      RingTrace::Message const m{siteA(a.c_str(), b.c_str()), {a, b}};
      if (bytes(m) > capacity) {
        ++dropped;
      } else {
        for (; used + bytes(m) > capacity; ++dropped) {
          used -= bytes(model.front());
          model.pop_front();
        }
        model.push_back(m);
        used += bytes(m);
        ++recorded;
      }
      ASSERT_EQ(ring.messages(), std::vector<RingTrace::Message>(model.begin(), model.end()))
          << "step " << step;
      ASSERT_EQ(
          std::make_tuple(ring.usedBytes(), ring.dropped(), ring.recorded(), ring.messageCount()),
          std::make_tuple(used, dropped, recorded, model.size()));
    }
  }
}

// Messages of unregistered ids are rejected, an inactive ring records
// nothing, and a description must match its argument types.
TEST_F(RingTraceTest, DirectRecordingChecksIdsAndDescriptions) {
  RingTrace::TraceFile& file = RingTrace::openDefault(1024);
  RingTrace::RingBuf& ring = RingTrace::RingBuf::startMsg(file, 99);  // never registered
  RingTrace::put(ring, "lost");
  ring.endMsg();
  EXPECT_EQ(ring.rejected(), 1u);
  ring.activeIs(false);
  EXPECT_EQ(siteA("T", "quiet"), 1) << "the site is still registered";
  EXPECT_EQ(ring.messageCount() + ring.recorded() + ring.usedBytes(), 0u);
  ring.activeIs(true);

  int msgId = 0;
  RingTrace::MsgDesc desc(file, &msgId, "src", 3);
  desc.formatString().put("p");
  EXPECT_THROW(desc.formatString().put("u"), std::invalid_argument);
  RingTrace::msgDesc(desc, "grp", "twoHoles", "[{}|{}]");
  EXPECT_THROW(desc.finish(), std::invalid_argument);  // one argument type for two holes
  EXPECT_EQ(msgId, 0);
  desc.formatString().put("p");
  desc.finish();
  EXPECT_EQ(file.msgInfo(msgId)->group, "grp");
  EXPECT_EQ(file.messageText({msgId, {"a", "b"}}), "[a|b]");
  EXPECT_EQ(file.messageText({msgId, {"a"}}), "[a|{}]");
  EXPECT_EQ(file.messageText({msgId, {"a", "b", "c"}}), "[a|b]");
  EXPECT_EQ(file.messageText({msgId + 1, {"a", "b"}}), "<message 3>(a, b)");
  siteA("T", "loud");
  EXPECT_EQ(file.text(), std::vector<std::string>{"T: loud"});
}

using RingTraceDeathTest = RingTraceTest;

TEST_F(RingTraceDeathTest, NegativeIdFailsTheAssertion) {
  RingTrace::openDefault(256);
  int msgId = -1;
  EXPECT_DEATH(RingTrace::record(msgId, "file", 1, "name", "{}", "x"),
               "assertion \"msgId_ >= 0\" failed: file \"/usr/include/RingTrace/RingTrace\", "
               "line 269, function RingTrace::TraceFile::msgIdInitialized\n");
}

// ---- Sidecar ------------------------------------------------------------------------

using Sidecar::Core::Loader::Singleton;

TEST(SidecarLoader, FindsLoadsOnceAndRunsTheProvidersOfARequest) {
  // A directory of files that are not plug-ins: the ".so" ones fail to load,
  // reported in name order; the others are not plug-ins at all.
  namespace fs = std::filesystem;
  fs::path const broken = fs::temp_directory_path() / "sidecar-broken-plugins";
  fs::create_directories(broken);
  for (char const* name : {"f.so", "d.so", "b.so", "e.so", "a.so", "c.so", "a.txt", "b.sox"}) {
    std::ofstream(broken / name) << "not an ELF file";
  }
  std::string const path =
      std::string(SIDECAR_TEST_PLUGIN_DIR) + "::/nonexistent:" + broken.string();
  setenv("SIDECAR_PLUGIN_PATH", path.c_str(), 1);
  Singleton::rescan();

  std::size_t const before = Singleton::requests().size();
  Plugin::Loader<void> record{"CorvaneInt::Test::UtilLoader", {}, 0};
  testing::internal::CaptureStderr();
  EXPECT_EQ(Singleton::load("AsicFeature", "Test::Served", &record), 2u);
  // Each report ends with the dynamic loader's message.
  std::istringstream errors(testing::internal::GetCapturedStderr());
  std::string reports;
  for (std::string line; std::getline(errors, line);)
    reports += line.substr(0, line.find(".so: ") + 5) + "\n";
  std::string expected;
  for (char name = 'a'; name <= 'f'; ++name) {
    expected +=
        "Sidecar: cannot load plug-in " + (broken / std::string(1, name)).string() + ".so: \n";
  }
  EXPECT_EQ(reports, expected);
  EXPECT_EQ(record.name, "CorvaneInt::Test::UtilLoader+served");
  ASSERT_EQ(record.servedBy.size(), 2u);
  std::string const plugin = record.servedBy[0];
  EXPECT_EQ(record.servedBy[1], plugin);
  EXPECT_NE(plugin.find("sidecar-test-plugin"), std::string::npos);
  auto const count = [&](std::vector<std::string> const& files) {
    return std::count(files.begin(), files.end(), plugin);
  };
  EXPECT_EQ(count(Singleton::pluginsProviding("AsicFeature")), 1);
  EXPECT_EQ(count(Singleton::pluginsProviding("Other")), 0);

  // Asking again loads nothing again and reports nothing again.
  Singleton::rescan();
  testing::internal::CaptureStderr();
  EXPECT_EQ(Singleton::load("AsicFeature", "Test::Nobody", &record), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(record.requests, 2u);
  EXPECT_EQ(count(Singleton::pluginsLoaded()), 1);

  auto const requests = Singleton::requests();
  ASSERT_EQ(requests.size(), before + 2);
  auto const& r = requests[before];
  EXPECT_EQ(std::tie(r.prefix, r.suffix, r.recordName, r.providersRun),
            std::make_tuple("AsicFeature", "Test::Served", "CorvaneInt::Test::UtilLoader", 2u));
  EXPECT_EQ(requests[before + 1].providersRun, 0u);
  fs::remove_all(broken);
}

}  // namespace
