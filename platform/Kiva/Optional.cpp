#include "Kiva/Optional.h"

namespace Kiva::Impl {

void throwBadOptionalAccess() {
  throw BadOptionalAccess();
}

}  // namespace Kiva::Impl
