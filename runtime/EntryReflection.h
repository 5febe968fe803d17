// Reflection hooks of a table's Entry: the value operations the runtime uses
// to construct, destroy, read, print, hash and compare entries, and the
// attribute operations on their constants and fields.
#pragma once

#include <cstdint>
#include <memory>
#include <new>

#include "Kiva/Attr.h"
#include "Kiva/StrepToValue.h"
#include "KivaOrrin/ValueToStrep.h"
#include "Orrin/Inspect.h"
#include "runtime/AttributeSchema.h"
#include "runtime/EntryFields.h"
#include "runtime/LibraryLocal.h"

namespace IfaRuntime {

template <class Entry>
struct IFA_LIBRARY_LOCAL EntryReflection {
  using Status = Orrin::Inspect::OpStatus;

  static void inspectConstruct(void* storage, void const* source, void const*) {
    if (source != nullptr) {
      new (storage) Entry(*static_cast<Entry const*>(source));
    } else {
      new (storage) Entry();
    }
  }
  static void inspectDestroy(void* value, void const*) {
    std::destroy_at(static_cast<Entry*>(value));
  }
  static void inspectDecodeFromString(void* storage, Orrin::String const& text, void const*, bool) {
    new (storage) Entry(Kiva::strepToValue(text, static_cast<Entry*>(nullptr)));
  }
  static Orrin::String inspectEncodeToString(void const* value, void const*, bool) {
    return KivaOrrin::Impl::valueToStrep(*static_cast<Entry const*>(value));
  }
  static std::uint32_t inspectGetHash(void const* value, void const*) {
    return Asic::EntryBase::hash(*static_cast<Entry const*>(value), 0);
  }

  static constexpr Orrin::Inspect::InspectAtomicFnTable kValueOperations{
      &inspectConstruct,
      &inspectDestroy,
      &inspectDecodeFromString,
      &inspectEncodeToString,
      nullptr,
      nullptr,
      &inspectGetHash,
      &Orrin::Inspect::InspectAtomicFnTableCommon::inspectVerifyType};

  static void genericIfConstructFromCtorArgs(void* storage, void const* const*) {
    new (storage) Entry();
  }

  static Status inspectOperation(void* result, void* object, Kiva::KivaAttr const& attr,
                                 std::uint8_t op, void const* operand, void const* const* args) {
    using namespace Orrin::Inspect;
    Entry& entry = *static_cast<Entry*>(object);
    if (attr.module() == nullptr) return wholeValue(result, entry, op, operand);
    std::uint32_t const number = attr.attributeId();
    if (number == EntryAttr::getBlockSizeDefinedByUser || number == EntryAttr::numDependentFields) {
      if (op != opGet) return statusNotSupported;
      if (number == EntryAttr::getBlockSizeDefinedByUser) {
        new (result) bool(Entry::getBlockSizeDefinedByUser);
      } else {
        new (result) std::uint64_t(Entry::numDependentFields);
      }
      return statusDone;
    }
    if (number < EntryAttr::firstField || number >= EntryAttr::firstField + kFieldCount<Entry>) {
      return statusNoSuchAttribute;
    }
    if (op != opGet && op != opSet) return statusNotSupported;
    std::uint32_t const wanted = number - EntryAttr::firstField;
    std::uint32_t i = 0;
    forEachField<Entry>([&](auto const& f) {
      if (i++ != wanted) return;
      using T = typename std::remove_cvref_t<decltype(f)>::Type;
      if (op == opGet) {
        new (result) T(f.ref(entry));
      } else {
        f.ref(entry) = *static_cast<T const*>(args[0]);
      }
    });
    return statusDone;
  }

 private:
  static Status wholeValue(void* result, Entry const& entry, std::uint8_t op, void const* operand) {
    using namespace Orrin::Inspect;
    switch (op) {
      case opDiffersFromDefault: {
        Entry const defaultEntry;
        new (result) bool(!Entry::isEq(&entry, &defaultEntry));
        return statusDone;
      }
      case opEqual:
        new (result) bool(Entry::isEq(&entry, operand));
        return statusDone;
      case opLess:
        new (result) bool((entry <=> *static_cast<Entry const*>(operand)) < 0);
        return statusDone;
      default:
        return statusNotSupported;
    }
  }
};

}  // namespace IfaRuntime
