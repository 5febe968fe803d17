// The module statics of every table, defined in catalogue order in this one
// translation unit, so that the modules initialise in that order when the
// library loads (and are released in the reverse order at exit). The tables
// themselves are instantiated in one generated source per catalogue row.
#include "tables/IfaTables.h"

#include "runtime/TableModuleImpl.h"

#define IFA_TABLE(Table, ...)                                            \
  extern template class IfaRuntime::IfaSwTable<CorvaneInt::decl::Table>; \
  extern template struct IfaRuntime::TableModule<CorvaneInt::decl::Table>;
#include "tables/IfaTables.def"

namespace {

#define IFA_TABLE(Table, ...) \
  IfaRuntime::TableModuleStatics<CorvaneInt::decl::Table> const Table##Statics;
#include "tables/IfaTables.def"

}  // namespace
