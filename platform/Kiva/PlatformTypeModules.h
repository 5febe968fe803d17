// The platform's own type modules that library type modules refer to: the
// loader singletons (Loader), entries (EntryBlock), hardware indices (Index),
// software tables (SwTable), table keys (SwTableBase) and the bit-width
// unsigned types (UintTypes). Each is encoded once, on first use.
#pragma once

#include "Kiva/TypeModule.h"

namespace Kiva::PlatformTypeModules {

TypeModuleRecord const& loader();       // 1: Sidecar::Core::Loader::Singleton
TypeModuleRecord const& entryBlock();   // 1: Asic::EntryBase
TypeModuleRecord const& index();        // 0: Asic::Index
TypeModuleRecord const& swTable();      // 6: Asic::SwTable::Util, 14: Asic::SwKnownIndexTable
TypeModuleRecord const& swTableBase();  // 2: Asic::SwTableBase::Index
TypeModuleRecord const& uintTypes();    // n: Kiva::U(n+1), n = 0 to 5

}  // namespace Kiva::PlatformTypeModules
