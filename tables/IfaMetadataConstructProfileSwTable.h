// IfaMetadataConstructProfile: metadata construct profiles: a row carries nothing but its index.
#pragma once

#include <cstdint>

#include "Kiva/UintTypes.h"

// The entry's fields, in declaration order.
#define IFA_METADATA_CONSTRUCT_PROFILE_FIELDS(FIELD)
