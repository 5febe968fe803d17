// IfaPktDetection: how IFA probe packets are recognised.
#pragma once

#include <cstdint>

#include "runtime/TableDecl.h"

namespace CorvaneInt {

// The entry's fields, in declaration order.
#define IFA_PKT_DETECTION_FIELDS(FIELD) \
  FIELD(Kiva::U4, ifaVersion)           \
  FIELD(Kiva::U1, ifaValid)             \
  FIELD(std::uint8_t, probeIpProtocol)

IFA_SW_TABLE(IfaPktDetection, IfaPktDetectionSwTable, ifaPktDetectionFactory, c6fdc124, 0xC565AFDA,
             0x8E88C87C, IFA_PKT_DETECTION_FIELDS)

}  // namespace CorvaneInt
