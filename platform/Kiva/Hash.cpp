#include "Kiva/Hash.h"

namespace Kiva::HashHelper {

namespace Impl {
std::uint32_t processHashSeed32 = 0x2545F491u;
}

void hashSeed32Is(std::uint32_t seed) {
  Impl::processHashSeed32 = seed;
}

}  // namespace Kiva::HashHelper
