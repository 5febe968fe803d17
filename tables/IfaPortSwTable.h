// IfaPortSwTable: IFA on or off per port.
#pragma once

#include <cstdint>

#include "Kiva/UintTypes.h"

// The entry's fields, in declaration order.
#define IFA_PORT_SW_TABLE_FIELDS(FIELD) FIELD(Kiva::U1, ifaEnable)
