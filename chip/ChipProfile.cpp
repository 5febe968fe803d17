#include "chip/ChipProfile.h"

#include <cstdlib>
#include <stdexcept>

namespace SimChip {

TableRange const* ChipProfile::range(std::string_view table) const {
  for (TableRange const& r : ranges) {
    if (r.table == table) return &r;
  }
  return nullptr;
}

std::vector<ChipProfile> const& profiles() {
  // Sizes follow what the fields index: eight metadata profiles for a 3-bit
  // profile id, 32 redirect profiles for a 5-bit one, one row per front-panel
  // port, single-row registers for the switch id and the time of day.
  static std::vector<ChipProfile> const all = {
      {"corvane-sim-a",
       "a 256-port switch chip",
       {{"CorvaneInt::IfaActionProfile", 0, 15},
        {"CorvaneInt::IfaActionVector", 0, 255},
        {"CorvaneInt::IfaEpRecircProfile", 0, 31},
        {"CorvaneInt::IfaEpRecirc", 0, 63},
        {"CorvaneInt::IfaMetadataConstructProfile", 0, 7},
        {"CorvaneInt::IfaMetadataProfile", 0, 7},
        {"CorvaneInt::IfaMetadataSelectProfile", 0, 7},
        {"CorvaneInt::IfaMonIngRedirectPktProfile", 0, 3},
        {"CorvaneInt::IfaPktDetection", 0, 15},
        {"CorvaneInt::IfaPortSwTable", 0, 271},
        {"CorvaneInt::IfaSflowIngSwTable", 0, 271},
        {"CorvaneInt::IfaSwitchId", 0, 0},
        {"CorvaneInt::IfaTimeOfDay", 0, 0},
        {"CorvaneInt::IfaVectorMatch", 0, 63}}},
      {"corvane-sim-small",
       "a 32-port chip; ports are numbered from 1",
       {{"CorvaneInt::IfaActionProfile", 0, 3},
        {"CorvaneInt::IfaActionVector", 0, 15},
        {"CorvaneInt::IfaEpRecircProfile", 0, 3},
        {"CorvaneInt::IfaEpRecirc", 0, 7},
        {"CorvaneInt::IfaMetadataConstructProfile", 0, 3},
        {"CorvaneInt::IfaMetadataProfile", 0, 3},
        {"CorvaneInt::IfaMetadataSelectProfile", 0, 3},
        {"CorvaneInt::IfaMonIngRedirectPktProfile", 0, 1},
        {"CorvaneInt::IfaPktDetection", 0, 3},
        {"CorvaneInt::IfaPortSwTable", 1, 32},
        {"CorvaneInt::IfaSflowIngSwTable", 1, 32},
        {"CorvaneInt::IfaSwitchId", 0, 0},
        {"CorvaneInt::IfaTimeOfDay", 0, 0},
        {"CorvaneInt::IfaVectorMatch", 0, 7}}},
  };
  return all;
}

ChipProfile const& profile(std::string_view name) {
  std::string known;
  for (ChipProfile const& p : profiles()) {
    if (p.name == name) return p;
    known += (known.empty() ? "\"" : ", \"") + std::string(p.name) + "\"";
  }
  throw std::invalid_argument("unknown chip profile \"" + std::string(name) +
                              "\" (known: " + known + ")");
}

ChipProfile const& profileFromEnvironment() {
  char const* name = std::getenv("IFA_CHIP_PROFILE");
  return profile(name != nullptr && *name != '\0' ? std::string_view(name) : kDefaultProfile);
}

}  // namespace SimChip
