#include "Statebase/Statebase.h"

#include <algorithm>

namespace Statebase {

MountGroup::~MountGroup() = default;

bool MountGroup::mountIs(Orrin::String const& path) {
  if (mounted(path)) return false;
  mounts_.push_back(path);
  return true;
}

bool MountGroup::mounted(Orrin::String const& path) const {
  return std::find(mounts_.begin(), mounts_.end(), path) != mounts_.end();
}

EntityManager::~EntityManager() = default;

}  // namespace Statebase
