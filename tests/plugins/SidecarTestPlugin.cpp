// A plug-in for the loader tests: provides for two requests and counts the
// requests it served.
#include "Sidecar/Loader.h"

namespace {

struct Register {
  Register() {
    Sidecar::provide("AsicFeature", "Test::Served",
                     [](Orrin::String const&, Orrin::String const&, Plugin::Loader<void>& record) {
                       record.name += "+served";
                     });
    Sidecar::provide("AsicFeature", "Test::Served",
                     [](Orrin::String const&, Orrin::String const&, Plugin::Loader<void>&) {});
  }
} registerAtLoad;

}  // namespace
