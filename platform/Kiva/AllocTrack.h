// Kiva::AllocTrackTypeInfo: per-type allocation counters.
//
// Each tracked type owns one static tracker. Allocation sites report to it
// beside every allocation and release; the counters are read by tests, tools
// and benchmarks. Counters only: trackers never allocate or free.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

namespace Kiva {

class AllocTrackTypeInfo {
 public:
  // Constant-initialised, so that a static tracker is ready before any static
  // initialiser allocates; it joins the list forEach visits on its first
  // allocation.
  explicit constexpr AllocTrackTypeInfo(std::string_view typeName) : typeName_(typeName) {}
  AllocTrackTypeInfo(AllocTrackTypeInfo const&) = delete;
  AllocTrackTypeInfo& operator=(AllocTrackTypeInfo const&) = delete;
  ~AllocTrackTypeInfo();

  std::string_view typeName() const { return typeName_; }
  // Objects (or array elements) currently allocated and their bytes.
  std::int64_t liveObjects() const { return liveObjects_.load(std::memory_order_relaxed); }
  std::int64_t liveBytes() const { return liveBytes_.load(std::memory_order_relaxed); }
  // Allocations reported since the process started (arrays count once).
  std::uint64_t totalAllocations() const {
    return totalAllocations_.load(std::memory_order_relaxed);
  }

  // `type` names what was allocated when it differs from the tracker's own type
  // (a derived class); it is only used in reports.
  static void _trackAllocation(AllocTrackTypeInfo& tracker, std::string_view type, std::size_t size,
                               std::size_t count);
  static void trackDeallocation(AllocTrackTypeInfo& tracker, std::size_t size, std::size_t count);
  static void trackArrayAllocation(AllocTrackTypeInfo& tracker, std::size_t elementSize,
                                   std::size_t count);
  static void trackArrayDeallocation(AllocTrackTypeInfo& tracker, std::size_t elementSize,
                                     std::size_t count);

  // Visits every tracker that has recorded an allocation and still exists,
  // in the order of their first allocations.
  static void forEach(std::function<void(AllocTrackTypeInfo const&)> const& visit);

 private:
  void join();

  std::string_view typeName_;
  std::atomic<bool> joined_{false};
  std::atomic<std::int64_t> liveObjects_{0};
  std::atomic<std::int64_t> liveBytes_{0};
  std::atomic<std::uint64_t> totalAllocations_{0};
};

}  // namespace Kiva
