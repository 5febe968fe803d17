// IfaSflowIngSwTable: ingress sampling (sFlow) for IFA.
#pragma once

#include <cstdint>

#include "runtime/TableDecl.h"

namespace CorvaneInt {

// The entry's fields, in declaration order.
#define IFA_SFLOW_ING_SW_TABLE_FIELDS(FIELD) \
  FIELD(Kiva::U1, sample)                    \
  FIELD(std::uint32_t, sampleRate)

IFA_SW_TABLE(IfaSflowIngSwTable, IfaSflowIngSwTable, ifaSflowIngSwTableFactory, 32d62609,
             0xF56B9512, 0xEDB49F05, IFA_SFLOW_ING_SW_TABLE_FIELDS)

}  // namespace CorvaneInt
