// What each table module sets up when the library loads: the process-wide
// agent name, the module's type-module registration, its "SwTableStat" trace
// handle and its UtilLoader singleton, which asks the plug-in loader for the
// chip's Util.
#pragma once

#include <cstdlib>
#include <string>

#include "Kiva/Entity.h"
#include "Kiva/Trace.h"
#include "Orrin/ModuleInspectData.h"
#include "Orrin/Ptr.h"
#include "Sidecar/Loader.h"
#include "runtime/IfaSwTableUtilLoader.h"
#include "runtime/TableModule.h"

namespace dmamem_lib {

// Shared by every module and library of the process that declares it (one
// definition across shared objects).
struct Manager {
  // The value of AGENT_PROCESS_NAME, read once per process; null when unset.
  static inline char const* agentName = nullptr;
  static inline bool agentNameInitialised = false;
};

}  // namespace dmamem_lib

namespace IfaRuntime {

// The table's UtilLoader singleton: found by name or created through the
// runtime (once per process), then asked again on every call to load the
// chip's Util. The outcome of the request is not examined: until a Util is
// set, the table works without one.
template <class Decl>
Orrin::Ptr<Orrin::Node> utilLoaderSingleton() {
  using Loader = typename IfaSwTable<Decl>::UtilLoader;
  static Orrin::Ptr<Orrin::Node> const held = [] {
    Orrin::Ptr<Orrin::Node> existing = Kiva::Entity::singletonExists(Loader::kQualifiedName);
    if (existing) return existing;
    return Kiva::Entity::singletonIs(
        TableModule<Decl>::typeData(TableModule<Decl>::kUtilLoaderType));
  }();
  static Plugin::Loader<void> record{std::string(Kiva::Entity::fwkType(*held)), {}, 0};
  Sidecar::Core::Loader::Singleton::load(Orrin::String("AsicFeature"),
                                         Orrin::String(Decl::kQualifiedName), &record);
  return held;
}

// The statics of one table module, constructed at library load in catalogue
// order and released at exit in reverse order.
template <class Decl>
class TableModuleStatics {
 public:
  TableModuleStatics() : statTrace_(initialised(), false), loader_(utilLoaderSingleton<Decl>()) {
    instance_ = this;
  }
  ~TableModuleStatics() { instance_ = nullptr; }

  // The module's "SwTableStat" handle; the module must have initialised.
  static Kiva::TraceHandle& statTrace() { return instance_->statTrace_; }
  static Orrin::Ptr<Orrin::Node> const& loader() { return instance_->loader_; }
  static bool isInitialised() { return instance_ != nullptr; }

 private:
  // Steps before the trace handle: the agent name, then the registration.
  static char const* initialised() {
    if (!dmamem_lib::Manager::agentNameInitialised) {
      dmamem_lib::Manager::agentNameInitialised = true;
      dmamem_lib::Manager::agentName = std::getenv("AGENT_PROCESS_NAME");
    }
    Orrin::ModuleInspectData::loaded(&TableModule<Decl>::record());
    return "SwTableStat";
  }

  Kiva::TraceHandle statTrace_;
  Orrin::Ptr<Orrin::Node> loader_;
  static inline TableModuleStatics* instance_ = nullptr;
};

}  // namespace IfaRuntime
