// absl::flat_hash_map's calls of RawMaps.h, out of line.
#include "RawMapsBehindCall.h"

namespace IfaBench {
IFA_BENCH_BEHIND_CALLS(template, AbslMap)
}  // namespace IfaBench
