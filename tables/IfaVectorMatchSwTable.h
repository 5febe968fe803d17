// IfaVectorMatch: rows that match an IFA request vector and base header.
#pragma once

#include <cstdint>

#include "Kiva/UintTypes.h"

// The entry's fields, in declaration order.
#define IFA_VECTOR_MATCH_FIELDS(FIELD) \
  FIELD(Kiva::U1, valid)               \
  FIELD(std::uint32_t, reqVector)      \
  FIELD(Kiva::U3, baseHdr)
