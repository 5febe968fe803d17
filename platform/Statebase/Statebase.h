// The state database's objects that the hardware-table framework is handed:
// mount groups (where a component mounts the state it publishes or recovers)
// and the entity manager of a unit.
#pragma once

#include <utility>
#include <vector>

#include "Orrin/Node.h"
#include "Orrin/String.h"

namespace Statebase {

// A named group of mounts. Each mount is a path below the group; mounting the
// same path twice keeps one mount.
class MountGroup : public Orrin::Node {
 public:
  explicit MountGroup(Orrin::String name) : name_(std::move(name)) {}
  ~MountGroup() override;

  Orrin::String const& name() const { return name_; }
  // Mounts `path`; returns false when it was mounted already.
  bool mountIs(Orrin::String const& path);
  bool mounted(Orrin::String const& path) const;
  // The mounted paths, in mount order.
  std::vector<Orrin::String> const& mounts() const { return mounts_; }

 private:
  Orrin::String name_;
  std::vector<Orrin::String> mounts_;
};

// The entity manager of one unit's state: here only its identity.
class EntityManager : public Orrin::Node {
 public:
  explicit EntityManager(Orrin::String name) : name_(std::move(name)) {}
  ~EntityManager() override;

  Orrin::String const& name() const { return name_; }

 private:
  Orrin::String name_;
};

}  // namespace Statebase
