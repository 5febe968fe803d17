// IfaPktDetection: how IFA probe packets are recognised.
#pragma once

#include <cstdint>

#include "Kiva/UintTypes.h"

// The entry's fields, in declaration order.
#define IFA_PKT_DETECTION_FIELDS(FIELD) \
  FIELD(Kiva::U4, ifaVersion)           \
  FIELD(Kiva::U1, ifaValid)             \
  FIELD(std::uint8_t, probeIpProtocol)
