// What each table module's source instantiates in the library: the table,
// its type-module record with its hooks, its UtilLoader and factory, and the
// module statics that run when the library loads.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

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

// The targets of a record's slots: pointers of the targets' own types, one
// after another (8 bytes each), so that the slots are constant-initialised
// and the dynamic linker fills them.
template <class... Targets>
struct SlotList {};
template <class Target, class... Rest>
struct SlotList<Target, Rest...> {
  static_assert(sizeof(Target) == sizeof(void const*) && std::is_pointer_v<Target>);
  constexpr explicit SlotList(Target t, Rest... rest) : first(t), rest(rest...) {}
  Target first;
  [[no_unique_address]] SlotList<Rest...> rest;
};

// A platform module's record, by module number (runtime/TableTypeModule.h).
constexpr void const* platformModule(std::uint32_t module) {
  namespace P = Kiva::PlatformTypeModules;
  switch (module) {
    case kLoaderModule:
      return P::kLoader;
    case kEntryBlockModule:
      return P::kEntryBlock;
    case kIndexModule:
      return P::kIndex;
    case kSwTableModule:
      return P::kSwTable;
    case kSwTableBaseModule:
      return P::kSwTableBase;
    default:
      return P::kUintTypes;
  }
}

// A table's type module, encoded at compile time: the record's bytes and what
// each of its slots holds.
template <class Decl>
struct TableModuleEncoding {
  using Table = IfaSwTable<Decl>;
  static constexpr Kiva::EncodedModule encode() {
    // A UtilLoader adds no data member to the loader singleton.
    return Kiva::encodeModule(tableModuleSpec<Decl>(
        {sizeof(typename Decl::Entry), sizeof(typename Table::Util),
         sizeof(Sidecar::Core::Loader::Singleton), sizeof(Table), ModuleHooks<Decl>::present()}));
  }
  static_assert(encode().error.empty(), "the table's type module does not encode");
  static constexpr std::size_t kBytes = encode().bytes.size();
  static constexpr std::size_t kSlots = encode().slots.size();
  static constexpr std::array<std::uint8_t, kBytes> kRecord = [] {
    std::array<std::uint8_t, kBytes> bytes{};
    Kiva::EncodedModule const m = encode();
    std::copy(m.bytes.begin(), m.bytes.end(), bytes.begin());
    return bytes;
  }();
  static constexpr std::array<Kiva::Slot, kSlots> kSlotTargets = [] {
    std::array<Kiva::Slot, kSlots> slots{};
    Kiva::EncodedModule const m = encode();
    std::copy(m.slots.begin(), m.slots.end(), slots.begin());
    return slots;
  }();

  // The address slot K holds, for a record at `record`.
  template <std::size_t K>
  static constexpr auto target(unsigned char const* record) {
    constexpr Kiva::Slot s = kSlotTargets[K];
    if constexpr (s.kind == Kiva::Slot::kSection) {
      return static_cast<void const*>(record + s.first);
    } else if constexpr (s.kind == Kiva::Slot::kHook) {
      return ModuleHooks<Decl>::template target<s.first, s.second>();
    } else {
      return platformModule(s.first);
    }
  }
  template <std::size_t... K>
  static constexpr auto slots(unsigned char const* record, std::index_sequence<K...>) {
    return SlotList<decltype(target<K>(record))...>(target<K>(record)...);
  }
};

// A table's type module as the library holds it: one constant object, the
// record's bytes and then its slots. It lies in memory that is read-only once
// the library is relocated.
template <class Decl>
struct TableModuleImage {
  using Encoding = TableModuleEncoding<Decl>;
  alignas(8) unsigned char record[Encoding::kBytes];
  decltype(Encoding::slots(nullptr, std::make_index_sequence<Encoding::kSlots>())) slots;

  Kiva::TypeModuleRecord const& module() const {
    return *reinterpret_cast<Kiva::TypeModuleRecord const*>(record);
  }
};

// The image, given the object it initialises (its slots hold addresses in
// its own record).
template <class Decl, std::size_t... I>
constexpr TableModuleImage<Decl> tableModuleImage(TableModuleImage<Decl> const& self,
                                                  std::index_sequence<I...>) {
  using Encoding = TableModuleEncoding<Decl>;
  return {{Encoding::kRecord[I]...},
          Encoding::slots(self.record, std::make_index_sequence<Encoding::kSlots>())};
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

// In a catalogue row's generated source: the table, its constant type module
// under the record's name, and its factory, instantiated in the library.
#define IFA_SW_TABLE_INSTANCE(Table, Module, factory, moduleId)                     \
  template class IfaRuntime::IfaSwTable<CorvaneInt::decl::Table>;                   \
  template struct IfaRuntime::TableModule<CorvaneInt::decl::Table>;                 \
  extern "C" constinit IfaRuntime::TableModuleImage<CorvaneInt::decl::Table> const  \
      _##Module##_##moduleId##_kivaModule = IfaRuntime::tableModuleImage(           \
          _##Module##_##moduleId##_kivaModule,                                      \
          std::make_index_sequence<                                                 \
              IfaRuntime::TableModuleEncoding<CorvaneInt::decl::Table>::kBytes>()); \
  Kiva::TypeModuleRecord const& CorvaneInt::decl::Table::record() {                 \
    return _##Module##_##moduleId##_kivaModule.module();                            \
  }                                                                                 \
  Orrin::Ptr<CorvaneInt::Table> CorvaneInt::factory() {                             \
    return Orrin::ptrIsImpl<CorvaneInt::Table>();                                   \
  }
