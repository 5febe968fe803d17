// IFA_SW_TABLE: declares one table of the catalogue from what is particular
// to it, and nothing else:
//
//     IFA_SW_TABLE(Table, Module, moduleId, resolvedHash, syncedHash, FIELDS)
//
//  - Table: the class name in CorvaneInt (qualified name "CorvaneInt::Table");
//  - Module: the table's source module (Table + "SwTable", or Table itself
//    when the name already ends in SwTable);
//  - moduleId: the eight-hex-digit identifier of the module's type record;
//  - resolvedHash, syncedHash: the 32-bit hash constants of the table's
//    resolved and synced collections;
//  - FIELDS: the entry's field list (see runtime/EntryDecl.h).
//
// It expands, inside namespace CorvaneInt, to the declaration struct
// CorvaneInt::decl::Table and to CorvaneInt::Table, the generic table
// instantiated with it.
#pragma once

#include <cstdint>
#include <string_view>

#include "runtime/EntryDecl.h"
#include "runtime/IfaSwTableImpl.h"

#define IFA_SW_TABLE(Table, Module, moduleId, resolvedHash, syncedHash, FIELDS) \
  namespace decl {                                                              \
  struct Table {                                                                \
    static constexpr std::string_view kName = #Table;                           \
    static constexpr std::string_view kQualifiedName = "CorvaneInt::" #Table;   \
    static constexpr std::string_view kModuleName = #Module;                    \
    static constexpr std::string_view kModuleId = #moduleId;                    \
    static constexpr std::uint32_t kResolvedHashConstant = resolvedHash;        \
    static constexpr std::uint32_t kSyncedHashConstant = syncedHash;            \
    IFA_DECLARE_ENTRY("CorvaneInt::" #Table "::Entry", FIELDS)                  \
  };                                                                            \
  }                                                                             \
  using Table = ::IfaRuntime::IfaSwTable<decl::Table>;
