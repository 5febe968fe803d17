// The out-of-line absl::flat_hash_map operations of AbslBehindCall.h. Kept
// out of line even should the build link with link-time optimisation.
#include "AbslBehindCall.h"

namespace IfaBench {
namespace {

template <class Entry>
Entry const* find(AbslMap<Entry> const& map, std::uint32_t key) {
  auto const it = map.find(key);
  return it == map.end() ? nullptr : &it->second;
}

template <class Entry>
bool insert(AbslMap<Entry>& map, std::uint32_t key, Entry const& entry) {
  return map.emplace(key, entry).second;
}

}  // namespace

[[gnu::noinline]] CorvaneInt::IfaActionProfile::Entry const* findBehindCall(
    AbslMap<CorvaneInt::IfaActionProfile::Entry> const& map, std::uint32_t key) {
  return find(map, key);
}

[[gnu::noinline]] CorvaneInt::IfaSwitchId::Entry const* findBehindCall(
    AbslMap<CorvaneInt::IfaSwitchId::Entry> const& map, std::uint32_t key) {
  return find(map, key);
}

[[gnu::noinline]] bool insertBehindCall(AbslMap<CorvaneInt::IfaActionProfile::Entry>& map,
                                        std::uint32_t key,
                                        CorvaneInt::IfaActionProfile::Entry const& entry) {
  return insert(map, key, entry);
}

[[gnu::noinline]] bool insertBehindCall(AbslMap<CorvaneInt::IfaSwitchId::Entry>& map,
                                        std::uint32_t key,
                                        CorvaneInt::IfaSwitchId::Entry const& entry) {
  return insert(map, key, entry);
}

}  // namespace IfaBench
