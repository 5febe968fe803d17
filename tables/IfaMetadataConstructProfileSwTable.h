// IfaMetadataConstructProfile: metadata construct profiles: a row carries nothing but its index.
#pragma once

#include <cstdint>

#include "runtime/TableDecl.h"

namespace CorvaneInt {

// The entry's fields, in declaration order.
#define IFA_METADATA_CONSTRUCT_PROFILE_FIELDS(FIELD)

IFA_SW_TABLE(IfaMetadataConstructProfile, IfaMetadataConstructProfileSwTable,
             ifaMetadataConstructProfileFactory, 89ede663, 0xCE51DA94, 0xF0448BA6,
             IFA_METADATA_CONSTRUCT_PROFILE_FIELDS)

}  // namespace CorvaneInt
