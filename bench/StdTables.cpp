// The std table's member functions, compiled apart from the benchmarks that
// call them (see StdTable.h).
#include "StdTableImpl.h"

namespace IfaBench {
IFA_BENCH_STD_TABLES(template, StdMaps)
}  // namespace IfaBench
