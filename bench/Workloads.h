// The sides of the paired measurements: each operation of our tables, of the
// std and flat tables and of the raw maps behind a call, as a Workload
// (Paired.h) over keys 0..N-1.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "BenchSupport.h"
#include "Paired.h"

namespace IfaBench {

// Whose operation: our table, the std table, the flat table, a raw map
// behind a call, or the memory-latency probe.
enum class Impl { ours, std, flat, absl, boost, probe };
// Which operation:
//   unchanged  a commit of the value the key holds (a raw map: a find)
//   fill       a commit of a new key, measured as a fill from empty (a raw
//              map: an insert)
//   drain      a removal, measured as a drain to empty (a raw map: an erase)
//   restart    a warm restart, per replayed commit: syncEntries, the replay,
//              doInitComplete and purgeStaleEntries
//   read       the probe's dependent read over N cache lines
enum class Op { unchanged, fill, drain, restart, read };

std::string_view implName(Impl i);
std::string_view opName(Op o);
bool implFromName(std::string_view name, Impl& i);
bool opFromName(std::string_view name, Op& o);

// Whether `impl` does `op` (the raw maps and the probe lack some).
bool implHasOp(Impl impl, Op op);

// The workload of `op` by `impl` on table `table` ("IfaActionProfile" or
// "IfaSwitchId"; the probe ignores it), N keys in `order`. Null when the
// table is unknown or the impl lacks the op.
std::unique_ptr<Workload> makeWorkload(std::string_view table, Impl impl, Op op, std::uint32_t n,
                                       KeyOrder order);

// Called, when set, between the phases of a warm restart of one table (the
// instruction and miss counts break the restart down by phase): "read-back"
// after syncEntries, "replay" after the replayed commits, "purge" after
// doInitComplete and purgeStaleEntries.
extern void (*phaseMark)(char const* phase);

}  // namespace IfaBench
