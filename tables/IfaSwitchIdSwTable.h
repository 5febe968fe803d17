// IfaSwitchId: the switch identifier that IFA reports.
#pragma once

#include <cstdint>

#include "Kiva/UintTypes.h"

// The entry's fields, in declaration order.
#define IFA_SWITCH_ID_FIELDS(FIELD) FIELD(std::uint32_t, switchId)
