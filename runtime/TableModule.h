// The type module of one table: a constant record, encoded from the table's
// declaration at compile time (runtime/TableModuleImpl.h).
#pragma once

#include <cstdint>

#include "Kiva/TypeModule.h"
#include "Orrin/Node.h"

namespace IfaRuntime {

template <class Decl>
struct TableModule {
  // Type numbers in the module.
  static constexpr std::uint32_t kEntryType = 0, kUtilType = 1, kUtilLoaderType = 2, kTableType = 3;

  // The record, the library's exported constant _<Module>_<id>_kivaModule.
  static Kiva::TypeModuleRecord const& record() { return Decl::record(); }
  static Orrin::TypeData typeData(std::uint32_t type) { return {&record(), type}; }
};

}  // namespace IfaRuntime
