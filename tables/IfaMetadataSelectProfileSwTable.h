// IfaMetadataSelectProfile: metadata select profiles: a row carries nothing but its index.
#pragma once

#include <cstdint>

#include "runtime/TableDecl.h"

namespace CorvaneInt {

// The entry's fields, in declaration order.
#define IFA_METADATA_SELECT_PROFILE_FIELDS(FIELD)

IFA_SW_TABLE(IfaMetadataSelectProfile, IfaMetadataSelectProfileSwTable,
             ifaMetadataSelectProfileFactory, 1308c77, 0x41727884, 0xAE1A38E5,
             IFA_METADATA_SELECT_PROFILE_FIELDS)

}  // namespace CorvaneInt
