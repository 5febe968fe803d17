#include "Asic/SwTable.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <utility>

namespace Asic {

namespace {

// The framework's records. Never destroyed, so that Utils released while the
// process exits can still report.
struct Registry {
  std::mutex mutex;
  std::vector<Framework::HwTableRequest> requests;
  std::deque<Framework::UtilRelease> releases;
};

Registry& registry() {
  static Registry* const instance = new Registry;
  return *instance;
}

void requestIs(Framework::HwTableRequest request) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.requests.push_back(std::move(request));
}

char const* boolText(bool b) {
  return b ? "true" : "false";
}

}  // namespace

// --- ReconciliationStatistics ---

void SwTable::ReconciliationStatistics::strepWrite(Kiva::StrepWriter& writer) const {
  writer.openList("Asic::SwTable::ReconciliationStatistics", "entryMatched");
  writer.number(entryMatched);
  writer.separator("entryMismatched");
  writer.number(entryMismatched);
  writer.separator("entryMissing");
  writer.number(entryMissing);
  writer.separator("entryStale");
  writer.number(entryStale);
  writer.closeList();
}

// --- Util ---

SwTable::Util::Util(Orrin::String const& name) : name_(name) {}

SwTable::Util::~Util() {
  nodeFlagSet(kLiveFlag, false);
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.releases.push_back({name_, nodeFlags()});
  if (r.releases.size() > Framework::kUtilReleasesKept) r.releases.pop_front();
}

Orrin::String SwTable::Util::featureName() const {
  return name_;
}

bool SwTable::Util::shared() const {
  return false;
}

void SwTable::Util::doNotifyWriteResponse(Asic::Index hwIndex, bool success) {
  notifications_.push_back("write(hwIndex=" + std::to_string(hwIndex) +
                           ", success=" + boolText(success) + ")");
}

void SwTable::Util::doNotifyReadResponse(Asic::Index hwIndex, bool success) {
  notifications_.push_back("read(hwIndex=" + std::to_string(hwIndex) +
                           ", success=" + boolText(success) + ")");
}

void SwTable::Util::doNotifyReadResponseAll(bool success) {
  notifications_.push_back(std::string("readAll(success=") + boolText(success) + ")");
}

std::uint32_t SwTable::Util::numEntries(HwTable const* hwTable) const {
  if (hwTable == nullptr || hwTable->maxIndex() < hwTable->minIndex()) return 0;
  std::uint64_t const rows = std::uint64_t{hwTable->maxIndex()} - hwTable->minIndex() + 1;
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(rows, std::numeric_limits<std::uint32_t>::max()));
}

std::uint32_t SwTable::Util::doCopyHwTable(HwTable const& from, HwTable& to) const {
  IndexUserTracker const* source = from.indexUserTracker(0);
  IndexUserTracker* target = to.indexUserTracker(0);
  if (source == nullptr || target == nullptr) return 0;
  std::uint32_t copied = 0;
  for (Asic::Index index : source->indices()) {
    if (!to.contains(index)) continue;
    target->recover(index);
    ++copied;
  }
  return copied;
}

void SwTable::Util::doMountHwTableMountInfo(Orrin::TypeData type,
                                            Orrin::Ptr<Statebase::MountGroup> const& mountGroup,
                                            Orrin::String const& name) {
  if (mountGroup) mountGroup->mountIs(Orrin::String("hwTableMountInfo/" + name.str()));
  Framework::HwTableRequest request{};
  request.operation = Framework::HwTableOperation::mountHwTableMountInfo;
  request.type = type;
  request.name = name;
  request.mountGroup = mountGroup;
  requestIs(std::move(request));
}

void SwTable::Util::doMountHwTableRecoveryStatus(
    Orrin::TypeData type, Orrin::Ptr<Statebase::MountGroup> const& mountGroup,
    Orrin::String const& name) {
  if (mountGroup) mountGroup->mountIs(Orrin::String("hwTableRecoveryStatus/" + name.str()));
  Framework::HwTableRequest request{};
  request.operation = Framework::HwTableOperation::mountHwTableRecoveryStatus;
  request.type = type;
  request.name = name;
  request.mountGroup = mountGroup;
  requestIs(std::move(request));
}

void SwTable::Util::doRecoverHwTable(Orrin::TypeData type,
                                     Orrin::Ptr<HwTableRecoverGroup> const& recoverGroup,
                                     Asic::UnitId unitId,
                                     Orrin::Ptr<Statebase::EntityManager> const& entityManager,
                                     ChipInfo const& chipInfo, Orrin::String const& name) {
  if (recoverGroup) recoverGroup->memberIs(name, unitId);
  Framework::HwTableRequest request{};
  request.operation = Framework::HwTableOperation::recoverHwTable;
  request.type = type;
  request.name = name;
  request.recoverGroup = recoverGroup;
  request.unitId = unitId;
  request.entityManager = entityManager;
  request.chipInfo = chipInfo;
  requestIs(std::move(request));
}

// --- SwTable ---

SwTable::SwTable(Orrin::String const& name) : SwTable(name, IndexUserTracker::kUnlimitedUses) {}

SwTable::SwTable(Orrin::String const& name, std::uint32_t maxUsesPerIndex)
    : name_(name), maxUsesPerIndex_(maxUsesPerIndex) {}

SwTable::~SwTable() {
  nodeFlagSet(kLiveFlag, false);
}

void SwTable::updateStatistic(ReconciliationStatus status) {
  switch (status) {
    case ReconciliationStatus::none:
      break;
    case ReconciliationStatus::entryMatched:
      ++statistics_.entryMatched;
      break;
    case ReconciliationStatus::entryMismatched:
      ++statistics_.entryMismatched;
      break;
    case ReconciliationStatus::entryMissing:
      ++statistics_.entryMissing;
      break;
    case ReconciliationStatus::entryStale:
      ++statistics_.entryStale;
      break;
  }
}

void SwTable::doCreateHwTable(Orrin::String const& hwTableName, Asic::Index minIndex,
                              Asic::Index maxIndex) {
  hwTable_ = Orrin::Ptr<HwTable>(new HwTable(hwTableName, minIndex, maxIndex, maxUsesPerIndex_));
  frameworkCallIs("doCreateHwTable(name=" + hwTableName.str() + ", minIndex=" +
                  std::to_string(minIndex) + ", maxIndex=" + std::to_string(maxIndex) + ")");
}

void SwTable::doCreateHwTableResponse(bool success) {
  if (!success) hwTable_.reset();
  frameworkCallIs(std::string("doCreateHwTableResponse(success=") + boolText(success) + ")");
}

Orrin::Ptr<Orrin::Node> SwTable::entryWeakRefServer() const {
  return {};
}

Orrin::Ptr<SwTableBase::EntryHandle const> SwTable::getEntryHandle(Index key) const {
  if (key.isExhausted()) return {};
  return Orrin::Ptr<EntryHandle const>(new EntryHandle(key.value));
}

void SwTable::dispatchResponse(std::uint32_t responseId) {
  frameworkCallIs("dispatchResponse(responseId=" + std::to_string(responseId) + ")");
}

void SwTable::handleWeakResourceStatusResponse(bool available) {
  frameworkCallIs(std::string("handleWeakResourceStatusResponse(available=") + boolText(available) +
                  ")");
}

void SwTable::handleStrongResourceStatusResponse(bool available) {
  frameworkCallIs(std::string("handleStrongResourceStatusResponse(available=") +
                  boolText(available) + ")");
}

void SwTable::doPublishHwTableMountInfo() {
  frameworkCallIs("doPublishHwTableMountInfo(hwTable=" +
                  (hwTable_ ? hwTable_->name().str() : std::string("none")) + ")");
}

void SwTable::purgeStaleEntries() {}

void SwTable::doCreateResourceSms() {
  frameworkCallIs("doCreateResourceSms()");
}

void SwTable::doInitResourceConfigSm() {
  frameworkCallIs("doInitResourceConfigSm()");
}

void SwTable::doPublishResourceMountInfo() {
  frameworkCallIs("doPublishResourceMountInfo()");
}

void SwTable::doCreateAllocator() {
  frameworkCallIs("doCreateAllocator()");
}

void SwTable::doInitComplete() {
  configReplayCompleteIs(true);
}

void SwTable::syncEntries() {}

// --- SwKnownIndexTable ---

SwKnownIndexTable::SwKnownIndexTable(Orrin::String const& name) : SwTable(name, 1) {}

SwKnownIndexTable::~SwKnownIndexTable() = default;

// --- Printers and records ---

std::ostream& operator<<(std::ostream& os, SwTable::ReconciliationStatus status) {
  switch (status) {
    case SwTable::ReconciliationStatus::none:
      return os << "none";
    case SwTable::ReconciliationStatus::entryMatched:
      return os << "entryMatched";
    case SwTable::ReconciliationStatus::entryMismatched:
      return os << "entryMismatched";
    case SwTable::ReconciliationStatus::entryMissing:
      return os << "entryMissing";
    case SwTable::ReconciliationStatus::entryStale:
      return os << "entryStale";
  }
  return os << static_cast<unsigned>(status);
}

std::vector<Framework::HwTableRequest> Framework::hwTableRequests() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.requests;
}

void Framework::hwTableRequestsClear() {
  std::vector<HwTableRequest> dropped;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    dropped.swap(r.requests);
  }
  // The groups are released outside the lock: their release may reach the
  // registry again.
}

std::vector<Framework::UtilRelease> Framework::utilReleases() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return {r.releases.begin(), r.releases.end()};
}

void Framework::utilReleasesClear() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.releases.clear();
}

}  // namespace Asic
