#include "Kiva/TypeModuleEncoder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace Kiva {
namespace {

[[noreturn]] void fail(std::string_view module, std::string const& what) {
  std::fprintf(stderr, "type module %.*s: %s\n", static_cast<int>(module.size()), module.data(),
               what.c_str());
  std::abort();
}

}  // namespace

TypeModuleRecord const* encodeTypeModule(ModuleDescription const& description,
                                         SlotTargets const& targets, std::string_view moduleName,
                                         void* storage, std::size_t capacity) {
  EncodedModule const m = encodeModule(description);
  if (!m.error.empty()) {
    std::string what(m.error.subject);
    if (!what.empty()) what += ": ";
    fail(moduleName, what.append(m.error.reason));
  }
  std::size_t const size = m.bytes.size() + m.slots.size() * sizeof(void const*);
  if (size > capacity) {
    fail(moduleName, "storage of " + std::to_string(capacity) + " bytes is too small");
  }
  auto* base = static_cast<unsigned char*>(storage);
  std::memcpy(base, m.bytes.data(), m.bytes.size());
  for (std::size_t i = 0; i < m.slots.size(); ++i) {
    Slot const& s = m.slots[i];
    void const* target = nullptr;
    switch (s.kind) {
      case Slot::kSection:
        target = base + s.first;
        break;
      case Slot::kHook:
        target = targets.hooks.at(s.first).at(s.second);
        break;
      case Slot::kModule:
        target = targets.modules.at(s.first);
        break;
    }
    std::memcpy(base + m.bytes.size() + i * sizeof target, &target, sizeof target);
  }
  return reinterpret_cast<TypeModuleRecord const*>(base);
}

}  // namespace Kiva
