// IfaTimeOfDay: control of hardware updates of the time of day.
#pragma once

#include <cstdint>

#include "Kiva/UintTypes.h"

// The entry's fields, in declaration order.
#define IFA_TIME_OF_DAY_FIELDS(FIELD) FIELD(std::uint32_t, hwUpdateDisable)
