// IfaEpRecirc: how a recirculated packet is marked and treated on egress.
#pragma once

#include <cstdint>

#include "Kiva/UintTypes.h"

// The entry's fields, in declaration order.
#define IFA_EP_RECIRC_FIELDS(FIELD) \
  FIELD(Kiva::U4, headerType)       \
  FIELD(Kiva::U4, headerSubType)    \
  FIELD(Kiva::U1, valid)            \
  FIELD(Kiva::U6, cos)              \
  FIELD(Kiva::U1, replaceCos)       \
  FIELD(Kiva::U2, ingPortIdMode)    \
  FIELD(Kiva::U1, drop)             \
  FIELD(Kiva::U2, truncateMode)     \
  FIELD(Kiva::U1, dropOnMtuError)
