// IfaMetadataProfile: metadata profiles, each naming a metadata select profile and a construct
// profile.
#pragma once

#include <cstdint>

#include "Kiva/UintTypes.h"

// The entry's fields, in declaration order.
#define IFA_METADATA_PROFILE_FIELDS(FIELD) \
  FIELD(Kiva::U3, mdSelectProfileId)       \
  FIELD(Kiva::U3, mdConstructProfileId)
