// Every table of the catalogue, and the list of their types in catalogue order.
#pragma once

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
#define IFA_TABLE(Table, Module) , ::CorvaneInt::Table
using AllTables = DropFirst<void
#include "tables/IfaTables.def"
                            >::type;

}  // namespace IfaRuntime
