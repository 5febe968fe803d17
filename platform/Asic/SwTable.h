// Bases of the software tables of the hardware-table framework.
//
// Asic::SwTable holds what the framework keeps for every software table: the
// change publisher, the chip Util attached to the table, the hardware table,
// the configuration-replay-complete flag, the reconciliation statistics of a
// restart and two bytes of state that the table engine reads and writes
// directly. Its virtual operations are the framework's calls into a table; the
// defaults here are small: the calls that only matter to tables with a remote
// allocator or resource state machines are recorded in the table's call log
// (frameworkCalls()) and do nothing else.
//
// Asic::SwTable::Util is the base of each table's chip Util; its static
// mount and recovery operations file requests with the framework, which keeps
// a record of them (Asic::Framework).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "Asic/HwTable.h"
#include "Asic/Types.h"
#include "Kiva/CharRange.h"
#include "Orrin/Node.h"
#include "Orrin/Ptr.h"
#include "Orrin/Publisher.h"
#include "Orrin/String.h"
#include "Statebase/Statebase.h"

namespace Asic {

class SwTable : public SwTableBase {
 public:
  // The table engine over a table type, and its entry iterator.
  template <class Table>
  class Accessor;
  template <class Table>
  class EntryIteratorConst;

  // Outcome of reconciling one replayed entry with the row read back from
  // hardware after a restart.
  enum class ReconciliationStatus : std::uint8_t {
    none = 0,             // nothing to reconcile
    entryMatched = 1,     // hardware already holds the entry
    entryMismatched = 2,  // hardware holds a different entry: rewritten in place
    entryMissing = 3,     // hardware holds nothing at the key: written
    entryStale = 4,       // a row was deleted while replay was not complete
  };

  // Counts of reconciliation outcomes since the table was created. Each
  // counter is 32 bits and wraps.
  struct ReconciliationStatistics {
    std::uint32_t entryMatched = 0;
    std::uint32_t entryMismatched = 0;
    std::uint32_t entryMissing = 0;
    std::uint32_t entryStale = 0;

    // Text form: "Asic::SwTable::ReconciliationStatistics(entryMatched=3,
    // entryMismatched=1, entryMissing=2, entryStale=0)".
    void strepWrite(Kiva::StrepWriter& writer) const;
    friend bool operator==(ReconciliationStatistics const&,
                           ReconciliationStatistics const&) = default;
  };

  // Base of a table's chip Util, supplied by the chip plug-in and attached
  // to the table by the framework.
  class Util : public Orrin::Node {
   public:
    explicit Util(Orrin::String const& name);
    // Clears the live node flag first, then reports the release to the
    // framework (Framework::utilReleases()).
    ~Util() override;

    Orrin::String const& name() const { return name_; }

    // The feature the Util serves; by default its name.
    virtual Orrin::String featureName() const;
    // Whether one Util serves several tables; by default not.
    virtual bool shared() const;
    // Completion of a row write, read or read of all rows by the hardware;
    // by default recorded in notifications().
    virtual void doNotifyWriteResponse(Asic::Index hwIndex, bool success);
    virtual void doNotifyReadResponse(Asic::Index hwIndex, bool success);
    virtual void doNotifyReadResponseAll(bool success);
    // Rows `hwTable` can hold: by default the size of its index range, 0 for
    // no table.
    virtual std::uint32_t numEntries(HwTable const* hwTable) const;
    // Copies the hardware state of `from` to `to`: by default the indices in
    // use in tracker 0 of `from` that lie in the range of `to` are recovered
    // in tracker 0 of `to`. Returns the number of indices copied (0 when
    // either table has no tracker 0).
    virtual std::uint32_t doCopyHwTable(HwTable const& from, HwTable& to) const;

    // The notifications received, as "write(hwIndex=5, success=true)",
    // "read(hwIndex=5, success=false)" and "readAll(success=true)".
    std::vector<std::string> const& notifications() const { return notifications_; }

    // Mounts the hardware table `name` of the table type `type` into
    // `mountGroup` (path "hwTableMountInfo/<name>").
    static void doMountHwTableMountInfo(Orrin::TypeData type,
                                        Orrin::Ptr<Statebase::MountGroup> const& mountGroup,
                                        Orrin::String const& name);
    // Mounts the recovery status of hardware table `name` into `mountGroup`
    // (path "hwTableRecoveryStatus/<name>").
    static void doMountHwTableRecoveryStatus(Orrin::TypeData type,
                                             Orrin::Ptr<Statebase::MountGroup> const& mountGroup,
                                             Orrin::String const& name);
    // Adds hardware table `name` of unit `unitId` to `recoverGroup`.
    static void doRecoverHwTable(Orrin::TypeData type,
                                 Orrin::Ptr<HwTableRecoverGroup> const& recoverGroup,
                                 Asic::UnitId unitId,
                                 Orrin::Ptr<Statebase::EntityManager> const& entityManager,
                                 ChipInfo const& chipInfo, Orrin::String const& name);
    // Each of the three also records its request (Framework::hwTableRequests());
    // an empty group is recorded but nothing is mounted or added.

   private:
    Orrin::String name_;
    std::vector<std::string> notifications_;
  };

  explicit SwTable(Orrin::String const& name);
  ~SwTable() override;

  Orrin::String const& name() const { return name_; }

  // --- Framework state ---

  Orrin::Publisher* publisher() const override { return &publisher_; }

  // The Util holder: empty until the framework attaches a Util.
  void utilIs(Orrin::Ptr<Util> util) { util_ = std::move(util); }
  Orrin::Ptr<Util> const& utilHolder() const { return util_; }
  bool utilHolderEmpty() const { return !util_; }
  // The attached Util; callers test the holder first.
  Util const* util() const { return util_.get(); }

  // The hardware table, or null before the framework creates or sets one.
  HwTable* hwTable() const { return hwTable_.get(); }
  void hwTableIs(Orrin::Ptr<HwTable> hwTable) { hwTable_ = std::move(hwTable); }

  // Clear from construction until the configuration replay after a restart
  // is complete.
  bool configReplayComplete() const { return configReplayComplete_; }
  void configReplayCompleteIs(bool complete) { configReplayComplete_ = complete; }

  // Counts one outcome. `none` (nothing was reconciled) and values outside
  // the enumeration count nothing.
  void updateStatistic(ReconciliationStatus status);
  ReconciliationStatistics const& statistics() const { return statistics_; }
  void statisticsReset() { statistics_ = {}; }

  // The framework calls recorded by the default virtual operations, in
  // order, for example "doCreateAllocator()".
  std::vector<std::string> const& frameworkCalls() const { return frameworkCalls_; }

  // Maximum uses per hardware index of the trackers of the hardware tables
  // this table creates.
  std::uint32_t maxUsesPerIndex() const { return maxUsesPerIndex_; }

  // --- Framework calls into the table, in the runtime's slot order ---

  // Creates a hardware table with this name and inclusive index range,
  // with its tracker 0, and attaches it (replacing any other).
  virtual void doCreateHwTable(Orrin::String const& hwTableName, Asic::Index minIndex,
                               Asic::Index maxIndex);
  // The framework's answer to a hardware-table creation; a failure detaches
  // the hardware table. Recorded.
  virtual void doCreateHwTableResponse(bool success);
  // The server of weak references to entries; none by default.
  virtual Orrin::Ptr<Orrin::Node> entryWeakRefServer() const;
  // A handle on the entry at `key`, naming the key as its hardware index;
  // an empty handle for the invalid index.
  virtual Orrin::Ptr<EntryHandle const> getEntryHandle(Index key) const;
  // Responses and resource status of a remote allocator: recorded.
  virtual void dispatchResponse(std::uint32_t responseId);
  virtual void handleWeakResourceStatusResponse(bool available);
  virtual void handleStrongResourceStatusResponse(bool available);
  // Publishes the mount information of the hardware table: recorded with the
  // hardware table's name ("none" without one).
  virtual void doPublishHwTableMountInfo();
  // Deletes the rows read back after a restart that no replayed entry
  // claimed. A base table reads nothing back: nothing to do.
  virtual void purgeStaleEntries();
  // Resource state machines and allocator setup: recorded.
  virtual void doCreateResourceSms();
  virtual void doInitResourceConfigSm();
  virtual void doPublishResourceMountInfo();
  virtual void doCreateAllocator();
  // Ends the configuration replay: sets the replay-complete flag.
  virtual void doInitComplete();
  // Reads the hardware rows back after a restart. A base table keeps no
  // rows: nothing to do.
  virtual void syncEntries();

  // The resolved-entry state of a key before its change, as the framework
  // keeps it: one byte. Its named values; the byte may hold others, for
  // which the engine makes no tracker update.
  enum class ResolvedEntryState : std::uint8_t { none = 0, withoutValue = 1, withValue = 2 };

 protected:
  SwTable(Orrin::String const& name, std::uint32_t maxUsesPerIndex);

  // --- State of the table engine: written by the table's changes and by the
  // engine (a member of this class), read by the engine ---

  // The previous resolved-entry state of the key at hand.
  ResolvedEntryState prevResolvedEntryState_ = ResolvedEntryState::none;
  // Set while the row being written or deleted keeps a hardware index that
  // was in use when hardware was read back.
  std::uint8_t indexReconciled_ = 0;

  void frameworkCallIs(std::string call) { frameworkCalls_.push_back(std::move(call)); }

 private:
  Orrin::String name_;
  std::uint32_t maxUsesPerIndex_;
  mutable Orrin::Publisher publisher_;
  Orrin::Ptr<Util> util_;
  Orrin::Ptr<HwTable> hwTable_;
  bool configReplayComplete_ = false;
  ReconciliationStatistics statistics_;
  std::vector<std::string> frameworkCalls_;
};

// A table whose key is the hardware index of its row: each index belongs to
// at most one entry, so its hardware tables track at most one use per index.
class SwKnownIndexTable : public SwTable {
 public:
  explicit SwKnownIndexTable(Orrin::String const& name);
  ~SwKnownIndexTable() override;
};

// Prints "none", "entryMatched", "entryMismatched", "entryMissing" or
// "entryStale"; any other value as its number.
std::ostream& operator<<(std::ostream& os, SwTable::ReconciliationStatus status);

// What the framework has been asked to do and has seen, for tools and tests.
class Framework {
 public:
  enum class HwTableOperation : std::uint8_t {
    mountHwTableMountInfo,
    mountHwTableRecoveryStatus,
    recoverHwTable,
  };

  // One mount or recovery request of a Util, with the arguments passed
  // (those the operation does not take stay empty).
  struct HwTableRequest {
    HwTableOperation operation;
    Orrin::TypeData type;
    Orrin::String name;
    Orrin::Ptr<Statebase::MountGroup> mountGroup;
    Orrin::Ptr<HwTableRecoverGroup> recoverGroup;
    Asic::UnitId unitId = 0;
    Orrin::Ptr<Statebase::EntityManager> entityManager;
    ChipInfo chipInfo;
  };

  // One Util destroyed: its name and its node flags as its destructor left
  // them.
  struct UtilRelease {
    Orrin::String name;
    std::uint32_t nodeFlags;
  };
  // Only the most recent releases are kept.
  static constexpr std::size_t kUtilReleasesKept = 64;

  static std::vector<HwTableRequest> hwTableRequests();
  static void hwTableRequestsClear();
  static std::vector<UtilRelease> utilReleases();
  static void utilReleasesClear();
};

}  // namespace Asic
