// IfaMonIngRedirectPktProfile: profiles for monitored packets redirected at ingress.
#pragma once

#include <cstdint>

#include "runtime/TableDecl.h"

namespace CorvaneInt {

// The entry's fields, in declaration order.
#define IFA_MON_ING_REDIRECT_PKT_PROFILE_FIELDS(FIELD) FIELD(std::uint8_t, skipL2Learn)

IFA_SW_TABLE(IfaMonIngRedirectPktProfile, IfaMonIngRedirectPktProfileSwTable,
             ifaMonIngRedirectPktProfileFactory, 2f963839, 0xBEE8EE42, 0x17E8FA01,
             IFA_MON_ING_REDIRECT_PKT_PROFILE_FIELDS)

}  // namespace CorvaneInt
