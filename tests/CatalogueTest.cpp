// The catalogue as the library sets it up at load: each module's record
// under its exported name, registered and decoded in catalogue order, the
// plug-in requests of the UtilLoader singletons in the same order, the
// process-wide agent name, and the factories with their allocation
// accounting.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "EngineTestSupport.h"
#include "Kiva/Entity.h"
#include "Orrin/ModuleInspectData.h"
#include "Pooler/Pooler.h"
#include "Sidecar/Loader.h"
#include "TableFacts.h"
#include "runtime/TableCatalogue.h"
#include "tables/IfaTables.h"

namespace {

using IfaRuntime::AllTables;
using Orrin::ModuleInspectData;

// The first fourteen records registered, requests made and modules decoded
// are the tables', in catalogue order; each record is the exported symbol
// "_<Module>_<id>_kivaModule"; each loader singleton is found by name.
TEST(Catalogue, ModulesInitialiseInCatalogueOrder) {
  auto const& facts = IfaTest::tableFacts();
  std::vector<Kiva::TypeModuleRecord const*> const records = ModuleInspectData::modules();
  std::vector<ModuleInspectData::Module const*> const decoded = ModuleInspectData::loadedModules();
  auto const requests = Sidecar::Core::Loader::Singleton::requests();
  ASSERT_GE(records.size(), facts.size());
  ASSERT_GE(decoded.size(), facts.size());
  ASSERT_GE(requests.size(), facts.size());
  std::size_t i = 0;
  AllTables::forEach([&]<class Table>() {
    IfaTest::TableFact const& fact = facts.at(i);
    std::string const symbol = "_" + fact.module + "_" + fact.moduleId + "_kivaModule";
    std::string const qualified = "CorvaneInt::" + fact.table;
    SCOPED_TRACE(symbol);
    EXPECT_EQ(Table::kQualifiedName, qualified);
    auto const* record = &IfaRuntime::TableModule<typename Table::Declaration>::record();
    EXPECT_EQ(dlsym(RTLD_DEFAULT, symbol.c_str()), static_cast<void const*>(record));
    EXPECT_EQ(records[i], record);
    ModuleInspectData::Module const& m = *decoded[i];
    EXPECT_EQ(m.record, record);
    EXPECT_EQ(m.symbol, symbol);
    EXPECT_EQ(m.name, fact.module);
    EXPECT_EQ(m.id, fact.moduleId);
    EXPECT_EQ(ModuleInspectData::module(record), &m);
    ASSERT_EQ(m.types.size(), 4u);
    EXPECT_EQ(ModuleInspectData::type(qualified), &m.types[3]);
    EXPECT_EQ(requests[i].prefix, "AsicFeature");
    EXPECT_EQ(requests[i].suffix, qualified);
    EXPECT_EQ(requests[i].recordName, qualified + "::UtilLoader");
    EXPECT_EQ(Table::statTraceHandle().name(), "SwTableStat");
    // The UtilLoader singleton, found by name; asking for it again asks the
    // plug-in loader again.
    using Decl = typename Table::Declaration;
    Orrin::Ptr<Orrin::Node> const loader =
        Kiva::Entity::singletonExists(qualified + "::UtilLoader");
    EXPECT_EQ(loader, IfaRuntime::TableModuleStatics<Decl>::loader());
    auto const* made = dynamic_cast<typename Table::UtilLoader const*>(loader.get());
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(std::string(made->prefixPath().view()) + " " +
                  std::string(made->suffixPath().view()) + " " + std::string(made->name().view()) +
                  " " + std::string(Kiva::Entity::fwkType(*made)),
              "AsicFeature " + qualified + " " + qualified + "::UtilLoader " + qualified +
                  "::UtilLoader");
    EXPECT_EQ(made->typeData().module, record);
    EXPECT_EQ(made->typeData().type, 2u);
    std::size_t const before = Sidecar::Core::Loader::Singleton::requests().size();
    EXPECT_EQ(IfaRuntime::utilLoaderSingleton<Decl>(), loader);
    auto const again = Sidecar::Core::Loader::Singleton::requests();
    ASSERT_EQ(again.size(), before + 1);
    EXPECT_EQ(again.back().suffix, qualified);
    ++i;
  });
  EXPECT_EQ(i, facts.size());
  EXPECT_EQ(ModuleInspectData::type("CorvaneInt::NoSuchTable"), nullptr);
}

// The agent name is read when the library loads, so each case runs in a
// fresh process: this test program again, with one test selected.
TEST(CatalogueProcess, ReportsAgentName) {
  if (std::getenv("IFA_CATALOGUE_CHILD") == nullptr)
    GTEST_SKIP() << "runs in the child processes of AgentNameIsReadOncePerProcess";
  std::printf("agentName=%s initialised=%d\n",
              dmamem_lib::Manager::agentName ? dmamem_lib::Manager::agentName : "(null)",
              dmamem_lib::Manager::agentNameInitialised ? 1 : 0);
}

std::string childAgentName(std::string const& env) {
  std::string const command = env + " IFA_CATALOGUE_CHILD=1 /proc/" + std::to_string(getpid()) +
                              "/exe --gtest_filter=CatalogueProcess.ReportsAgentName 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), &pclose);
  std::string out;
  char buf[512];
  while (pipe && fgets(buf, sizeof buf, pipe.get())) out += buf;
  auto const at = out.find("agentName=");
  return at == std::string::npos ? out : out.substr(at, out.find('\n', at) - at);
}

TEST(Catalogue, AgentNameIsReadOncePerProcess) {
  EXPECT_EQ(childAgentName("env AGENT_PROCESS_NAME=switch-agent-7"),
            "agentName=switch-agent-7 initialised=1");
  EXPECT_EQ(childAgentName("env -u AGENT_PROCESS_NAME"), "agentName=(null) initialised=1");
  char const* const atLoad = dmamem_lib::Manager::agentName;
  setenv("AGENT_PROCESS_NAME", "changed-later", 1);
  IfaRuntime::utilLoaderSingleton<CorvaneInt::decl::IfaSwitchId>();
  EXPECT_EQ(dmamem_lib::Manager::agentName, atLoad);
  unsetenv("AGENT_PROCESS_NAME");
}

// A counted reference converts where the pointer converts: up to the
// framework's base classes and to const, never down nor across.
using CorvaneInt::IfaActionProfile;
using CorvaneInt::IfaSwitchId;
static_assert(std::is_convertible_v<Orrin::Ptr<IfaActionProfile>, Orrin::Ptr<Asic::SwTable>>);
static_assert(
    std::is_convertible_v<Orrin::Ptr<IfaActionProfile>, Orrin::Ptr<IfaActionProfile const>>);
static_assert(
    std::is_convertible_v<Orrin::Ptr<IfaSwitchId::Util>, Orrin::Ptr<Asic::SwTable::Util>>);
static_assert(!std::is_constructible_v<Orrin::Ptr<IfaSwitchId>, Orrin::Ptr<Asic::SwTable>>);
static_assert(!std::is_constructible_v<Orrin::Ptr<IfaSwitchId>, Orrin::Ptr<IfaActionProfile>>);
static_assert(
    !std::is_constructible_v<Orrin::Ptr<IfaActionProfile>, Orrin::Ptr<IfaActionProfile const>>);
static_assert(!std::is_constructible_v<Orrin::Ptr<Asic::SwTable::Util>, Orrin::Ptr<Orrin::Node>>);

TEST(CatalogueFactories, EachGivesANewEmptyTableFromTheSlabsTracked) {
  auto check = []<class Table>(Orrin::Ptr<Table> (*factory)()) {
    SCOPED_TRACE(std::string(Table::kQualifiedName));
    Kiva::AllocTrackTypeInfo const& tracker = Table::memAllocationTracker_;
    std::int64_t const live = tracker.liveObjects();
    Orrin::Ptr<Table> a = factory();
    Orrin::Ptr<Table> b = factory();
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    EXPECT_EQ(a->resolvedEntrys() + a->syncedEntrys(), 0u);
    EXPECT_TRUE(a->utilHolderEmpty());
    EXPECT_EQ(a->useCount(), 1u);
    EXPECT_TRUE(Pooler::isSlabAddress(a.get()));
    EXPECT_EQ(tracker.liveObjects(), live + 2);
    a.reset();
    b.reset();
    EXPECT_EQ(tracker.liveObjects(), live);
  };
  using namespace CorvaneInt;
  check(&ifaActionProfileFactory);
  check(&ifaActionVectorFactory);
  check(&ifaEpRecircProfileFactory);
  check(&ifaEpRecircFactory);
  check(&ifaMetadataConstructProfileFactory);
  check(&ifaMetadataProfileFactory);
  check(&ifaMetadataSelectProfileFactory);
  check(&ifaMonIngRedirectPktProfileFactory);
  check(&ifaPktDetectionFactory);
  check(&ifaPortSwTableFactory);
  check(&ifaSflowIngSwTableFactory);
  check(&ifaSwitchIdFactory);
  check(&ifaTimeOfDayFactory);
  check(&ifaVectorMatchFactory);
}

TEST(CatalogueFactories, FailedAllocationUndoesTheTracking) {
  using Table = CorvaneInt::IfaTimeOfDay;
  Kiva::AllocTrackTypeInfo const& tracker = Table::memAllocationTracker_;
  std::int64_t const live = tracker.liveObjects();
  std::size_t const previousCap = Pooler::chunkBytesLimitIs(Pooler::stats().chunkBytes);
  std::vector<Orrin::Ptr<Table>> made;
  bool failed = false;
  try {
    for (int i = 0; i < 1000000; ++i) made.push_back(CorvaneInt::ifaTimeOfDayFactory());
  } catch (std::bad_alloc const&) {
    failed = true;
  }
  Pooler::chunkBytesLimitIs(previousCap);
  EXPECT_TRUE(failed);
  EXPECT_EQ(tracker.liveObjects(), live + static_cast<std::int64_t>(made.size()));
  made.clear();
  EXPECT_EQ(tracker.liveObjects(), live);
}

// A Util whose constructor fails after its memory was taken.
template <class Table>
struct FailingUtil : IfaTest::RecordingUtil<Table> {
  FailingUtil() { throw std::runtime_error("chip not ready"); }
};

TEST(CatalogueFactories, ThrowingConstructorReturnsMemoryAndTracking) {
  using Table = CorvaneInt::IfaActionProfile;
  Kiva::AllocTrackTypeInfo const& tracker = Table::Util::memAllocationTracker_;
  std::int64_t const live = tracker.liveObjects();
  std::size_t const blocks = Pooler::stats().liveBlocks;
  EXPECT_THROW(new FailingUtil<Table>(), std::runtime_error);
  EXPECT_EQ(tracker.liveObjects(), live);
  EXPECT_EQ(Pooler::stats().liveBlocks, blocks);
  std::uint64_t const total = tracker.totalAllocations();
  {
    Orrin::Ptr<typename Table::Util> util(new IfaTest::RecordingUtil<Table>());
    // No dependent fields: a value is its own index.
    for (std::uint32_t v : {0u, 1u, 4095u, 0xFFFFFFFFu}) {
      EXPECT_EQ(util->dependentFieldValueToHwIndex(v), v);
    }
  }
  EXPECT_EQ(tracker.liveObjects(), live);
  EXPECT_EQ(tracker.totalAllocations(), total + 1);
}

}  // namespace
