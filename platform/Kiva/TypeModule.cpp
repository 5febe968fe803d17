#include "Kiva/TypeModule.h"

#include <cstdio>
#include <cstdlib>

namespace Kiva {

std::uint32_t TypeModuleRecord::wordFor(void const* target) const {
  if (target == nullptr) return 0;
  std::intptr_t const delta =
      reinterpret_cast<std::intptr_t>(target) - reinterpret_cast<std::intptr_t>(this);
  if (delta < INT32_MIN || delta > INT32_MAX || delta == 0) {
    std::fprintf(stderr, "type module at %p: target %p is not within 2 GiB of the record\n",
                 static_cast<void const*>(this), target);
    std::abort();
  }
  return static_cast<std::uint32_t>(static_cast<std::int32_t>(delta));
}

}  // namespace Kiva
