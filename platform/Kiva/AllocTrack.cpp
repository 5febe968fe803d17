#include "Kiva/AllocTrack.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace Kiva {
namespace {

struct Registry {
  std::mutex mutex;
  std::vector<AllocTrackTypeInfo*> trackers;
};

Registry& registry() {
  static Registry* r = new Registry;  // never destroyed: trackers may outlive static teardown
  return *r;
}

}  // namespace

void AllocTrackTypeInfo::join() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (!joined_.load(std::memory_order_relaxed)) {
    r.trackers.push_back(this);
    joined_.store(true, std::memory_order_relaxed);
  }
}

AllocTrackTypeInfo::~AllocTrackTypeInfo() {
  if (!joined_.load(std::memory_order_relaxed)) return;
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.trackers.erase(std::remove(r.trackers.begin(), r.trackers.end(), this), r.trackers.end());
}

void AllocTrackTypeInfo::_trackAllocation(AllocTrackTypeInfo& tracker, std::string_view,
                                          std::size_t size, std::size_t count) {
  if (!tracker.joined_.load(std::memory_order_relaxed)) tracker.join();
  tracker.liveObjects_.fetch_add(static_cast<std::int64_t>(count), std::memory_order_relaxed);
  tracker.liveBytes_.fetch_add(static_cast<std::int64_t>(size * count), std::memory_order_relaxed);
  tracker.totalAllocations_.fetch_add(1, std::memory_order_relaxed);
}

void AllocTrackTypeInfo::trackDeallocation(AllocTrackTypeInfo& tracker, std::size_t size,
                                           std::size_t count) {
  tracker.liveObjects_.fetch_sub(static_cast<std::int64_t>(count), std::memory_order_relaxed);
  tracker.liveBytes_.fetch_sub(static_cast<std::int64_t>(size * count), std::memory_order_relaxed);
}

void AllocTrackTypeInfo::trackArrayAllocation(AllocTrackTypeInfo& tracker, std::size_t elementSize,
                                              std::size_t count) {
  _trackAllocation(tracker, tracker.typeName_, elementSize, count);
}

void AllocTrackTypeInfo::trackArrayDeallocation(AllocTrackTypeInfo& tracker,
                                                std::size_t elementSize, std::size_t count) {
  trackDeallocation(tracker, elementSize, count);
}

void AllocTrackTypeInfo::forEach(std::function<void(AllocTrackTypeInfo const&)> const& visit) {
  Registry& r = registry();
  std::vector<AllocTrackTypeInfo*> copy;
  {
    std::lock_guard lock(r.mutex);
    copy = r.trackers;
  }
  for (auto* t : copy) visit(*t);
}

}  // namespace Kiva
