// The hooks through which the reflective runtime drives a library's types,
// as a type module's hook table names them, and the runtime's own helpers
// that those hooks call.
//
// Conventions shared by every hook:
//  - `result` is storage for one value of the attribute's value type; a hook
//    that succeeds constructs the value there (a counted reference for a
//    function giving one). Nothing is stored on any other status.
//  - `operand` points at the key of a collection operation, or at the other
//    value of a whole-value comparison.
//  - `args` is an array of pointers, one per declared argument in declared
//    order, each at a value of the argument's type (a Kiva::Optional of it
//    for an argument marked optional; an Orrin::Ptr for a counted reference).
#pragma once

#include <cstdint>
#include <string_view>

#include "Kiva/Attr.h"
#include "Orrin/Node.h"
#include "Orrin/Ptr.h"
#include "Orrin/String.h"

namespace Orrin {

// Reflection hooks of a library type T. The library specialises it for each
// type it registers; the runtime only reaches the members through the hook
// tables of the type modules.
template <class T>
struct HideMe;

namespace Inspect {

// Operation codes of inspectOperation.
enum OpCode : std::uint8_t {
  opGet = 0,
  opSet = 1,
  opMemberCount = 3,
  opSecondSize = 4,
  opContains = 5,
  opCall = 10,
  opDiffersFromDefault = 11,
  opEqual = 12,
  opLess = 13,
  opGetIfPresent = 28,
};

// Statuses of inspectOperation.
enum OpStatus : std::uint8_t {
  statusDone = 0,
  statusNotSupported = 1,
  statusNoSuchAttribute = 2,
  statusNoValue = 3,
  statusAbsent = 4,
};

// Creates an entity of the type by name; `ctorArgs` is null when no
// construction arguments are given. Returns the new entity with no use yet.
using NewEntityForDirFn = Node* (*)(String const& name, void const* ctorArgs);
// Constructs a value (or, for an entity, stores an Orrin::Ptr to a new one)
// in `storage` from the constructor arguments.
using ConstructFromCtorArgsFn = void (*)(void* storage, void const* const* args);
using InspectOperationFn = OpStatus (*)(void* result, void* object, Kiva::KivaAttr const& attr,
                                        std::uint8_t op, void const* operand,
                                        void const* const* args);

// The five hooks of a collection iterator, in this order.
struct IterHooks {
  // Stores the current member's value in `out`; false when it has none.
  bool (*iterObj)(Kiva::KivaAttr const& attr, void* iterator, void* out);
  // Stores the current member's key in `keyOut`.
  bool (*iterKey)(Kiva::KivaAttr const& attr, void* iterator, void* keyOut);
  // Whether the iterator stands on a member.
  bool (*iterNonnull)(Kiva::KivaAttr const& attr, void* iterator);
  void (*iterInc)(Kiva::KivaAttr const& attr, void* iterator);
  // Destroys the iterator and frees its storage; a null iterator is ignored.
  void (*iterDel)(Kiva::KivaAttr const& attr, void* iterator);
};

// Starts an iteration over a collection attribute, at its beginning or at
// `startKey`; sets `*hooksOut` and returns the iterator, or returns null
// (leaving `*hooksOut` alone) when the attribute is not a collection or no
// storage was available.
using GenericIfIteratorFn = void* (*)(void* object, void const* startKey,
                                      Kiva::KivaAttr const& attr, IterHooks const** hooksOut);

// Value operations of a value type, eight slots in this order. The type
// descriptor is the (module, type number) the runtime holds for the type.
struct InspectAtomicFnTable {
  void (*inspectConstruct)(void* storage, void const* source, void const* typeDesc);
  void (*inspectDestroy)(void* value, void const* typeDesc);
  void (*inspectDecodeFromString)(void* storage, String const& text, void const* typeDesc,
                                  bool flag);
  String (*inspectEncodeToString)(void const* value, void const* typeDesc, bool flag);
  void const* slot4;
  void const* slot5;
  std::uint32_t (*inspectGetHash)(void const* value, void const* typeDesc);
  bool (*inspectVerifyType)(void const* typeDesc, void const* expectedTypeDesc);
};

struct InspectAtomicFnTableCommon {
  // Whether two type descriptors (Orrin::TypeData) name the same type.
  static bool inspectVerifyType(void const* typeDesc, void const* expectedTypeDesc);
};

// Encodes a counted reference as an operation result: adopts the use the
// caller added to `node` into an Orrin::Ptr<Node> constructed in `result`.
// Status 0, or 3 (no value) with an empty reference when `node` is null.
OpStatus opResEncRelNode(Node* node, void* result);

}  // namespace Inspect
}  // namespace Orrin
