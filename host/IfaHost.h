// The host of the tables: what every program that embeds them does besides
// its own work, in two classes.
//
//  - IfaHost::Chip finds the chip. It loads the chip plug-ins from a search
//    path, refuses those built for another release (host/ChipPlugin.h), and
//    has each table's UtilLoader ask for the table's Util; the plug-in that
//    answers files its chip device and a Util factory per table in the chip
//    registry (Asic/ChipRegistry.h), from which the Chip takes one Util per
//    table. The plug-in makes every Util; the host never does.
//  - IfaHost::TableSet is one run over the chip's hardware: the hardware
//    attached, and the fourteen tables created through their factories, each
//    with its hardware table and the chip's Util. When it goes, on an error
//    path too, the Utils are detached before the tables, so that the tables'
//    teardown leaves the rows in hardware for the next run, and then the
//    hardware is detached.
//
// The host reads no file and no setting of its own: the search path and the
// image are the caller's. pluginDirectory() names the plug-in directory
// installed with the library, which is searched only when the caller passes
// it.
//
// The plug-in loader and the chip registry are the process's: construct one
// Chip at a time. examples/embed/main.cpp shows a cold start and a warm
// restart through the host.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Asic/ChipRegistry.h"
#include "IfaSwTablesVersion.h"
#include "Orrin/Ptr.h"
#include "tables/IfaTables.h"

namespace IfaHost {

// The release of the library; a chip plug-in must carry this tag.
inline constexpr std::string_view kRelease = IFA_SWTABLES_VERSION;

// The chip plug-in directory installed with the library: ifa-swtables/
// chip-plugins beside the host library's own file, wherever the installed
// tree was moved.
std::string pluginDirectory();

// No usable chip: no plug-in answered, or a table has no Util. The message
// names the search path and each plug-in refused.
class ChipError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Chip {
 public:
  // Loads the plug-ins of the directories of `searchPath`, in order, and
  // takes the chip's device and a Util for every table from the one that
  // answers. Raises ChipError.
  explicit Chip(std::vector<std::string> const& searchPath);
  Chip(Chip const&) = delete;
  Chip& operator=(Chip const&) = delete;

  Asic::ChipDevice& device() const { return *device_; }
  std::string profileName() const { return device_->profileName(); }
  // The chip's Util of Table, made by the plug-in.
  template <class Table>
  Orrin::Ptr<typename Table::Util> const& util() const {
    return std::get<UtilRef<Table>>(utils_);
  }
  // One message per chip plug-in refused, naming the file and the releases.
  std::vector<std::string> const& refused() const { return refused_; }

 private:
  template <class Table>
  using UtilRef = Orrin::Ptr<typename Table::Util>;

  Asic::ChipDevice* device_ = nullptr;
  IfaRuntime::AllTables::Tuple<UtilRef> utils_;
  std::vector<std::string> refused_;
};

// One run over the chip's hardware. One at a time per chip; the Chip outlives
// it.
class TableSet {
 public:
  // Attaches the hardware (`image`, in `mode`; what the device raises on
  // failure goes on, with nothing left attached), then creates the tables.
  // The device's messages name the image as `name` (default: `image`).
  TableSet(Chip const& chip, std::string const& image, Asic::ChipDevice::Mode mode,
           std::string const& name = {});
  ~TableSet();
  TableSet(TableSet const&) = delete;
  TableSet& operator=(TableSet const&) = delete;

  template <class Table>
  Table& table() const {
    return *std::get<Orrin::Ptr<Table>>(tables_);
  }
  // Makes the run's writes durable (raises Asic::ChipDevice::IoError).
  void sync() { device_.sync(); }

 private:
  void release() noexcept;

  Asic::ChipDevice& device_;
  IfaRuntime::AllTables::Tuple<Orrin::Ptr> tables_;
};

}  // namespace IfaHost
