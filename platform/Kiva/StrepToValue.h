// Kiva::strepToValue: reads a whole text as a value.
#pragma once

#include "Kiva/CharRange.h"
#include "Orrin/String.h"

namespace Kiva {

// Reads `text` as a T (the pointer only selects the type): a range over all of
// the text, T's reader from its start, then the check that nothing but white
// space is left. Raises the reader's errors unchanged.
template <class T>
T strepToValue(Orrin::String const& text, T* /*selectsType*/) {
  CharRange range(text.view());
  T value(range);
  CharRangeCheckAllDataConsumed(range);
  return value;
}

}  // namespace Kiva
