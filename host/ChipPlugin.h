// What a chip plug-in declares so that a host (host/IfaHost.h) loads it: the
// release of ifa-swtables it was built for. A plug-in's Utils derive from the
// classes of the release it was built with, whose layout may change from one
// release to the next, so the host refuses a plug-in whose tag names another
// release, or that carries none.
//
// One source file of the plug-in says, at namespace scope:
//
//     IFA_CHIP_PLUGIN_RELEASE(IFA_SWTABLES_VERSION);
#pragma once

#include "IfaSwTablesVersion.h"

namespace IfaHost {

// The symbol of the tag in a plug-in: a function giving the release, "0.2.0".
// A function, not a variable: every chip plug-in defines it, and plug-ins
// share one symbol namespace, where variables of one name but different
// sizes would clash.
inline constexpr char kPluginReleaseSymbol[] = "ifaSwTablesChipPluginRelease";
using PluginRelease = char const*();

}  // namespace IfaHost

#define IFA_CHIP_PLUGIN_RELEASE(release)                                                 \
  extern "C" [[gnu::visibility("default")]] char const* ifaSwTablesChipPluginRelease() { \
    return release;                                                                      \
  }                                                                                      \
  static_assert(true)
