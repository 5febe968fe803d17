// absl::flat_hash_map reached through functions defined in another
// translation unit (AbslBehindCall.cpp), so that the compiler sees neither the
// map's code nor the call's target at the call site: the cost of a lookup or
// an insert behind a library boundary, as our table's operations are (they
// are called in a shared library).
#pragma once

#include <absl/container/flat_hash_map.h>

#include <cstdint>

#include "tables/IfaTables.h"

namespace IfaBench {

template <class Entry>
using AbslMap = absl::flat_hash_map<std::uint32_t, Entry>;

// The value held for `key`, or null.
CorvaneInt::IfaActionProfile::Entry const* findBehindCall(
    AbslMap<CorvaneInt::IfaActionProfile::Entry> const& map, std::uint32_t key);
CorvaneInt::IfaSwitchId::Entry const* findBehindCall(
    AbslMap<CorvaneInt::IfaSwitchId::Entry> const& map, std::uint32_t key);

// Inserts key -> entry unless the key is present; true when inserted.
bool insertBehindCall(AbslMap<CorvaneInt::IfaActionProfile::Entry>& map, std::uint32_t key,
                      CorvaneInt::IfaActionProfile::Entry const& entry);
bool insertBehindCall(AbslMap<CorvaneInt::IfaSwitchId::Entry>& map, std::uint32_t key,
                      CorvaneInt::IfaSwitchId::Entry const& entry);

}  // namespace IfaBench
