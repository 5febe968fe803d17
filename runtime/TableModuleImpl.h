// Definition of TableModule<Decl>::record(), instantiated by each table
// module's source so that the record lives in the library.
#pragma once

#include "Kiva/PlatformTypeModules.h"
#include "Kiva/TypeModuleEncoder.h"
#include "Sidecar/Loader.h"
#include "runtime/IfaSwTable.h"
#include "runtime/IfaSwTableUtil.h"
#include "runtime/TableModule.h"
#include "runtime/TableTypeModule.h"

namespace IfaRuntime {

template <class Decl>
Kiva::TypeModuleRecord const& TableModule<Decl>::record() {
  namespace P = Kiva::PlatformTypeModules;
  using Table = IfaSwTable<Decl>;
  alignas(8) static unsigned char storage[8192];
  static Kiva::TypeModuleRecord const& r = *Kiva::encodeTypeModule(
      tableModuleSpec<Decl>({&P::loader(), &P::entryBlock(), &P::index(), &P::swTable(),
                             &P::swTableBase(), &P::uintTypes()},
                            // A UtilLoader adds no data member to the loader singleton.
                            {sizeof(typename Decl::Entry),
                             sizeof(typename Table::Util),
                             sizeof(Sidecar::Core::Loader::Singleton),
                             sizeof(Table),
                             {},
                             {},
                             {},
                             {}}),
      Decl::kModuleName, storage, sizeof storage);
  return r;
}

}  // namespace IfaRuntime

// In a table module's source: the table and its type module, instantiated in
// the library.
#define IFA_SW_TABLE_INSTANCE(Table)                              \
  template class IfaRuntime::IfaSwTable<CorvaneInt::decl::Table>; \
  template struct IfaRuntime::TableModule<CorvaneInt::decl::Table>;
