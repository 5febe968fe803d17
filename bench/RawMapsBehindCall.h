// The definitions of RawMaps.h's calls, included only by the translation
// unit of each map.
#pragma once

#include "RawMaps.h"

namespace IfaBench {

template <class Map>
[[gnu::noinline]] typename Map::mapped_type const* findBehindCall(Map const& map,
                                                                  std::uint32_t key) {
  auto const it = map.find(key);
  return it == map.end() ? nullptr : &it->second;
}

template <class Map>
[[gnu::noinline]] bool insertBehindCall(Map& map, std::uint32_t key,
                                        typename Map::mapped_type const& entry) {
  return map.emplace(key, entry).second;
}

template <class Map>
[[gnu::noinline]] bool eraseBehindCall(Map& map, std::uint32_t key) {
  return map.erase(key) != 0;
}

}  // namespace IfaBench
