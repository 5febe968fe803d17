#include "Orrin/ModuleInspectData.h"

#include <algorithm>
#include <mutex>

namespace Orrin {
namespace {

struct Registry {
  std::mutex mutex;
  std::vector<Kiva::TypeModuleRecord const*> modules;
};

Registry& registry() {
  static Registry* r = new Registry;  // modules register from static initialisers
  return *r;
}

}  // namespace

void ModuleInspectData::loaded(Kiva::TypeModuleRecord const* module) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (std::find(r.modules.begin(), r.modules.end(), module) == r.modules.end()) {
    r.modules.push_back(module);
  }
}

std::vector<Kiva::TypeModuleRecord const*> ModuleInspectData::modules() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  return r.modules;
}

}  // namespace Orrin
