// IfaPortSwTable: IFA on or off per port.
#pragma once

#include <cstdint>

#include "runtime/TableDecl.h"

namespace CorvaneInt {

// The entry's fields, in declaration order.
#define IFA_PORT_SW_TABLE_FIELDS(FIELD) FIELD(Kiva::U1, ifaEnable)

IFA_SW_TABLE(IfaPortSwTable, IfaPortSwTable, ifaPortSwTableFactory, 83e9dbbb, 0xBACE71BE,
             0x7879702A, IFA_PORT_SW_TABLE_FIELDS)

}  // namespace CorvaneInt
