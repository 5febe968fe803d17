// What each table module's source instantiates in the library: the table,
// its type-module record with its hooks, its UtilLoader and factory, and the
// module statics that run when the library loads.
#pragma once

#include "Kiva/PlatformTypeModules.h"
#include "Kiva/TypeModuleEncoder.h"
#include "Sidecar/Loader.h"
#include "runtime/IfaSwTable.h"
#include "runtime/IfaSwTableUtil.h"
#include "runtime/IfaSwTableUtilLoader.h"
#include "runtime/Reflection.h"
#include "runtime/TableCatalogue.h"
#include "runtime/TableModule.h"
#include "runtime/TableTypeModule.h"

namespace IfaRuntime {

template <class Decl>
Kiva::TypeModuleRecord const& TableModule<Decl>::record() {
  namespace P = Kiva::PlatformTypeModules;
  using Table = IfaSwTable<Decl>;
  static Kiva::TypeModuleRecord const& r = *Kiva::encodeTypeModule(
      tableModuleSpec<Decl>(
          {&P::loader(), &P::entryBlock(), &P::index(), &P::swTable(), &P::swTableBase(),
           &P::uintTypes()},
          // A UtilLoader adds no data member to the loader singleton.
          {sizeof(typename Decl::Entry), sizeof(typename Table::Util),
           sizeof(Sidecar::Core::Loader::Singleton), sizeof(Table), ModuleHooks<Decl>::entry(),
           ModuleHooks<Decl>::util(), ModuleHooks<Decl>::utilLoader(), ModuleHooks<Decl>::table()}),
      Decl::kModuleName, Decl::recordStorage(), kTableModuleCapacity);
  return r;
}

template <class Decl>
Orrin::TypeData IfaSwTable<Decl>::UtilLoader::typeData() const {
  return TableModule<Decl>::typeData(TableModule<Decl>::kUtilLoaderType);
}

template <class Decl>
Kiva::TraceHandle& IfaSwTable<Decl>::statTraceHandle() {
  return TableModuleStatics<Decl>::statTrace();
}

}  // namespace IfaRuntime

// In a catalogue row's generated source: the table, its type module and its
// factory, instantiated in the library.
#define IFA_SW_TABLE_INSTANCE(Table, factory)                       \
  template class IfaRuntime::IfaSwTable<CorvaneInt::decl::Table>;   \
  template struct IfaRuntime::TableModule<CorvaneInt::decl::Table>; \
  Orrin::Ptr<CorvaneInt::Table> CorvaneInt::factory() {             \
    return Orrin::ptrIsImpl<CorvaneInt::Table>();                   \
  }
