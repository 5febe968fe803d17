// Orrin::ModuleInspectData: the runtime's registry of the type modules that
// libraries hand it at load.
#pragma once

#include <vector>

#include "Kiva/TypeModule.h"

namespace Orrin {

class ModuleInspectData {
 public:
  // Registers a library's type module; a module registered twice is kept once.
  static void loaded(Kiva::TypeModuleRecord const* module);
  // The modules registered, in registration order.
  static std::vector<Kiva::TypeModuleRecord const*> modules();
};

}  // namespace Orrin
