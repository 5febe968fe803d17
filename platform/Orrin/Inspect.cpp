#include "Orrin/Inspect.h"

#include <new>

namespace Orrin::Inspect {

bool InspectAtomicFnTableCommon::inspectVerifyType(void const* typeDesc,
                                                   void const* expectedTypeDesc) {
  if (typeDesc == nullptr || expectedTypeDesc == nullptr) return typeDesc == expectedTypeDesc;
  auto const& a = *static_cast<TypeData const*>(typeDesc);
  auto const& b = *static_cast<TypeData const*>(expectedTypeDesc);
  return a.module == b.module && a.type == b.type;
}

OpStatus opResEncRelNode(Node* node, void* result) {
  new (result) Ptr<Node>(Ptr<Node>::adopt(node));
  return node == nullptr ? statusNoValue : statusDone;
}

}  // namespace Orrin::Inspect
