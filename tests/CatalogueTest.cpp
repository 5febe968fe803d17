// The catalogue as the library sets it up at load: the plug-in requests of
// the UtilLoader singletons in catalogue order, the singletons themselves,
// the registered type modules, the process-wide agent name, and the
// factories with their allocation accounting.
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
#include "runtime/TableCatalogue.h"
#include "tables/IfaTables.h"

namespace {

using IfaRuntime::AllTables;

struct CatalogueRow {
  std::string table;
  std::string module;
  std::string record;
};

// The catalogue, written out independently of the declarations.
std::vector<CatalogueRow> const kCatalogue{
    {"IfaActionProfile", "IfaActionProfileSwTable", "_IfaActionProfileSwTable_fc536b73_kivaModule"},
    {"IfaActionVector", "IfaActionVectorSwTable", "_IfaActionVectorSwTable_a8d6bf9a_kivaModule"},
    {"IfaEpRecircProfile", "IfaEpRecircProfileSwTable",
     "_IfaEpRecircProfileSwTable_99fe30ff_kivaModule"},
    {"IfaEpRecirc", "IfaEpRecircSwTable", "_IfaEpRecircSwTable_d325aa37_kivaModule"},
    {"IfaMetadataConstructProfile", "IfaMetadataConstructProfileSwTable",
     "_IfaMetadataConstructProfileSwTable_89ede663_kivaModule"},
    {"IfaMetadataProfile", "IfaMetadataProfileSwTable",
     "_IfaMetadataProfileSwTable_d34fe928_kivaModule"},
    {"IfaMetadataSelectProfile", "IfaMetadataSelectProfileSwTable",
     "_IfaMetadataSelectProfileSwTable_1308c77_kivaModule"},
    {"IfaMonIngRedirectPktProfile", "IfaMonIngRedirectPktProfileSwTable",
     "_IfaMonIngRedirectPktProfileSwTable_2f963839_kivaModule"},
    {"IfaPktDetection", "IfaPktDetectionSwTable", "_IfaPktDetectionSwTable_c6fdc124_kivaModule"},
    {"IfaPortSwTable", "IfaPortSwTable", "_IfaPortSwTable_83e9dbbb_kivaModule"},
    {"IfaSflowIngSwTable", "IfaSflowIngSwTable", "_IfaSflowIngSwTable_32d62609_kivaModule"},
    {"IfaSwitchId", "IfaSwitchIdSwTable", "_IfaSwitchIdSwTable_35178147_kivaModule"},
    {"IfaTimeOfDay", "IfaTimeOfDaySwTable", "_IfaTimeOfDaySwTable_c110c6c_kivaModule"},
    {"IfaVectorMatch", "IfaVectorMatchSwTable", "_IfaVectorMatchSwTable_d293f097_kivaModule"},
};

TEST(CatalogueLoad, EveryModuleRequestedItsUtilInCatalogueOrder) {
  // The first requests of the process are the fourteen made at library load.
  std::vector<Sidecar::Core::Loader::Request> const requests =
      Sidecar::Core::Loader::Singleton::requests();
  ASSERT_GE(requests.size(), kCatalogue.size());
  for (std::size_t i = 0; i < kCatalogue.size(); ++i) {
    SCOPED_TRACE(kCatalogue[i].table);
    EXPECT_EQ(requests[i].prefix, "AsicFeature");
    EXPECT_EQ(requests[i].suffix, "CorvaneInt::" + kCatalogue[i].table);
    EXPECT_EQ(requests[i].recordName, "CorvaneInt::" + kCatalogue[i].table + "::UtilLoader");
  }
}

TEST(CatalogueLoad, EveryModuleRegisteredItsRecordUnderItsNameInCatalogueOrder) {
  std::vector<Kiva::TypeModuleRecord const*> const modules = Orrin::ModuleInspectData::modules();
  std::size_t i = 0;
  AllTables::forEach([&]<class Table>() {
    using Module = IfaRuntime::TableModule<typename Table::Declaration>;
    CatalogueRow const& row = kCatalogue[i];
    SCOPED_TRACE(row.table);
    EXPECT_EQ(Table::kName, row.table);
    EXPECT_EQ(Table::Declaration::kModuleName, row.module);
    // The record is the exported symbol of its name.
    void* symbol = dlsym(RTLD_DEFAULT, row.record.c_str());
    EXPECT_EQ(symbol, static_cast<void const*>(&Module::record()));
    auto const at = std::find(modules.begin(), modules.end(), &Module::record());
    ASSERT_NE(at, modules.end());
    if (i > 0) {
      auto const previous = std::find(modules.begin(), modules.end(),
                                      static_cast<Kiva::TypeModuleRecord const*>(
                                          dlsym(RTLD_DEFAULT, kCatalogue[i - 1].record.c_str())));
      EXPECT_LT(previous, at) << "registered before " << kCatalogue[i - 1].table;
    }
    EXPECT_TRUE(IfaRuntime::TableModuleStatics<typename Table::Declaration>::isInitialised());
    EXPECT_EQ(Table::statTraceHandle().name(), "SwTableStat");
    ++i;
  });
  EXPECT_EQ(i, kCatalogue.size());
}

TEST(CatalogueLoad, LoaderSingletonsAreFoundByNameAndReusedWithEveryRequest) {
  AllTables::forEach([]<class Table>() {
    using Decl = typename Table::Declaration;
    using Loader = typename Table::UtilLoader;
    SCOPED_TRACE(std::string(Table::kQualifiedName));
    Orrin::Ptr<Orrin::Node> const byName = Kiva::Entity::singletonExists(Loader::kQualifiedName);
    ASSERT_TRUE(byName);
    EXPECT_EQ(byName, IfaRuntime::TableModuleStatics<Decl>::loader());
    auto const* loader = dynamic_cast<Loader const*>(byName.get());
    ASSERT_NE(loader, nullptr);
    EXPECT_EQ(loader->prefixPath().view(), "AsicFeature");
    EXPECT_EQ(loader->suffixPath().view(), Table::kQualifiedName);
    EXPECT_EQ(loader->name().view(), Loader::kQualifiedName);
    EXPECT_EQ(Kiva::Entity::fwkType(*loader), Loader::kQualifiedName);
    EXPECT_EQ(loader->typeData().module, &IfaRuntime::TableModule<Decl>::record());
    EXPECT_EQ(loader->typeData().type, 2u);

    // Asking again gives the same singleton and asks the loader again.
    std::size_t const before = Sidecar::Core::Loader::Singleton::requests().size();
    Orrin::Ptr<Orrin::Node> const again = IfaRuntime::utilLoaderSingleton<Decl>();
    EXPECT_EQ(again, byName);
    auto const requests = Sidecar::Core::Loader::Singleton::requests();
    ASSERT_EQ(requests.size(), before + 1);
    EXPECT_EQ(requests.back().prefix, "AsicFeature");
    EXPECT_EQ(requests.back().suffix, Table::kQualifiedName);
  });
}

// The agent name is read when the library loads, so each case runs in a
// fresh process: this test binary again, with one test selected.
TEST(CatalogueProcess, ReportsAgentName) {
  if (std::getenv("IFA_CATALOGUE_CHILD") == nullptr)
    GTEST_SKIP()
        << "runs in the child processes of AgentNameIsReadOncePerProcessFromTheEnvironment";
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

TEST(CatalogueLoad, AgentNameIsReadOncePerProcessFromTheEnvironment) {
  EXPECT_EQ(childAgentName("env AGENT_PROCESS_NAME=switch-agent-7"),
            "agentName=switch-agent-7 initialised=1");
  EXPECT_EQ(childAgentName("env -u AGENT_PROCESS_NAME"), "agentName=(null) initialised=1");
  // Read once: the value stays what it was at load, whatever happens later.
  char const* const atLoad = dmamem_lib::Manager::agentName;
  setenv("AGENT_PROCESS_NAME", "changed-later", 1);
  IfaRuntime::utilLoaderSingleton<CorvaneInt::decl::IfaSwitchId>();
  EXPECT_EQ(dmamem_lib::Manager::agentName, atLoad);
  unsetenv("AGENT_PROCESS_NAME");
}

// A counted reference converts where the pointer converts: up to the
// framework's base classes and to const, never down to a table type nor
// across to another table.
static_assert(
    std::is_convertible_v<Orrin::Ptr<CorvaneInt::IfaActionProfile>, Orrin::Ptr<Asic::SwTable>>);
static_assert(std::is_convertible_v<Orrin::Ptr<CorvaneInt::IfaActionProfile>,
                                    Orrin::Ptr<CorvaneInt::IfaActionProfile const>>);
static_assert(std::is_convertible_v<Orrin::Ptr<CorvaneInt::IfaSwitchId::Util>,
                                    Orrin::Ptr<Asic::SwTable::Util>>);
static_assert(
    !std::is_constructible_v<Orrin::Ptr<CorvaneInt::IfaSwitchId>, Orrin::Ptr<Asic::SwTable>>);
static_assert(!std::is_constructible_v<Orrin::Ptr<CorvaneInt::IfaSwitchId>,
                                       Orrin::Ptr<CorvaneInt::IfaActionProfile>>);
static_assert(!std::is_constructible_v<Orrin::Ptr<CorvaneInt::IfaActionProfile>,
                                       Orrin::Ptr<CorvaneInt::IfaActionProfile const>>);
static_assert(!std::is_constructible_v<Orrin::Ptr<Asic::SwTable::Util>, Orrin::Ptr<Orrin::Node>>);

TEST(CatalogueFactories, EachGivesANewEmptyTableFromTheSlabsTracked) {
  std::vector<Orrin::Ptr<Orrin::Node>> keep;
  auto check = [&]<class Table>(Orrin::Ptr<Table> (*factory)()) {
    SCOPED_TRACE(std::string(Table::kQualifiedName));
    Kiva::AllocTrackTypeInfo const& tracker = Table::memAllocationTracker_;
    std::int64_t const live = tracker.liveObjects();
    Orrin::Ptr<Table> a = factory();
    Orrin::Ptr<Table> b = factory();
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    EXPECT_EQ(a->resolvedEntrys(), 0u);
    EXPECT_EQ(a->syncedEntrys(), 0u);
    EXPECT_TRUE(a->utilHolderEmpty());
    EXPECT_EQ(a->useCount(), 1u);
    EXPECT_TRUE(Pooler::isSlabAddress(a.get()));
    EXPECT_EQ(tracker.liveObjects(), live + 2);
    a.reset();
    EXPECT_EQ(tracker.liveObjects(), live + 1);
    b.reset();
    EXPECT_EQ(tracker.liveObjects(), live);
  };
  check(&CorvaneInt::ifaActionProfileFactory);
  check(&CorvaneInt::ifaActionVectorFactory);
  check(&CorvaneInt::ifaEpRecircProfileFactory);
  check(&CorvaneInt::ifaEpRecircFactory);
  check(&CorvaneInt::ifaMetadataConstructProfileFactory);
  check(&CorvaneInt::ifaMetadataProfileFactory);
  check(&CorvaneInt::ifaMetadataSelectProfileFactory);
  check(&CorvaneInt::ifaMonIngRedirectPktProfileFactory);
  check(&CorvaneInt::ifaPktDetectionFactory);
  check(&CorvaneInt::ifaPortSwTableFactory);
  check(&CorvaneInt::ifaSflowIngSwTableFactory);
  check(&CorvaneInt::ifaSwitchIdFactory);
  check(&CorvaneInt::ifaTimeOfDayFactory);
  check(&CorvaneInt::ifaVectorMatchFactory);
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

  // A Util that is made is reported at its own size and returned when its
  // last reference goes.
  std::uint64_t const total = tracker.totalAllocations();
  {
    Orrin::Ptr<typename Table::Util> util(new IfaTest::RecordingUtil<Table>());
    EXPECT_EQ(tracker.liveObjects(), live + 1);
    EXPECT_GE(tracker.liveBytes(),
              static_cast<std::int64_t>(sizeof(IfaTest::RecordingUtil<Table>)));
    // No dependent fields: a value is its own index.
    for (std::uint32_t v : {0u, 1u, 4095u, 0xFFFFFFFFu}) {
      EXPECT_EQ(util->dependentFieldValueToHwIndex(v), v);
    }
  }
  EXPECT_EQ(tracker.liveObjects(), live);
  EXPECT_EQ(tracker.totalAllocations(), total + 1);
}

}  // namespace
