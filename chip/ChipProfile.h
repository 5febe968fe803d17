// Chip profiles of the simulated chip: how many rows each hardware table has.
//
// A profile gives every table of the catalogue its inclusive index range
// (minIndex, maxIndex). The plug-in uses the profile named by the environment
// variable IFA_CHIP_PROFILE, by default "corvane-sim-a"; an image is made for
// one profile and is refused by a chip of another.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace SimChip {

struct TableRange {
  std::string_view table;  // qualified name, "CorvaneInt::IfaActionProfile"
  std::uint32_t minIndex;
  std::uint32_t maxIndex;
};

struct ChipProfile {
  std::string_view name;
  std::string_view description;
  std::vector<TableRange> ranges;

  // The range of a table, or null when the profile does not have it.
  TableRange const* range(std::string_view table) const;
};

inline constexpr std::string_view kDefaultProfile = "corvane-sim-a";

// Every profile, the default first.
std::vector<ChipProfile> const& profiles();
// The profile of that name; raises std::invalid_argument naming the known
// profiles when there is none.
ChipProfile const& profile(std::string_view name);
// The profile IFA_CHIP_PROFILE names, or the default.
ChipProfile const& profileFromEnvironment();

}  // namespace SimChip
