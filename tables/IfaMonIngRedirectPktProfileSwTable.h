// IfaMonIngRedirectPktProfile: profiles for monitored packets redirected at ingress.
#pragma once

#include <cstdint>

#include "Kiva/UintTypes.h"

// The entry's fields, in declaration order.
#define IFA_MON_ING_REDIRECT_PKT_PROFILE_FIELDS(FIELD) FIELD(std::uint8_t, skipL2Learn)
