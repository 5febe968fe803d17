// IfaMetadataSelectProfile: metadata select profiles: a row carries nothing but its index.
#pragma once

#include <cstdint>

#include "Kiva/UintTypes.h"

// The entry's fields, in declaration order.
#define IFA_METADATA_SELECT_PROFILE_FIELDS(FIELD)
