// IfaTimeOfDay: control of hardware updates of the time of day.
#pragma once

#include <cstdint>

#include "runtime/TableDecl.h"

namespace CorvaneInt {

// The entry's fields, in declaration order.
#define IFA_TIME_OF_DAY_FIELDS(FIELD) FIELD(std::uint32_t, hwUpdateDisable)

IFA_SW_TABLE(IfaTimeOfDay, IfaTimeOfDaySwTable, ifaTimeOfDayFactory, c110c6c, 0x34568842,
             0xA3335A92, IFA_TIME_OF_DAY_FIELDS)

}  // namespace CorvaneInt
