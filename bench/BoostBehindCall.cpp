// boost::unordered_flat_map's calls of RawMaps.h, out of line.
#include "RawMapsBehindCall.h"

namespace IfaBench {
IFA_BENCH_BEHIND_CALLS(template, BoostMap)
}  // namespace IfaBench
