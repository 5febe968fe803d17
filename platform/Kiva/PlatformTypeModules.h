// The platform's own type modules that library type modules refer to: the
// loader singletons (Loader), entries (EntryBlock), hardware indices (Index),
// software tables (SwTable), table keys (SwTableBase) and the bit-width
// unsigned types (UintTypes).
//
// Each is exported under its record name, _<Module>_<id>_kivaModule, the id
// being the CRC-32 of the module name in eight hexadecimal digits, so that a
// library's constant record can hold its address. The platform encodes them
// when it loads, before any library that refers to them.
#pragma once

#include <cstddef>

#include "Kiva/TypeModule.h"

namespace Kiva::PlatformTypeModules {
// Bytes of each record's storage.
inline constexpr std::size_t kStorageBytes = 4096;
}  // namespace Kiva::PlatformTypeModules

// The records' storage, under their names.
#define KIVA_PLATFORM_MODULES(X) \
  X(Loader, b8fff740)            \
  X(EntryBlock, f480b3fe)        \
  X(Index, 41b24805)             \
  X(SwTable, 68bc4672)           \
  X(SwTableBase, debec0e4)       \
  X(UintTypes, 04818241)

#define KIVA_PLATFORM_MODULE_STORAGE(Module, id) \
  extern "C" unsigned char _##Module##_##id##_kivaModule[];
KIVA_PLATFORM_MODULES(KIVA_PLATFORM_MODULE_STORAGE)
#undef KIVA_PLATFORM_MODULE_STORAGE

namespace Kiva::PlatformTypeModules {

TypeModuleRecord const& loader();       // 1: Sidecar::Core::Loader::Singleton
TypeModuleRecord const& entryBlock();   // 1: Asic::EntryBase
TypeModuleRecord const& index();        // 0: Asic::Index
TypeModuleRecord const& swTable();      // 6: Asic::SwTable::Util, 14: Asic::SwKnownIndexTable
TypeModuleRecord const& swTableBase();  // 2: Asic::SwTableBase::Index
TypeModuleRecord const& uintTypes();    // n: Kiva::U(n+1), n = 0 to 5

// The storage of each record, for constant references to it.
inline constexpr unsigned char* kLoader = _Loader_b8fff740_kivaModule;
inline constexpr unsigned char* kEntryBlock = _EntryBlock_f480b3fe_kivaModule;
inline constexpr unsigned char* kIndex = _Index_41b24805_kivaModule;
inline constexpr unsigned char* kSwTable = _SwTable_68bc4672_kivaModule;
inline constexpr unsigned char* kSwTableBase = _SwTableBase_debec0e4_kivaModule;
inline constexpr unsigned char* kUintTypes = _UintTypes_04818241_kivaModule;

}  // namespace Kiva::PlatformTypeModules
