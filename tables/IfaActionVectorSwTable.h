// IfaActionVector: IFA version, IP protocol and the IFA request and action vectors.
#pragma once

#include <cstdint>

#include "runtime/TableDecl.h"

namespace CorvaneInt {

// The entry's fields, in declaration order.
#define IFA_ACTION_VECTOR_FIELDS(FIELD) \
  FIELD(Kiva::U4, ifaVersion)           \
  FIELD(std::uint8_t, actionVector)     \
  FIELD(std::uint8_t, ipProtocol)       \
  FIELD(std::uint8_t, requestVector)

IFA_SW_TABLE(IfaActionVector, IfaActionVectorSwTable, ifaActionVectorFactory, a8d6bf9a, 0x241B96B0,
             0x598C90BE, IFA_ACTION_VECTOR_FIELDS)

}  // namespace CorvaneInt
