// IfaEpRecircProfile: egress redirect profiles and their strengths for initiator,
// initiator-and-terminator and terminator.
#pragma once

#include <cstdint>

#include "Kiva/UintTypes.h"

// The entry's fields, in declaration order.
#define IFA_EP_RECIRC_PROFILE_FIELDS(FIELD)                 \
  FIELD(Kiva::U5, ifaInitEgrRedirectProfileId)              \
  FIELD(Kiva::U4, ifaInitEgrRedirectProfileStrength)        \
  FIELD(Kiva::U5, ifaInitAndTermEgrRedirectProfileId)       \
  FIELD(Kiva::U4, ifaInitAndTermEgrRedirectProfileStrength) \
  FIELD(Kiva::U5, ifaTermEgrRedirectProfileId)              \
  FIELD(Kiva::U4, ifaTermEgrRedirectProfileStrength)        \
  FIELD(Kiva::U4, fpIngProfile0Strength)                    \
  FIELD(Kiva::U4, fpIngProfile1Strength)
