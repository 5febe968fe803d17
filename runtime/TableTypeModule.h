// The type module of one table, generated from the table's declaration: its
// four types (Entry 0, Util 1, UtilLoader 2, the table 3), their attributes,
// argument lists, names, referenced types and hooks.
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

// Kind and access bytes of the attribute kinds.
struct AttributeKind {
  std::uint8_t kind;
  std::uint8_t access;
};
inline constexpr AttributeKind kConstant{0x08, 0x28};
inline constexpr AttributeKind kDataField{0x00, 0x1C};
inline constexpr AttributeKind kComputed{0x00, 0x28};
inline constexpr AttributeKind kStoredCollection{0x01, 0x4C};
inline constexpr AttributeKind kComputedCollection{0x01, 0x28};
inline constexpr AttributeKind kReadOnlyFunction{0x10, 0x08};
inline constexpr AttributeKind kChangingFunction{0x11, 0x08};
inline constexpr AttributeKind kClassFunction{0x18, 0x08};
inline constexpr AttributeKind kRefFunction{0x30, 0x08};
// A function the runtime may not call keeps its kind and has access 0.
constexpr AttributeKind notCallable(AttributeKind k) {
  return {k.kind, 0x00};
}

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

// The platform's type modules that table modules refer to.
struct PlatformModules {
  void const* loader;
  void const* entryBlock;
  void const* index;
  void const* swTable;
  void const* swTableBase;
  void const* uintTypes;
};

// What a table module's description needs beyond its declaration: the sizes
// of its types as built and their hooks.
struct TableModuleParts {
  std::size_t entrySize, utilSize, utilLoaderSize, tableSize;
  std::array<void const*, 6> entryHooks, utilHooks, utilLoaderHooks, tableHooks;
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

// The bit widths of U1 to U6 that the entry's fields use, ascending.
template <class Entry>
std::vector<unsigned> bitWidthsUsed() {
  std::vector<unsigned> widths;
  forEachField<Entry>([&](auto const& f) {
    using Traits = typename std::remove_cvref_t<decltype(f)>::Traits;
    if constexpr (Traits::kBitWidth) widths.push_back(Traits::kBits);
  });
  std::sort(widths.begin(), widths.end());
  widths.erase(std::unique(widths.begin(), widths.end()), widths.end());
  return widths;
}

template <class Decl>
Kiva::ModuleSpec tableModuleSpec(PlatformModules const& platform, TableModuleParts const& parts) {
  using Entry = typename Decl::Entry;
  using Names = TableModuleNames<Decl>;
  using Kiva::kTypeBool, Kiva::kTypeNone, Kiva::kTypeU32, Kiva::kTypeU64, Kiva::kTypeU8;
  std::vector<unsigned> const widths = bitWidthsUsed<Entry>();

  auto attr = [](std::uint16_t number, std::string_view name, AttributeKind k,
                 std::int16_t valueType, std::vector<Kiva::ArgSpec> args = {}) {
    return Kiva::AttributeSpec{number, name, k.kind, k.access, {0, 0}, valueType, std::move(args)};
  };
  Kiva::ArgSpec const key{"key", "Asic::SwTableBase::Index"};
  Kiva::ArgSpec const swTable{"swTable", Names::table};
  Kiva::ArgSpec const hwTable{"hwTable", "Asic::HwTable"};
  Kiva::ArgSpec const hdl{"hdl", "Asic::SwTableBase::EntryHandle"};
  Kiva::ArgSpec const mg{"mg", "Statebase::MountGroup"};
  std::vector<Kiva::ArgSpec> const ctor{{"name", "Orrin::String"}};

  // Entry: the two constants, then one attribute per data field.
  std::vector<Kiva::AttributeSpec> entryAttrs{
      attr(130, "getBlockSizeDefinedByUser", kConstant, kTypeBool),
      attr(131, "numDependentFields", kConstant, kTypeU64)};
  std::int16_t position = 4;
  forEachField<Entry>([&](auto const& f) {
    using Traits = typename std::remove_cvref_t<decltype(f)>::Traits;
    std::int16_t valueType = Traits::kBits == 8 ? kTypeU8 : kTypeU32;
    if constexpr (Traits::kBitWidth) {
      auto const rank = std::find(widths.begin(), widths.end(), Traits::kBits) - widths.begin();
      valueType = static_cast<std::int16_t>(kRefFirstUint + rank);
    }
    auto a = attr(static_cast<std::uint16_t>(128 + position), f.name, kDataField, valueType);
    a.extra = {0x01, 0x02};
    a.fieldPosition = position++;
    entryAttrs.push_back(std::move(a));
  });

  std::vector<Kiva::AttributeSpec> utilAttrs{
      attr(514, "minIndex", kReadOnlyFunction, kTypeU32),
      attr(515, "maxIndex", kReadOnlyFunction, kTypeU32),
      attr(516, "hwTableEntryIs", notCallable(kReadOnlyFunction), kTypeNone,
           {swTable, key, {"entry", Names::entry, true}}),
      attr(517, "hwTableEntryDel", notCallable(kReadOnlyFunction), kTypeNone, {swTable, key}),
      attr(518, "updateHwIndexRefCountTracker", notCallable(kReadOnlyFunction), kTypeNone,
           {hwTable, key, {"updateOperation", "Asic::IndexUserTracker::OpType"}}),
      attr(519, "compareHwEntries", notCallable(kReadOnlyFunction), kTypeBool,
           {swTable, key, {"resolvedEntry", Names::entry}}),
      attr(520, "syncEntries", notCallable(kReadOnlyFunction), kTypeNone, {hwTable, swTable}),
      attr(521, "getHwIndex", notCallable(kClassFunction), kRefAsicIndex, {hdl}),
      attr(522, "hwIndexForDependentField", notCallable(kReadOnlyFunction), kRefAsicIndex, {hdl}),
      attr(523, "dependentFieldValueToHwIndex", kReadOnlyFunction, kRefAsicIndex,
           {{"dependentField", "Asic::Index"}}),
  };

  auto collection = [&](std::uint16_t number, std::string_view name, AttributeKind k,
                        std::array<std::uint8_t, 2> extra) {
    auto a = attr(number, name, k, kRefOwnEntry);
    a.extra = extra;
    a.keyType = kRefSwTableBaseIndex;
    return a;
  };
  auto util = attr(531, "util", kRefFunction, kRefOwnUtil);
  util.extra = {0x14, 0x00};
  std::vector<Kiva::AttributeSpec> tableAttrs{
      attr(514, "isOwnedByMergeTable", kConstant, kTypeBool),
      attr(515, "isExternalKeyType", kConstant, kTypeBool),
      attr(516, "setResolvedEntryBlockMetaDataDefinedByUser", kConstant, kTypeU64),
      attr(517, "setResolvedEntryMetaDataDefinedByUser", kConstant, kTypeU64),
      attr(518, "entryHas", kReadOnlyFunction, kTypeBool, {key}),
      collection(519, "resolvedEntry", kStoredCollection, {0x01, 0x10}),
      collection(520, "entry", kComputedCollection, {0x00, 0x00}),
      collection(521, "syncedEntry", kStoredCollection, {0x01, 0x00}),
      attr(522, "entryRemoveAll", kChangingFunction, kTypeNone),
      attr(523, "minIndex", kReadOnlyFunction, kTypeU32),
      attr(524, "maxIndex", kReadOnlyFunction, kTypeU32),
      attr(525, "handleEntry", notCallable(kChangingFunction), kTypeNone, {key}),
      attr(526, "readAccess", kConstant, kTypeBool),
      attr(527, "writeAccess", kConstant, kTypeBool),
      attr(528, "entrys", kComputed, kTypeU32),
      attr(529, "entryRemove", kChangingFunction, kTypeNone, {key}),
      attr(530, "entryCommit", kChangingFunction, kTypeNone, {key, {"entry", Names::entry}}),
      util,
      attr(532, "doMountHwTableMountInfo", kClassFunction, kTypeNone, {mg}),
      attr(533, "doMountHwTableRecoveryStatus", kClassFunction, kTypeNone, {mg}),
      attr(534, "doRecoverHwTable", kClassFunction, kTypeNone,
           {{"rg", "Asic::HwTableRecoverGroup"},
            {"unitId", "Asic::UnitId"},
            {"statebaseEm", "Statebase::EntityManager"},
            {"chipInfo", "Asic::ChipInfo"}}),
      attr(535, "autoCommitSyncedEntries", kChangingFunction, kTypeNone),
      attr(536, "cleanup", notCallable(kChangingFunction), kTypeNone),
  };

  Kiva::ModuleSpec spec;
  spec.types = {
      {0x0041,
       Names::entry,
       parts.entrySize,
       std::move(entryAttrs),
       {},
       kRefEntryBase,
       parts.entryHooks},
      {0x0140, Names::util, parts.utilSize, std::move(utilAttrs), ctor, kRefSwTableUtil,
       parts.utilHooks},
      {0x0040,
       Names::utilLoader,
       parts.utilLoaderSize,
       {},
       ctor,
       kRefLoaderSingleton,
       parts.utilLoaderHooks},
      {0x0040,
       Names::table,
       parts.tableSize,
       std::move(tableAttrs),
       {},
       kRefSwKnownIndexTable,
       parts.tableHooks},
  };
  spec.referencedTypes = {
      {platform.loader, 1},  {platform.entryBlock, 1},  {platform.index, 0}, {platform.swTable, 14},
      {platform.swTable, 6}, {platform.swTableBase, 2}, {nullptr, 0},        {nullptr, 1},
  };
  for (unsigned w : widths) spec.referencedTypes.push_back({platform.uintTypes, w - 1});
  return spec;
}

}  // namespace IfaRuntime
