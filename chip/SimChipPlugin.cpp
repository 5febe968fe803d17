// The simulated chip's plug-in. When it loads, it registers a provider for
// every table of the catalogue under the prefix "AsicFeature" and the table's
// qualified name; a table's request files the chip device and the table's
// Util factory with the framework's chip registry, where the agent finds them.
#include <memory>
#include <string>

#include "Asic/ChipRegistry.h"
#include "Sidecar/Loader.h"
#include "chip/SimChip.h"

namespace {

// The chip of the profile IFA_CHIP_PROFILE names, made on the first request;
// null when that profile does not exist, with the reason in `why`.
struct Made {
  SimChip::Chip* chip = nullptr;
  std::string why;
};
Made const& chip() {
  static Made const made = []() -> Made {
    try {
      return {new SimChip::Chip(SimChip::profileFromEnvironment()), {}};
    } catch (std::exception const& e) {
      return {nullptr, std::string("IFA_CHIP_PROFILE: ") + e.what()};
    }
  }();
  return made;
}

struct RegisterAtLoad {
  RegisterAtLoad() {
    IfaRuntime::AllTables::forEach([]<class Table>() {
      Sidecar::provide(
          "AsicFeature", std::string(Table::kQualifiedName),
          [](Orrin::String const&, Orrin::String const& suffix, Plugin::Loader<void>&) {
            SimChip::Chip* c = chip().chip;
            if (c == nullptr) {
              Asic::ChipRegistry::refusalIs(chip().why);  // the agent reports it
              return;
            }
            Asic::ChipRegistry::deviceIs(c);
            Asic::ChipRegistry::utilFactoryIs(suffix.str(), [c] {
              return Orrin::Ptr<Asic::SwTable::Util>(new SimChip::SimUtil<Table>(*c));
            });
          });
    });
  }
} registerAtLoad;

}  // namespace
