// Class-scope allocation of the catalogue's classes (tables, Utils, loaders):
// memory from Pooler's slab allocator, each object reported to its class's
// allocation tracker. A constructor that throws gets its tracking undone and
// its memory returned by the matching operator delete, which the language
// calls before the exception goes on.
#pragma once

#include <cstddef>

#include "Kiva/AllocTrack.h"
#include "Pooler/Pooler.h"

namespace IfaRuntime {

inline void* slabNewTracked(Kiva::AllocTrackTypeInfo& tracker, std::size_t size) {
  Kiva::AllocTrackTypeInfo::_trackAllocation(tracker, tracker.typeName(), size, 1);
  try {
    return Pooler::slabAlloc(size);
  } catch (...) {
    Kiva::AllocTrackTypeInfo::trackDeallocation(tracker, size, 1);
    throw;
  }
}

inline void slabDeleteTracked(Kiva::AllocTrackTypeInfo& tracker, void* object, std::size_t size) {
  Kiva::AllocTrackTypeInfo::trackDeallocation(tracker, size, 1);
  Pooler::slabFree(object, Pooler::Type{tracker.typeName(), size});
}

}  // namespace IfaRuntime

// In a class body: new and delete of the class (and of classes derived from
// it, at their own size) go through the slab allocator and `tracker`.
#define IFA_SLAB_ALLOCATED(tracker)                                      \
  static void* operator new(std::size_t size) {                          \
    return ::IfaRuntime::slabNewTracked(tracker, size);                  \
  }                                                                      \
  static void operator delete(void* object, std::size_t size) noexcept { \
    ::IfaRuntime::slabDeleteTracked(tracker, object, size);              \
  }
