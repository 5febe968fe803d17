// IFA_SW_TABLE: declares one table of the catalogue from what is particular
// to it, and nothing else:
//
//     IFA_SW_TABLE(Table, Module, factory, moduleId, resolvedHash, syncedHash, FIELDS)
//
//  - Table: the class name in CorvaneInt (qualified name "CorvaneInt::Table");
//  - Module: the table's source module (Table + "SwTable", or Table itself
//    when the name already ends in SwTable);
//  - factory: the exported factory of the table (the table's name with a
//    lower-case first letter and the suffix Factory);
//  - moduleId: the eight-hex-digit identifier of the module's type record;
//  - resolvedHash, syncedHash: the 32-bit hash constants of the table's
//    resolved and synced collections;
//  - FIELDS: the entry's field list (see runtime/EntryDecl.h).
//
// It expands, inside namespace CorvaneInt, to the declaration struct
// CorvaneInt::decl::Table, to CorvaneInt::Table, the generic table
// instantiated with it, and to the declaration of the factory. The catalogue
// row's generated source defines them with IFA_SW_TABLE_INSTANCE
// (runtime/TableModuleImpl.h). Each catalogue row of tables/IfaTables.def
// expands to one IFA_SW_TABLE (tables/IfaTables.h).
#pragma once

#include <cstdint>
#include <string_view>

#include "Orrin/Ptr.h"
#include "runtime/EntryDecl.h"
#include "runtime/IfaSwTableImpl.h"
#include "runtime/TableModule.h"

#define IFA_SW_TABLE(Table, Module, factory, moduleId, resolvedHash, syncedHash, FIELDS)     \
  namespace decl {                                                                           \
  struct Table {                                                                             \
    static constexpr std::string_view kName = #Table;                                        \
    static constexpr std::string_view kQualifiedName = "CorvaneInt::" #Table;                \
    static constexpr std::string_view kModuleName = #Module;                                 \
    static constexpr std::string_view kModuleId = #moduleId;                                 \
    static constexpr std::uint32_t kResolvedHashConstant = resolvedHash;                     \
    static constexpr std::uint32_t kSyncedHashConstant = syncedHash;                         \
    static constexpr std::string_view kRecordName = "_" #Module "_" #moduleId "_kivaModule"; \
    /* The module's constant record, _<Module>_<moduleId>_kivaModule. */                     \
    static ::Kiva::TypeModuleRecord const& record();                                         \
    IFA_DECLARE_ENTRY("CorvaneInt::" #Table "::Entry", FIELDS)                               \
  };                                                                                         \
  }                                                                                          \
  using Table = ::IfaRuntime::IfaSwTable<decl::Table>;                                       \
  /* A new, empty table. */                                                                  \
  Orrin::Ptr<Table> factory();
