// Kiva::KivaAttr: a handle on one attribute of a registered type module, as
// the reflective runtime hands it to a type's hooks.
#pragma once

#include <cstdint>

#include "Kiva/TypeModule.h"

namespace Kiva {

class KivaAttrBase {
 public:
  KivaAttrBase() = default;
  // The attribute at `position` of `module`'s attribute records.
  KivaAttrBase(TypeModuleRecord const* module, std::uint16_t position)
      : module_(module), word_(static_cast<std::uint32_t>(position) << 16) {}

  // The module whose attribute list the handle names; null for a handle that
  // names no module (an operation on a whole value).
  TypeModuleRecord const* module() const { return module_; }
  // Position of the attribute in the module's attribute records (the upper
  // 16 bits of the handle's second word).
  std::uint16_t position() const { return static_cast<std::uint16_t>(word_ >> 16); }
  // The attribute's number; 0 for a handle that names no module.
  std::uint32_t attributeId() const {
    if (module_ == nullptr) return 0;
    return module_->resolve<AttributeRecord>(module_->attributeRecords)[position()].number;
  }

 private:
  TypeModuleRecord const* module_ = nullptr;
  std::uint32_t word_ = 0;
};

class KivaAttr : public KivaAttrBase {
 public:
  using KivaAttrBase::KivaAttrBase;
};

}  // namespace Kiva

namespace Orrin {
using FieldDescriptor = Kiva::KivaAttr;
}  // namespace Orrin
