// Every table of the catalogue, declared from its row of tables/IfaTables.def,
// and the list of their types in catalogue order.
#pragma once

#include <cstddef>
#include <tuple>

// The field header of every catalogue row (generated from the rows).
#include "IfaTableHeaders.h"
#include "runtime/TableDecl.h"

// The tables, declared from their rows.
namespace CorvaneInt {
#define IFA_TABLE(Table, Module, factory, moduleId, resolvedHash, syncedHash, FIELDS) \
  IFA_SW_TABLE(Table, Module, factory, moduleId, resolvedHash, syncedHash, FIELDS)
#include "tables/IfaTables.def"
}  // namespace CorvaneInt

namespace IfaRuntime {

template <class... Tables>
struct TableList {
  // One Slot<Table> per table, in catalogue order, reached by type
  // (std::get<Slot<Table>>).
  template <template <class> class Slot>
  using Tuple = std::tuple<Slot<Tables>...>;

  // Calls f.template operator()<Table>() for each table, in catalogue order.
  template <class F>
  static void forEach(F&& f) {
    (f.template operator()<Tables>(), ...);
  }
};

template <class First, class... Rest>
struct DropFirst {
  using type = TableList<Rest...>;
};

// The tables, in catalogue order.
#define IFA_TABLE(Table, ...) , ::CorvaneInt::Table
using AllTables = DropFirst<void
#include "tables/IfaTables.def"
                            >::type;

// A new, empty table of type Table, from the table's exported factory.
template <class Table>
Orrin::Ptr<Table> tableNew();
#define IFA_TABLE(Table, Module, factory, ...)                             \
  template <>                                                              \
  inline Orrin::Ptr<::CorvaneInt::Table> tableNew<::CorvaneInt::Table>() { \
    return ::CorvaneInt::factory();                                        \
  }
#include "tables/IfaTables.def"

// The number of tables in the catalogue.
#define IFA_TABLE(...) +1
inline constexpr std::size_t kTableCount = 0
#include "tables/IfaTables.def"
    ;

}  // namespace IfaRuntime
