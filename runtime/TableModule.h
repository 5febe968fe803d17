// The type module of one table, encoded from its declaration on first use
// into storage of the library's own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Kiva/TypeModule.h"
#include "Orrin/Node.h"

namespace IfaRuntime {

// Bytes reserved for one table module's encoded record.
inline constexpr std::size_t kTableModuleCapacity = 8192;

template <class Decl>
struct TableModule {
  // Type numbers in the module.
  static constexpr std::uint32_t kEntryType = 0, kUtilType = 1, kUtilLoaderType = 2, kTableType = 3;

  // The encoded record, in the module's record storage. Defined in the
  // library only (runtime/TableModuleImpl.h): its addresses are offsets from
  // storage of the library's own.
  static Kiva::TypeModuleRecord const& record();
  static Orrin::TypeData typeData(std::uint32_t type) { return {&record(), type}; }
};

}  // namespace IfaRuntime
