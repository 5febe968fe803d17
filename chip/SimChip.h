// The simulated chip: a chip device whose hardware is an ASIC memory image
// (chip/AsicImage.h), and the concrete Util of every table, which writes,
// deletes, compares and reads back the table's rows in the image.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Asic/ChipRegistry.h"
#include "Asic/HwTable.h"
#include "chip/AsicImage.h"
#include "chip/ChipProfile.h"
#include "chip/RowFormat.h"
#include "runtime/IfaSwTableUtil.h"
#include "tables/IfaTables.h"

namespace SimChip {

// The regions of an image of `profile`, one per table in catalogue order,
// sized from each table's entry declaration. Raises std::invalid_argument
// when the profile lacks a table.
inline std::vector<RegionSpec> regionSpecs(ChipProfile const& profile) {
  std::vector<RegionSpec> regions;
  IfaRuntime::AllTables::forEach([&]<class Table>() {
    using Format = RowFormat<typename Table::Entry>;
    TableRange const* r = profile.range(Table::kQualifiedName);
    if (r == nullptr) {
      throw std::invalid_argument("chip profile \"" + std::string(profile.name) + "\" has no " +
                                  std::string(Table::kQualifiedName));
    }
    regions.push_back({std::string(Table::kQualifiedName), r->minIndex, r->maxIndex,
                       static_cast<std::uint16_t>(Format::kBits),
                       static_cast<std::uint16_t>(Format::kBytes)});
  });
  return regions;
}

inline ImageLayout imageLayout(ChipProfile const& profile) {
  return ImageLayout(std::string(profile.name), regionSpecs(profile));
}

class Chip final : public Asic::ChipDevice {
 public:
  // Environment knob of the crash tests: with IFA_CHIP_CRASH_AFTER_WRITES=N
  // (N > 0), the process kills itself (SIGKILL) right after its N-th row
  // write or delete to an image attached in open mode.
  static constexpr char const* kCrashKnob = "IFA_CHIP_CRASH_AFTER_WRITES";
  // Environment knob of the concurrency tests: with
  // IFA_CHIP_PAUSE_AFTER_WRITES=N:MS, the process sleeps MS milliseconds right
  // after its N-th row write or delete to an image attached in open or create
  // mode (an agent slowed half-way through an apply).
  static constexpr char const* kPauseKnob = "IFA_CHIP_PAUSE_AFTER_WRITES";

  explicit Chip(ChipProfile const& profile);

  std::string profileName() const override { return std::string(profile_.name); }
  void attach(std::string const& image, Mode mode, std::string const& name) override;
  void sync() override { image_.sync(); }
  void detach() override;
  bool attached() const override { return image_.isOpen(); }
  std::vector<std::uint8_t> rowBytes(std::string_view table, std::uint32_t index) const override;

  ChipProfile const& profile() const { return profile_; }
  ImageLayout const& layout() const { return image_.layout(); }
  // The region of a table, by qualified name.
  std::size_t regionOf(std::string_view table) const;

  // The row of `index` in `region`; raises std::logic_error without an
  // attached image and std::out_of_range for an index outside the region.
  std::uint8_t const* row(std::size_t region, std::uint32_t index) const;
  // The same row, to be written (see AsicImage::rowToWrite).
  std::uint8_t* rowToWrite(std::size_t region, std::uint32_t index);
  // Counts one row write or delete (see kCrashKnob).
  void rowWritten();
  std::uint64_t rowWrites() const { return rowWrites_; }

 private:
  ChipProfile const& profile_;
  AsicImage image_;
  bool shared_ = false;
  std::uint64_t rowWrites_ = 0;
  std::uint64_t crashAfter_ = 0;
  std::uint64_t pauseAfter_ = 0;
  unsigned pauseMilliseconds_ = 0;
};

// The Util of `Table` on the simulated chip.
template <class Table>
class SimUtil final : public Table::Util {
 public:
  using Entry = typename Table::Entry;
  using Format = RowFormat<Entry>;
  using Index = Asic::SwTableBase::Index;

  explicit SimUtil(Chip& chip)
      : Table::Util(Orrin::String(chip.profileName() + ":" + std::string(Table::kQualifiedName))),
        chip_(chip),
        region_(chip.regionOf(Table::kQualifiedName)),
        spec_(chip.layout().regions[region_]) {}

  std::uint32_t minIndex() const override { return spec_.minIndex; }
  std::uint32_t maxIndex() const override { return spec_.maxIndex; }

  // Writes the packed entry with its valid bit. A key without value holds no
  // entry, so its row is cleared, as a valueless entry occupies no index.
  void hwTableEntryIs(Table const*, Index key, Kiva::Optional<Entry> const& entry) const override {
    std::uint8_t* row = chip_.rowToWrite(region_, key.value);
    if (entry.hasValue()) {
      typename Format::Row const packed = Format::pack(*entry);
      std::memcpy(row, packed.data(), Format::kBytes);
    } else {
      std::memset(row, 0, Format::kBytes);
    }
    chip_.rowWritten();
  }

  void hwTableEntryDel(Table const*, Index key) const override {
    std::memset(chip_.rowToWrite(region_, key.value), 0, Format::kBytes);
    chip_.rowWritten();
  }

  // Tracker 0 of the hardware table refuses an update that breaks its use
  // counts, with an error naming the table, index and operation.
  void updateHwIndexRefCountTracker(Asic::HwTable* hwTable, Index key,
                                    Asic::IndexUserTracker::OpType op) const override {
    Asic::IndexUserTracker::Stub::update(hwTable, 0, key, op);
  }

  // The row matches when it is valid and its bits are those of the entry.
  bool compareHwEntries(Table const*, Index key, Entry const& resolvedEntry) const override {
    std::uint8_t const* row = chip_.row(region_, key.value);
    typename Format::Row const packed = Format::pack(resolvedEntry);
    return std::memcmp(row, packed.data(), Format::kBytes) == 0;
  }

  // Every valid row becomes a synced entry; its index is in use from then
  // on, until a replayed entry claims it or the row is purged.
  void syncEntries(Asic::HwTable* hwTable, Orrin::Ptr<Table> const& swTable) const override {
    for (std::uint64_t i = spec_.minIndex; i <= spec_.maxIndex; ++i) {
      auto const index = static_cast<std::uint32_t>(i);
      std::uint8_t const* row = chip_.row(region_, index);
      if (!Format::valid(row)) continue;
      if (hwTable != nullptr && hwTable->indexUserTracker() != nullptr) {
        hwTable->indexUserTracker()->recover(index);
      }
      swTable->syncedEntryIs(index, Format::unpack(row));
    }
  }

 private:
  Chip& chip_;
  std::size_t region_;
  RegionSpec spec_;
};

}  // namespace SimChip
