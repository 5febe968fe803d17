// The raw maps a skilled user would reach for, absl::flat_hash_map and
// boost::unordered_flat_map, each reached through functions defined in a
// translation unit of its own (AbslBehindCall.cpp, BoostBehindCall.cpp), so
// that the compiler sees neither the map's code nor the call's target at the
// call site: the cost of a lookup, an insert or an erase behind a library
// boundary, as our tables' operations are (they are called in a shared
// library).
#pragma once

#include <absl/container/flat_hash_map.h>
#include <boost/unordered/unordered_flat_map.hpp>

#include <cstdint>

#include "tables/IfaTables.h"

namespace IfaBench {

template <class Entry>
using AbslMap = absl::flat_hash_map<std::uint32_t, Entry>;
template <class Entry>
using BoostMap = boost::unordered_flat_map<std::uint32_t, Entry>;

// The value held for `key`, or null.
template <class Map>
typename Map::mapped_type const* findBehindCall(Map const& map, std::uint32_t key);
// Inserts key -> entry unless the key is present; true when inserted.
template <class Map>
bool insertBehindCall(Map& map, std::uint32_t key, typename Map::mapped_type const& entry);
// Erases the key; true when it was present.
template <class Map>
bool eraseBehindCall(Map& map, std::uint32_t key);

#define IFA_BENCH_BEHIND_CALL(prefix, Map)                                         \
  prefix Map::mapped_type const* findBehindCall<Map>(Map const&, std::uint32_t);   \
  prefix bool insertBehindCall<Map>(Map&, std::uint32_t, Map::mapped_type const&); \
  prefix bool eraseBehindCall<Map>(Map&, std::uint32_t);
#define IFA_BENCH_BEHIND_CALLS(prefix, Map)                               \
  IFA_BENCH_BEHIND_CALL(prefix, Map<CorvaneInt::IfaActionProfile::Entry>) \
  IFA_BENCH_BEHIND_CALL(prefix, Map<CorvaneInt::IfaSwitchId::Entry>)

IFA_BENCH_BEHIND_CALLS(extern template, AbslMap)
IFA_BENCH_BEHIND_CALLS(extern template, BoostMap)

}  // namespace IfaBench
