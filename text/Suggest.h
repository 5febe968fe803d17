// Suggestions for a misspelt name (a command, an option, a table, a field),
// the same in both programs.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace IfaText {

// The candidate that `given` is most plausibly a typo of, or empty when none
// is. Names are compared without regard to case, by the number of single
// characters inserted, deleted or replaced and of adjacent pairs swapped
// needed to turn one into the other; the nearest candidate (the first of
// equally near ones) is taken when that number is at most a quarter of the
// length of `given`, and at least 1 is allowed ("Ifavectormatch" and
// "IfaVectorMtch" are typos of "IfaVectorMatch"; "Ifa" is not). An empty
// `given` has no match.
std::string closestName(std::string_view given, std::vector<std::string_view> const& candidates);

// " (did you mean \"NAME\"?)" for the closest candidate, or empty.
std::string didYouMean(std::string_view given, std::vector<std::string_view> const& candidates);

}  // namespace IfaText
