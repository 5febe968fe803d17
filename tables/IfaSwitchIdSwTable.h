// IfaSwitchId: the switch identifier that IFA reports.
#pragma once

#include <cstdint>

#include "runtime/TableDecl.h"

namespace CorvaneInt {

// The entry's fields, in declaration order.
#define IFA_SWITCH_ID_FIELDS(FIELD) FIELD(std::uint32_t, switchId)

IFA_SW_TABLE(IfaSwitchId, IfaSwitchIdSwTable, ifaSwitchIdFactory, 35178147, 0x7FDF3903, 0x3398102F,
             IFA_SWITCH_ID_FIELDS)

}  // namespace CorvaneInt
