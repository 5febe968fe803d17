// The type module of one table, generated from the table's declaration: its
// four types (Entry 0, Util 1, UtilLoader 2, the table 3), their attributes,
// argument lists, names, referenced types and hooks. The attributes are
// those of the attribute schema, runtime/IfaAttributes.def.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "Kiva/TypeModuleEncoder.h"
#include "runtime/EntryFields.h"
#include "runtime/Names.h"

namespace IfaRuntime {

// Positions in the referenced-type list, the same in every table module.
enum ReferencedTypeIndex : std::int16_t {
  kRefLoaderSingleton = 0,    // Loader 1: Sidecar::Core::Loader::Singleton
  kRefEntryBase = 1,          // EntryBlock 1: Asic::EntryBase
  kRefAsicIndex = 2,          // Index 0: Asic::Index
  kRefSwKnownIndexTable = 3,  // SwTable 14: Asic::SwKnownIndexTable
  kRefSwTableUtil = 4,        // SwTable 6: Asic::SwTable::Util
  kRefSwTableBaseIndex = 5,   // SwTableBase 2: Asic::SwTableBase::Index
  kRefOwnEntry = 6,           // this module 0
  kRefOwnUtil = 7,            // this module 1
  kRefFirstUint = 8,          // UintTypes n for each U(n+1) used, ascending
};

// The platform's type modules that table modules refer to, by module number
// (the order of the slots' targets, runtime/TableModuleImpl.h).
enum PlatformModule : std::uint32_t {
  kLoaderModule,
  kEntryBlockModule,
  kIndexModule,
  kSwTableModule,
  kSwTableBaseModule,
  kUintTypesModule,
};

// What a table module's description needs beyond its declaration: the sizes
// of its types as built, and which hook slots each type fills (Entry, Util,
// UtilLoader, the table).
struct TableModuleParts {
  std::size_t entrySize, utilSize, utilLoaderSize, tableSize;
  std::array<std::array<bool, Kiva::kHookSlots>, 4> hooks;
};

template <class Decl>
struct TableModuleNames {
  static constexpr std::string_view kEntrySuffix = "::Entry";
  static constexpr std::string_view kUtilSuffix = "::Util";
  static constexpr std::string_view kUtilLoaderSuffix = "::UtilLoader";
  static constexpr std::string_view table = Decl::kQualifiedName;
  static constexpr std::string_view entry = joinNames<Decl::kQualifiedName, kEntrySuffix>;
  static constexpr std::string_view util = joinNames<Decl::kQualifiedName, kUtilSuffix>;
  static constexpr std::string_view utilLoader = joinNames<Decl::kQualifiedName, kUtilLoaderSuffix>;
};

// The type names that argument lists of the attribute schema name by token.
template <class Decl>
struct SchemaArgTypes {
#define IFA_ARG_TYPE(Token, name) static constexpr std::string_view Token = name;
#include "runtime/IfaAttributes.def"
  static constexpr std::string_view Table = TableModuleNames<Decl>::table;
  static constexpr std::string_view Entry = TableModuleNames<Decl>::entry;
};

// The value and key types that the attribute schema names by token.
struct SchemaValueTypes {
  static constexpr std::int16_t None = Kiva::kTypeNone, U8 = Kiva::kTypeU8, U32 = Kiva::kTypeU32,
                                U64 = Kiva::kTypeU64, Bool = Kiva::kTypeBool,
                                AsicIndex = kRefAsicIndex, OwnEntry = kRefOwnEntry,
                                OwnUtil = kRefOwnUtil, Index = kRefSwTableBaseIndex, NoKey = -1;
};

// The bit widths of U1 to U6 that the entry's fields use, ascending.
template <class Entry>
constexpr std::vector<unsigned> bitWidthsUsed() {
  std::vector<unsigned> widths;
  forEachField<Entry>([&](auto const& f) {
    using Traits = typename std::remove_cvref_t<decltype(f)>::Traits;
    if constexpr (Traits::kBitWidth) widths.push_back(Traits::kBits);
  });
  std::sort(widths.begin(), widths.end());
  widths.erase(std::unique(widths.begin(), widths.end()), widths.end());
  return widths;
}

// The description of a table's module; it needs no address, so that the
// module can be encoded at compile time.
template <class Decl>
constexpr Kiva::ModuleDescription tableModuleSpec(TableModuleParts const& parts) {
  using Entry = typename Decl::Entry;
  using Names = TableModuleNames<Decl>;
  std::vector<unsigned> const widths = bitWidthsUsed<Entry>();

  // The attributes of each type, as runtime/IfaAttributes.def declares them.
  using ArgTypes = SchemaArgTypes<Decl>;
  using ValueTypes = SchemaValueTypes;
  auto kindOf = [](Kiva::AttributeKind k, bool callable) {
    return callable ? k : Kiva::notCallable(k);
  };
  bool const Callable = true, NotCallable = false;
  // clang-format off
#define ARG(name, Type) Kiva::ArgSpec{#name, ArgTypes::Type}
#define OPTIONAL_ARG(name, Type) Kiva::ArgSpec{#name, ArgTypes::Type, true}
  // clang-format on
#define IFA_SCHEMA_ATTR(Owner, number, name, Kind, callable, x0, x1, valueType, keyType, ...) \
  [&] {                                                                                       \
    Kiva::AttributeKind const k = kindOf(Kiva::AttrKind::Kind, callable);                     \
    return Kiva::AttributeSpec{number,        #name,                                          \
                               k.kind,        k.access,                                       \
                               {x0, x1},      ValueTypes::valueType,                          \
                               {__VA_ARGS__}, ValueTypes::keyType};                           \
  }(),

  // Entry: its constants, then one attribute per data field.
  std::vector<Kiva::AttributeSpec> entryAttrs{
#define IFA_ATTR IFA_SCHEMA_ATTR
#define IFA_UTIL_ATTR(...)
#define IFA_TABLE_ATTR(...)
#include "runtime/IfaAttributes.def"
  };
#define IFA_ENTRY_FIELD_ATTRS(firstNumber, Kind, callable, x0, x1, firstPosition)                \
  std::int16_t position = firstPosition;                                                         \
  forEachField<Entry>([&](auto const& f) {                                                       \
    using Traits = typename std::remove_cvref_t<decltype(f)>::Traits;                            \
    std::int16_t valueType = Traits::kBits == 8 ? Kiva::kTypeU8 : Kiva::kTypeU32;                \
    if constexpr (Traits::kBitWidth) {                                                           \
      auto const rank = std::find(widths.begin(), widths.end(), Traits::kBits) - widths.begin(); \
      valueType = static_cast<std::int16_t>(kRefFirstUint + rank);                               \
    }                                                                                            \
    Kiva::AttributeKind const k = kindOf(Kiva::AttrKind::Kind, callable);                        \
    Kiva::AttributeSpec a{static_cast<std::uint16_t>(firstNumber + position - firstPosition),    \
                          f.name,                                                                \
                          k.kind,                                                                \
                          k.access,                                                              \
                          {x0, x1},                                                              \
                          valueType};                                                            \
    a.fieldPosition = position++;                                                                \
    entryAttrs.push_back(std::move(a));                                                          \
  });
#include "runtime/IfaAttributes.def"

  std::vector<Kiva::AttributeSpec> utilAttrs{
#define IFA_ATTR IFA_SCHEMA_ATTR
#define IFA_ENTRY_ATTR(...)
#define IFA_TABLE_ATTR(...)
#include "runtime/IfaAttributes.def"
  };
  std::vector<Kiva::AttributeSpec> tableAttrs{
#define IFA_ATTR IFA_SCHEMA_ATTR
#define IFA_ENTRY_ATTR(...)
#define IFA_UTIL_ATTR(...)
#include "runtime/IfaAttributes.def"
  };
#undef ARG
#undef OPTIONAL_ARG
#undef IFA_SCHEMA_ATTR
  std::vector<Kiva::ArgSpec> const ctor{{"name", ArgTypes::String}};

  Kiva::ModuleDescription description;
  description.types = {
      {0x0041,
       Names::entry,
       parts.entrySize,
       std::move(entryAttrs),
       {},
       kRefEntryBase,
       parts.hooks[0]},
      {0x0140, Names::util, parts.utilSize, std::move(utilAttrs), ctor, kRefSwTableUtil,
       parts.hooks[1]},
      {0x0040,
       Names::utilLoader,
       parts.utilLoaderSize,
       {},
       ctor,
       kRefLoaderSingleton,
       parts.hooks[2]},
      {0x0040,
       Names::table,
       parts.tableSize,
       std::move(tableAttrs),
       {},
       kRefSwKnownIndexTable,
       parts.hooks[3]},
  };
  description.referencedTypes = {
      {kLoaderModule, 1},  {kEntryBlockModule, 1},  {kIndexModule, 0},      {kSwTableModule, 14},
      {kSwTableModule, 6}, {kSwTableBaseModule, 2}, {Kiva::kThisModule, 0}, {Kiva::kThisModule, 1},
  };
  for (unsigned w : widths) description.referencedTypes.push_back({kUintTypesModule, w - 1});
  return description;
}

}  // namespace IfaRuntime
