// IfaVectorMatch: rows that match an IFA request vector and base header.
#pragma once

#include <cstdint>

#include "runtime/TableDecl.h"

namespace CorvaneInt {

// The entry's fields, in declaration order.
#define IFA_VECTOR_MATCH_FIELDS(FIELD) \
  FIELD(Kiva::U1, valid)               \
  FIELD(std::uint32_t, reqVector)      \
  FIELD(Kiva::U3, baseHdr)

IFA_SW_TABLE(IfaVectorMatch, IfaVectorMatchSwTable, ifaVectorMatchFactory, d293f097, 0xFA0BE939,
             0x913419B1, IFA_VECTOR_MATCH_FIELDS)

}  // namespace CorvaneInt
