#include "Kiva/PlatformTypeModules.h"

#include <string_view>
#include <utility>
#include <vector>

#include "Asic/EntryBase.h"
#include "Asic/HwTable.h"
#include "Asic/SwTable.h"
#include "Asic/Types.h"
#include "Kiva/TypeModuleEncoder.h"
#include "Kiva/UintTypes.h"
#include "Sidecar/Loader.h"

// The records' storage.
#define KIVA_PLATFORM_MODULE_STORAGE(Module, id) \
  alignas(8) unsigned char _##Module##_##id##_kivaModule[Kiva::PlatformTypeModules::kStorageBytes];
KIVA_PLATFORM_MODULES(KIVA_PLATFORM_MODULE_STORAGE)
#undef KIVA_PLATFORM_MODULE_STORAGE

namespace Kiva::PlatformTypeModules {
namespace {

// A module of plain types (no attributes, no hooks), in type-number order.
// Each type is its own base (referenced type 0 stands for "none" here).
TypeModuleRecord const& encodePlain(unsigned char* storage, std::string_view module,
                                    std::vector<std::pair<std::string_view, std::size_t>> types) {
  ModuleDescription described;
  for (auto const& [name, size] : types) {
    std::size_t const words = (size + 3) / 4 * 4;
    described.types.push_back({0x0040, name, words, {}, {}, 0, {}});
  }
  described.referencedTypes = {{kThisModule, 0}};
  return *encodeTypeModule(described, SlotTargets{}, module, storage, kStorageBytes);
}

}  // namespace

TypeModuleRecord const& loader() {
  static TypeModuleRecord const& r =
      encodePlain(kLoader, "Loader",
                  {{"Sidecar::Core::Loader", 4},
                   {"Sidecar::Core::Loader::Singleton", sizeof(Sidecar::Core::Loader::Singleton)}});
  return r;
}

TypeModuleRecord const& entryBlock() {
  static TypeModuleRecord const& r =
      encodePlain(kEntryBlock, "EntryBlock",
                  {{"Asic::EntryBlock", 4}, {"Asic::EntryBase", sizeof(Asic::EntryBase)}});
  return r;
}

TypeModuleRecord const& index() {
  static TypeModuleRecord const& r =
      encodePlain(kIndex, "Index", {{"Asic::Index", sizeof(Asic::Index)}});
  return r;
}

TypeModuleRecord const& swTable() {
  static TypeModuleRecord const& r = encodePlain(
      kSwTable, "SwTable",
      {{"Asic::SwTable", sizeof(Asic::SwTable)},
       {"Asic::SwTable::ReconciliationStatistics", sizeof(Asic::SwTable::ReconciliationStatistics)},
       {"Asic::SwTable::ReconciliationStatus", 4},
       {"Asic::HwTable", sizeof(Asic::HwTable)},
       {"Asic::IndexUserTracker", sizeof(Asic::IndexUserTracker)},
       {"Asic::IndexUserTracker::OpType", 4},
       {"Asic::SwTable::Util", sizeof(Asic::SwTable::Util)},
       {"Asic::HwTableRecoverGroup", sizeof(Asic::HwTableRecoverGroup)},
       {"Asic::ChipInfo", sizeof(Asic::ChipInfo)},
       {"Asic::UnitId", 4},
       {"Asic::SwTableBase::EntryState", 4},
       {"Asic::SwTableBase::EntryHandle", sizeof(Asic::SwTableBase::EntryHandle)},
       {"Asic::Framework", 4},
       {"Asic::SwTableBase", sizeof(Asic::SwTableBase)},
       {"Asic::SwKnownIndexTable", sizeof(Asic::SwKnownIndexTable)}});
  return r;
}

TypeModuleRecord const& swTableBase() {
  static TypeModuleRecord const& r =
      encodePlain(kSwTableBase, "SwTableBase",
                  {{"Asic::SwTableBase", sizeof(Asic::SwTableBase)},
                   {"Asic::SwTableBase::EntryHandle", sizeof(Asic::SwTableBase::EntryHandle)},
                   {"Asic::SwTableBase::Index", sizeof(Asic::SwTableBase::Index)}});
  return r;
}

TypeModuleRecord const& uintTypes() {
  static TypeModuleRecord const& r = encodePlain(kUintTypes, "UintTypes",
                                                 {{"Kiva::U1", 4},
                                                  {"Kiva::U2", 4},
                                                  {"Kiva::U3", 4},
                                                  {"Kiva::U4", 4},
                                                  {"Kiva::U5", 4},
                                                  {"Kiva::U6", 4}});
  return r;
}

namespace {

// Every record is encoded when the platform loads, before the libraries
// whose records name them.
[[maybe_unused]] bool const encodedAtLoad =
    (loader(), entryBlock(), index(), swTable(), swTableBase(), uintTypes(), true);

}  // namespace

}  // namespace Kiva::PlatformTypeModules
