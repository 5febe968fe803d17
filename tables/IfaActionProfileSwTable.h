// IfaActionProfile: profiles of the IFA header values and metadata handling applied to probe
// traffic.
#pragma once

#include <cstdint>

#include "Kiva/UintTypes.h"

// The entry's fields, in declaration order.
#define IFA_ACTION_PROFILE_FIELDS(FIELD) \
  FIELD(Kiva::U1, updateUdpIpHdr)        \
  FIELD(Kiva::U1, useMetadataProfile)    \
  FIELD(Kiva::U3, ifaMetadataProfileId)  \
  FIELD(Kiva::U3, metadataInsertMode)    \
  FIELD(Kiva::U4, ifaGns)                \
  FIELD(Kiva::U2, baseHdrType)           \
  FIELD(std::uint8_t, hoplimit)          \
  FIELD(std::uint8_t, maxLength)         \
  FIELD(std::uint8_t, ifaFlags)          \
  FIELD(Kiva::U3, initiateLayer)         \
  FIELD(Kiva::U5, byteCountL3Mtu)        \
  FIELD(Kiva::U1, l3MtuCheckFailAction)
