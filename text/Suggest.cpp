#include "text/Suggest.h"

#include <algorithm>
#include <cctype>
#include <cstddef>

namespace IfaText {
namespace {

// Edit distance with adjacent transpositions (optimal string alignment),
// ignoring case; any value above `bound` once no alignment can stay within
// it, which keeps a long misspelt name cheap.
std::size_t editDistance(std::string_view a, std::string_view b, std::size_t bound) {
  auto const same = [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  };
  // Three rows of the table: i-2, i-1 and i.
  std::vector<std::size_t> before(b.size() + 1), previous(b.size() + 1), current(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) previous[j] = j;
  std::size_t previousLeast = 0;  // the least value of row i-1
  for (std::size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    std::size_t rowLeast = current[0];
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t const cost = same(a[i - 1], b[j - 1]) ? 0 : 1;
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost});
      if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1])) {
        current[j] = std::min(current[j], before[j - 2] + 1);
      }
      rowLeast = std::min(rowLeast, current[j]);
    }
    // A transposition reaches back two rows, so both must be past the bound.
    if (rowLeast > bound && previousLeast > bound) return bound + 1;
    previousLeast = rowLeast;
    std::swap(before, previous);
    std::swap(previous, current);
  }
  return previous[b.size()];
}

}  // namespace

std::string closestName(std::string_view given, std::vector<std::string_view> const& candidates) {
  if (given.empty()) return {};
  std::size_t const limit = std::max<std::size_t>(1, given.size() / 4);
  std::string_view best;
  std::size_t bestDistance = limit + 1;
  for (std::string_view candidate : candidates) {
    // The distance is at least the difference in length, which spares the
    // work (and bounds it) for a long name given.
    std::size_t const gap = given.size() > candidate.size() ? given.size() - candidate.size()
                                                            : candidate.size() - given.size();
    if (gap >= bestDistance) continue;
    std::size_t const distance = editDistance(given, candidate, bestDistance - 1);
    if (distance < bestDistance) {
      best = candidate;
      bestDistance = distance;
    }
  }
  return std::string(best);
}

std::string didYouMean(std::string_view given, std::vector<std::string_view> const& candidates) {
  std::string const near = closestName(given, candidates);
  return near.empty() ? "" : " (did you mean \"" + near + "\"?)";
}

}  // namespace IfaText
