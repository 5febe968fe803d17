// The simulated chip's plug-in. When it loads, it registers a provider for
// every table of the catalogue under the prefix "AsicFeature" and the table's
// qualified name; a table's request files the chip device and the table's
// Util factory with the framework's chip registry, where the agent finds them.
#include <iostream>
#include <memory>
#include <string>

#include "Asic/ChipRegistry.h"
#include "Sidecar/Loader.h"
#include "chip/SimChip.h"

namespace {

// The chip of the profile IFA_CHIP_PROFILE names, made on the first request;
// null (and reported once) when that profile does not exist.
SimChip::Chip* chip() {
  static SimChip::Chip* const instance = []() -> SimChip::Chip* {
    try {
      return new SimChip::Chip(SimChip::profileFromEnvironment());
    } catch (std::exception const& e) {
      std::cerr << "simulated chip: " << e.what() << '\n';
      return nullptr;
    }
  }();
  return instance;
}

struct RegisterAtLoad {
  RegisterAtLoad() {
    IfaRuntime::AllTables::forEach([]<class Table>() {
      Sidecar::provide(
          "AsicFeature", std::string(Table::kQualifiedName),
          [](Orrin::String const&, Orrin::String const& suffix, Plugin::Loader<void>&) {
            SimChip::Chip* c = chip();
            if (c == nullptr) return;
            Asic::ChipRegistry::deviceIs(c);
            Asic::ChipRegistry::utilFactoryIs(suffix.str(), [c] {
              return Orrin::Ptr<Asic::SwTable::Util>(new SimChip::SimUtil<Table>(*c));
            });
          });
    });
  }
} registerAtLoad;

}  // namespace
