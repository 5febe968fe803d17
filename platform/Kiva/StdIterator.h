// Kiva::StdIterator: a checked walk over a keyed collection. Reading or
// advancing it at the end of the collection is a broken contract and stops
// the process with the assertion "iter_".
#pragma once

#include "Kiva/Assert.h"
#include "Kiva/HashMap2018.h"

namespace Kiva {

class StdIterator {
 public:
  explicit StdIterator(HashMap2018IteratorGeneric it) : iter_(std::move(it)) {}

  bool atEnd() const { return iter_.currNodeNonStale() == nullptr; }
  void const* currNodeMaybeStale() const {
    check("currNodeMaybeStale");
    return iter_.currNodeMaybeStale();
  }
  void advance() {
    check("advance");
    iter_.advance();
  }

 private:
  void check(char const* function) const {
    KIVA_ASSERT_AT(iter_.currNodeMaybeStale() != nullptr, "iter_", "Kiva/StdIterator", __LINE__,
                   function);
  }

  HashMap2018IteratorGeneric iter_;
};

}  // namespace Kiva
