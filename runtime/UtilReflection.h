// Reflection hooks of a table's Util (the few read-only functions the runtime
// may call) and of its UtilLoader (created by name, no attributes).
#pragma once

#include <cstdint>
#include <new>

#include "Kiva/Attr.h"
#include "Kiva/Entity.h"
#include "Orrin/Inspect.h"
#include "runtime/AttributeSchema.h"
#include "runtime/IfaSwTableUtil.h"
#include "runtime/IfaSwTableUtilLoader.h"
#include "runtime/LibraryLocal.h"
#include "runtime/TableModule.h"

namespace IfaRuntime {

template <class Decl>
struct IFA_LIBRARY_LOCAL UtilReflection {
  using Util = typename IfaSwTable<Decl>::Util;
  using Status = Orrin::Inspect::OpStatus;

  // Calls go through the Util's virtual slots, so the plug-in's class answers.
  static Status inspectOperation(void* result, void* object, Kiva::KivaAttr const& attr,
                                 std::uint8_t op, void const*, void const* const* args) {
    using namespace Orrin::Inspect;
    Util const& util = *static_cast<Util const*>(object);
    std::uint32_t const number = attr.attributeId();
    if (number < UtilAttr::kFirst || number > UtilAttr::kLast) {
      return statusNoSuchAttribute;
    }
    if (op != opCall) return statusNotSupported;
    switch (number) {
      case UtilAttr::minIndex:
        new (result) std::uint32_t(util.minIndex());
        return statusDone;
      case UtilAttr::maxIndex:
        new (result) std::uint32_t(util.maxIndex());
        return statusDone;
      case UtilAttr::dependentFieldValueToHwIndex:
        new (result) Asic::Index(
            util.dependentFieldValueToHwIndex(*static_cast<Asic::Index const*>(args[0])));
        return statusDone;
      default:
        return statusNotSupported;  // the chip's operations, not the runtime's to call
    }
  }
};

template <class Decl>
struct IFA_LIBRARY_LOCAL UtilLoaderReflection {
  using UtilLoader = typename IfaSwTable<Decl>::UtilLoader;

  static Orrin::Inspect::OpStatus inspectOperation(void*, void*, Kiva::KivaAttr const&,
                                                   std::uint8_t, void const*, void const* const*) {
    return Orrin::Inspect::statusNoSuchAttribute;
  }

  // A UtilLoader takes nothing but its name.
  static Orrin::Node* newEntityForDir(Orrin::String const& name, void const* ctorArgs) {
    if (ctorArgs != nullptr) {
      Kiva::throwNewEntityArgsException(
          TableModule<Decl>::typeData(TableModule<Decl>::kUtilLoaderType));
    }
    return new UtilLoader(name);
  }
};

}  // namespace IfaRuntime
