// KivaOrrin::Impl::valueToStrep: the runtime's printer of values.
//
// A printable value writes itself field by field through a Kiva::StrepWriter,
// which owns the syntax (see Kiva/CharRange.h), so that what is printed is
// exactly what the readers accept.
#pragma once

#include "Kiva/CharRange.h"
#include "Orrin/String.h"

namespace KivaOrrin::Impl {

template <class T>
Orrin::String valueToStrep(T const& value) {
  Kiva::StrepWriter writer;
  value.strepWrite(writer);
  return Orrin::String(writer.take());
}

}  // namespace KivaOrrin::Impl
