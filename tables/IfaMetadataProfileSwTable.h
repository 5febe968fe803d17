// IfaMetadataProfile: metadata profiles, each naming a metadata select profile and a construct
// profile.
#pragma once

#include <cstdint>

#include "runtime/TableDecl.h"

namespace CorvaneInt {

// The entry's fields, in declaration order.
#define IFA_METADATA_PROFILE_FIELDS(FIELD) \
  FIELD(Kiva::U3, mdSelectProfileId)       \
  FIELD(Kiva::U3, mdConstructProfileId)

IFA_SW_TABLE(IfaMetadataProfile, IfaMetadataProfileSwTable, ifaMetadataProfileFactory, d34fe928,
             0xB7D46623, 0x7C304BC7, IFA_METADATA_PROFILE_FIELDS)

}  // namespace CorvaneInt
