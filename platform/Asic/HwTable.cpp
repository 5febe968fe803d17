#include "Asic/HwTable.h"

#include <algorithm>
#include <sstream>
#include <utility>

namespace Asic {

namespace {

std::string opName(IndexUserTracker::OpType op) {
  std::ostringstream os;
  os << op << " (" << static_cast<unsigned>(op) << ")";
  return os.str();
}

std::string errorText(std::string const& hwTable, Asic::Index index, std::string const& operation,
                      std::uint32_t uses, std::string const& reason) {
  std::ostringstream os;
  os << "HwTable \"" << hwTable << "\": " << operation << " at index " << index
     << " refused: " << reason << " (index has " << uses << " uses)";
  return os.str();
}

}  // namespace

IndexUserTracker::Error::Error(std::string hwTable, Asic::Index index, std::string operation,
                               std::uint32_t uses, std::string const& reason)
    : std::logic_error(errorText(hwTable, index, operation, uses, reason)),
      hwTable_(std::move(hwTable)),
      index_(index),
      operation_(std::move(operation)),
      uses_(uses) {}

IndexUserTracker::IndexUserTracker(HwTable const& hwTable, std::uint32_t maxUsesPerIndex)
    : hwTable_(hwTable), maxUses_(maxUsesPerIndex) {}

void IndexUserTracker::refuse(Asic::Index index, std::string operation, std::uint32_t uses,
                              std::string const& reason) {
  ++refusals_;
  throw Error(hwTable_.name().str(), index, std::move(operation), uses, reason);
}

void IndexUserTracker::update(Asic::Index index, OpType op) {
  auto const code = static_cast<unsigned>(op);
  std::uint32_t const current = uses(index);
  if (code >= kOpTypes) refuse(index, opName(op), current, "unknown operation");
  if (!hwTable_.contains(index)) {
    refuse(index, opName(op), current,
           "index outside the table's range [" + std::to_string(hwTable_.minIndex()) + ", " +
               std::to_string(hwTable_.maxIndex()) + "]");
  }
  switch (op) {
    case OpType::acquire:
    case OpType::acquireForValue:
      if (unclaimed_.erase(index) != 0) break;  // the entry claims the row read back
      if (current >= maxUses_) {
        refuse(index, opName(op), current,
               "index at its maximum of " + std::to_string(maxUses_) + " uses");
      }
      uses_[index] = current + 1;
      break;
    case OpType::release:
      unclaimed_.erase(index);
      if (current == 0) {
        ++idleReleases_;
      } else if (current == 1) {
        uses_.erase(index);
      } else {
        uses_[index] = current - 1;
      }
      break;
    case OpType::releaseValue:
      if (current == 0) refuse(index, opName(op), current, "no use to release");
      unclaimed_.erase(index);
      if (current == 1) {
        uses_.erase(index);
      } else {
        uses_[index] = current - 1;
      }
      break;
    case OpType::releaseValueless:
      // A row read back and never claimed goes with the valueless entry that
      // matched it; any other use means the index belongs to an entry.
      if (unclaimed_.erase(index) != 0) {
        uses_.erase(index);
        break;
      }
      if (current != 0) refuse(index, opName(op), current, "index in use");
      break;
  }
  ++opCounts_[code];
}

void IndexUserTracker::recover(Asic::Index index) {
  std::uint32_t const current = uses(index);
  if (!hwTable_.contains(index)) {
    refuse(index, "recover", current,
           "index outside the table's range [" + std::to_string(hwTable_.minIndex()) + ", " +
               std::to_string(hwTable_.maxIndex()) + "]");
  }
  if (current == 0) {
    uses_[index] = 1;
    unclaimed_.insert(index);
  }
  ++recoveries_;
}

std::uint32_t IndexUserTracker::uses(Asic::Index index) const {
  auto const it = uses_.find(index);
  return it == uses_.end() ? 0 : it->second;
}

std::vector<Asic::Index> IndexUserTracker::indices() const {
  std::vector<Asic::Index> result;
  result.reserve(uses_.size());
  for (auto const& [index, count] : uses_) result.push_back(index);
  std::sort(result.begin(), result.end());
  return result;
}

std::uint64_t IndexUserTracker::opCount(OpType op) const {
  auto const code = static_cast<unsigned>(op);
  return code < kOpTypes ? opCounts_[code] : 0;
}

IndexUserTracker* IndexUserTracker::Stub::createTracker(HwTable* hwTable, std::uint16_t id,
                                                        std::uint32_t maxUsesPerIndex) {
  auto tracker = std::make_unique<IndexUserTracker>(*hwTable, maxUsesPerIndex);
  IndexUserTracker* result = tracker.get();
  hwTable->trackers_[id] = std::move(tracker);
  return result;
}

bool IndexUserTracker::Stub::deleteTracker(HwTable* hwTable, std::uint16_t id, bool strict) {
  if (hwTable == nullptr) return false;
  auto const it = hwTable->trackers_.find(id);
  bool const present = it != hwTable->trackers_.end();
  if (present && strict && it->second->indicesInUse() != 0) {
    hwTable->deletions_.push_back({id, strict, false});
    std::vector<Asic::Index> const inUse = it->second->indices();
    throw Error(hwTable->name().str(), inUse.front(), "deleteTracker",
                it->second->uses(inUse.front()),
                "tracker " + std::to_string(id) + " still has " + std::to_string(inUse.size()) +
                    " indices in use");
  }
  if (present) hwTable->trackers_.erase(it);
  hwTable->deletions_.push_back({id, strict, present});
  return present;
}

void IndexUserTracker::Stub::update(HwTable* hwTable, std::uint16_t id, Asic::Index index,
                                    OpType op) {
  IndexUserTracker* tracker = hwTable ? hwTable->indexUserTracker(id) : nullptr;
  if (tracker == nullptr) {
    throw Error(hwTable ? hwTable->name().str() : std::string("<none>"), index, opName(op), 0,
                "no index user tracker " + std::to_string(id));
  }
  tracker->update(index, op);
}

std::ostream& operator<<(std::ostream& os, IndexUserTracker::OpType op) {
  switch (op) {
    case IndexUserTracker::OpType::acquire:
      return os << "acquire";
    case IndexUserTracker::OpType::acquireForValue:
      return os << "acquireForValue";
    case IndexUserTracker::OpType::release:
      return os << "release";
    case IndexUserTracker::OpType::releaseValue:
      return os << "releaseValue";
    case IndexUserTracker::OpType::releaseValueless:
      return os << "releaseValueless";
  }
  return os << static_cast<unsigned>(op);
}

HwTable::HwTable(Orrin::String name, Asic::Index minIndex, Asic::Index maxIndex,
                 std::uint32_t maxUsesPerIndex)
    : name_(std::move(name)), minIndex_(minIndex), maxIndex_(maxIndex) {
  trackers_[0] = std::make_unique<IndexUserTracker>(*this, maxUsesPerIndex);
}

HwTable::~HwTable() = default;

IndexUserTracker* HwTable::indexUserTracker(std::uint16_t id) const {
  auto const it = trackers_.find(id);
  return it == trackers_.end() ? nullptr : it->second.get();
}

HwTableRecoverGroup::~HwTableRecoverGroup() = default;

}  // namespace Asic
