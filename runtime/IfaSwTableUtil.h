// IfaSwTable<Decl>::Util: the contract between the engine and the chip. The
// library never creates one: a chip plug-in derives from it, defines the seven
// abstract operations, and the framework attaches it to the table.
#pragma once

#include <cstdint>

#include "Asic/SwTable.h"
#include "Kiva/Optional.h"
#include "Orrin/Ptr.h"
#include "Orrin/String.h"
#include "runtime/IfaSwTable.h"
#include "runtime/Names.h"
#include "runtime/SlabAllocated.h"

namespace IfaRuntime {

template <class Decl>
class IfaSwTable<Decl>::Util : public Asic::SwTable::Util {
 public:
  using Table = IfaSwTable<Decl>;
  using Entry = typename Decl::Entry;

  explicit Util(Orrin::String const& name) : Asic::SwTable::Util(name) {}
  ~Util() override { nodeFlagSet(kLiveFlag, false); }

  // Lowest and highest index of the hardware table.
  virtual std::uint32_t minIndex() const = 0;
  virtual std::uint32_t maxIndex() const = 0;
  // No table here declares dependent fields: a value is its own index.
  virtual Asic::Index dependentFieldValueToHwIndex(Asic::Index dependentField) const {
    return dependentField;
  }
  // Writes the row of `key` from `entry`, the key's resolved value (empty
  // when the key holds none).
  virtual void hwTableEntryIs(Table const* swTable, Index key,
                              Kiva::Optional<Entry> const& entry) const = 0;
  // Deletes the row of `key`.
  virtual void hwTableEntryDel(Table const* swTable, Index key) const = 0;
  // Reports one use change of hardware index `key` to the tracker of `hwTable`.
  virtual void updateHwIndexRefCountTracker(
      Asic::HwTable* hwTable, Index key, Asic::IndexUserTracker::OpType updateOperation) const = 0;
  // Whether the row of `key`, as held in the table's synced entries, already
  // matches `resolvedEntry`. Called only for keys that have a synced entry.
  virtual bool compareHwEntries(Table const* swTable, Index key,
                                Entry const& resolvedEntry) const = 0;
  // Reads every row of `hwTable` back into the synced entries of `swTable`.
  virtual void syncEntries(Asic::HwTable* hwTable, Orrin::Ptr<Table> const& swTable) const = 0;
  virtual Asic::Index hwIndexForDependentField(
      Orrin::Ptr<Asic::SwTableBase::EntryHandle const> const& hdl) const {
    return Asic::SwTableBase::getHwEntryIndex(hdl);
  }

  // The Util's type in the table's module (type 1).
  Orrin::TypeData typeData() const override;

  static constexpr std::string_view kUtilSuffix = "::Util";
  static constexpr std::string_view kQualifiedName = joinNames<Decl::kQualifiedName, kUtilSuffix>;
  // Reports every Util of the table, the plug-in's derived classes included.
  static inline Kiva::AllocTrackTypeInfo memAllocationTracker_{kQualifiedName};
  IFA_SLAB_ALLOCATED(memAllocationTracker_)

  static Asic::Index getHwIndex(Orrin::Ptr<Asic::SwTableBase::EntryHandle const> const& hdl) {
    return Asic::SwTableBase::getHwEntryIndex(hdl);
  }
};

}  // namespace IfaRuntime
