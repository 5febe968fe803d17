// Hardware tables of the framework and the use tracking of their indices.
//
// An Asic::HwTable stands for one hardware table or register of the chip: a
// name and an inclusive range of hardware indices. Each hardware table has
// index-use trackers (Asic::IndexUserTracker), numbered by a 16-bit id;
// tracker 0 is created with the table. A tracker counts, per hardware index,
// how many entries use it, and refuses updates that would make the count
// inconsistent. Chip Utils report every use change of an index to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "Asic/Types.h"
#include "Orrin/Node.h"
#include "Orrin/String.h"

namespace Asic {

class HwTable;

// What the framework knows of the chip it drives.
struct ChipInfo {
  Orrin::String chipName;
  std::uint16_t unitCount = 1;

  friend bool operator==(ChipInfo const&, ChipInfo const&) = default;
};

// Counts the uses of each hardware index of one hardware table.
//
// Each index has a use count, 0 when the index is free. A tracker has a
// maximum of uses per index: 1 where an index belongs to exactly one entry
// (known-index tables), more where entries may share a row.
//
// Updates that would break the counts are refused: nothing changes, the
// refusal is counted, and IndexUserTracker::Error is raised naming the
// hardware table, the index, the operation and the index's current uses.
// A row found when hardware is read back after a restart (recover) holds its
// index with one use that no entry has claimed yet. The first acquire (0, 1)
// of such an index claims that use instead of adding one; a release (2, 3) or
// the release of a valueless entry (4) frees it.
//
// Refused are: an index outside the table's range, an unknown operation,
// acquire (0, 1) at the maximum, releaseValue (3) at 0 uses, and
// releaseValueless (4) on an index in use.
class IndexUserTracker {
 public:
  enum class OpType : std::uint8_t {
    // 0: a new entry with a value takes the index: uses + 1.
    acquire = 0,
    // 1: an entry that was held without a value gets one: uses + 1 (an entry
    // without value does not occupy the row).
    acquireForValue = 1,
    // 2: an entry leaves the index, or a stale row found at read-back is
    // deleted: uses - 1. At 0 uses it is accepted and changes nothing (it is
    // counted as an idle release), because a bulk removal reports 2 for every
    // entry and cannot tell an entry that held no value.
    release = 2,
    // 3: the entry keeps its key but drops its value: uses - 1. Refused at 0
    // uses.
    releaseValue = 3,
    // 4: an entry that held no value leaves: no change. Refused on an index
    // in use, since a valueless entry never took it.
    releaseValueless = 4,
  };
  static constexpr unsigned kOpTypes = 5;
  static constexpr std::uint32_t kUnlimitedUses = 0xFFFFFFFFu;

  // A refused update.
  class Error : public std::logic_error {
   public:
    Error(std::string hwTable, Asic::Index index, std::string operation, std::uint32_t uses,
          std::string const& reason);

    std::string const& hwTable() const { return hwTable_; }
    Asic::Index index() const { return index_; }
    // The operation's name and number ("releaseValue (3)"), or "recover".
    std::string const& operation() const { return operation_; }
    std::uint32_t uses() const { return uses_; }

   private:
    std::string hwTable_;
    Asic::Index index_;
    std::string operation_;
    std::uint32_t uses_;
  };

  // The framework's entry points for the trackers of a hardware table, by
  // table and tracker id.
  struct Stub {
    // Creates tracker `id` of `hwTable` (replacing one that exists) and
    // returns it.
    static IndexUserTracker* createTracker(HwTable* hwTable, std::uint16_t id,
                                           std::uint32_t maxUsesPerIndex);
    // Deletes tracker `id` of `hwTable`. With `strict` set, a tracker that
    // still has indices in use is kept and Error is raised; without it, the
    // tracker goes whatever it counts. A null table or a table without that
    // tracker is left alone. Every call is recorded in the table's deletion
    // log. Returns whether a tracker was deleted.
    static bool deleteTracker(HwTable* hwTable, std::uint16_t id, bool strict);
    // Applies one update to tracker `id` of `hwTable`. Raises Error when the
    // table has no such tracker (for example after deleteTracker) or when
    // the tracker refuses the update.
    static void update(HwTable* hwTable, std::uint16_t id, Asic::Index index, OpType op);
  };

  IndexUserTracker(HwTable const& hwTable, std::uint32_t maxUsesPerIndex);
  IndexUserTracker(IndexUserTracker const&) = delete;
  IndexUserTracker& operator=(IndexUserTracker const&) = delete;

  // Applies one use change of `index`, or raises Error and changes nothing
  // but the refusal count.
  void update(Asic::Index index, OpType op);
  // Marks `index` in use because hardware held a row there when it was read
  // back after a restart: an unused index gets one use, an index in use keeps
  // its count. Raises Error for an index outside the table.
  void recover(Asic::Index index);

  std::uint32_t uses(Asic::Index index) const;
  // Number of indices with at least one use.
  std::size_t indicesInUse() const { return uses_.size(); }
  // The indices in use, in ascending order.
  std::vector<Asic::Index> indices() const;
  std::uint32_t maxUsesPerIndex() const { return maxUses_; }

  // Accepted updates of `op` (idle releases included).
  std::uint64_t opCount(OpType op) const;
  // Releases (2) accepted at 0 uses.
  std::uint64_t idleReleases() const { return idleReleases_; }
  std::uint64_t recoveries() const { return recoveries_; }
  std::uint64_t refusals() const { return refusals_; }

 private:
  [[noreturn]] void refuse(Asic::Index index, std::string operation, std::uint32_t uses,
                           std::string const& reason);

  HwTable const& hwTable_;
  std::uint32_t maxUses_;
  // Only indices in use are held.
  std::unordered_map<Asic::Index, std::uint32_t> uses_;
  std::unordered_set<Asic::Index> unclaimed_;  // in use by a recovered row only
  std::uint64_t opCounts_[kOpTypes] = {};
  std::uint64_t idleReleases_ = 0;
  std::uint64_t recoveries_ = 0;
  std::uint64_t refusals_ = 0;
};

// Prints the operation's name ("acquire", ..., "releaseValueless"); any other
// value as its number.
std::ostream& operator<<(std::ostream& os, IndexUserTracker::OpType op);

// One hardware table of the chip: a name, an inclusive range of hardware
// indices, and its index-use trackers. Tracker 0 is created with the table,
// with the maximum of uses per index given here.
class HwTable : public Orrin::Node {
 public:
  // One call of IndexUserTracker::Stub::deleteTracker on this table.
  struct TrackerDeletion {
    std::uint16_t id;
    bool strict;
    // Whether a tracker with that id was there and went.
    bool deleted;
    friend bool operator==(TrackerDeletion const&, TrackerDeletion const&) = default;
  };

  HwTable(Orrin::String name, Asic::Index minIndex, Asic::Index maxIndex,
          std::uint32_t maxUsesPerIndex);
  ~HwTable() override;

  Orrin::String const& name() const { return name_; }
  Asic::Index minIndex() const { return minIndex_; }
  Asic::Index maxIndex() const { return maxIndex_; }
  bool contains(Asic::Index index) const { return index >= minIndex_ && index <= maxIndex_; }

  // Tracker `id`, or null when the table has none with that id.
  IndexUserTracker* indexUserTracker(std::uint16_t id = 0) const;
  std::vector<TrackerDeletion> const& trackerDeletions() const { return deletions_; }

 private:
  friend struct IndexUserTracker::Stub;

  Orrin::String name_;
  Asic::Index minIndex_;
  Asic::Index maxIndex_;
  std::map<std::uint16_t, std::unique_ptr<IndexUserTracker>> trackers_;
  std::vector<TrackerDeletion> deletions_;
};

// The hardware tables to recover after a restart, gathered by the framework
// before it reads them back.
class HwTableRecoverGroup : public Orrin::Node {
 public:
  struct Member {
    Orrin::String name;
    Asic::UnitId unitId;
    friend bool operator==(Member const&, Member const&) = default;
  };

  explicit HwTableRecoverGroup(Orrin::String name) : name_(std::move(name)) {}
  ~HwTableRecoverGroup() override;

  Orrin::String const& name() const { return name_; }
  void memberIs(Orrin::String name, Asic::UnitId unitId) {
    members_.push_back({std::move(name), unitId});
  }
  std::vector<Member> const& members() const { return members_; }

 private:
  Orrin::String name_;
  std::vector<Member> members_;
};

}  // namespace Asic
