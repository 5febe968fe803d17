// IfaSflowIngSwTable: ingress sampling (sFlow) for IFA.
#pragma once

#include <cstdint>

#include "Kiva/UintTypes.h"

// The entry's fields, in declaration order.
#define IFA_SFLOW_ING_SW_TABLE_FIELDS(FIELD) \
  FIELD(Kiva::U1, sample)                    \
  FIELD(std::uint32_t, sampleRate)
