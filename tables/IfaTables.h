// Every table of the catalogue, and the list of their types in catalogue order.
#pragma once

#include <tuple>

#include "tables/IfaActionProfileSwTable.h"
#include "tables/IfaActionVectorSwTable.h"
#include "tables/IfaEpRecircProfileSwTable.h"
#include "tables/IfaEpRecircSwTable.h"
#include "tables/IfaMetadataConstructProfileSwTable.h"
#include "tables/IfaMetadataProfileSwTable.h"
#include "tables/IfaMetadataSelectProfileSwTable.h"
#include "tables/IfaMonIngRedirectPktProfileSwTable.h"
#include "tables/IfaPktDetectionSwTable.h"
#include "tables/IfaPortSwTable.h"
#include "tables/IfaSflowIngSwTable.h"
#include "tables/IfaSwitchIdSwTable.h"
#include "tables/IfaTimeOfDaySwTable.h"
#include "tables/IfaVectorMatchSwTable.h"

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

// The fourteen tables, in catalogue order.
#define IFA_TABLE(Table, Module, factory) , ::CorvaneInt::Table
using AllTables = DropFirst<void
#include "tables/IfaTables.def"
                            >::type;

// A new, empty table of type Table, from the table's exported factory.
template <class Table>
Orrin::Ptr<Table> tableNew();
#define IFA_TABLE(Table, Module, factory)                                  \
  template <>                                                              \
  inline Orrin::Ptr<::CorvaneInt::Table> tableNew<::CorvaneInt::Table>() { \
    return ::CorvaneInt::factory();                                        \
  }
#include "tables/IfaTables.def"

}  // namespace IfaRuntime
