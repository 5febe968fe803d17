// IfaActionVector: IFA version, IP protocol and the IFA request and action vectors.
#pragma once

#include <cstdint>

#include "Kiva/UintTypes.h"

// The entry's fields, in declaration order.
#define IFA_ACTION_VECTOR_FIELDS(FIELD) \
  FIELD(Kiva::U4, ifaVersion)           \
  FIELD(std::uint8_t, actionVector)     \
  FIELD(std::uint8_t, ipProtocol)       \
  FIELD(std::uint8_t, requestVector)
