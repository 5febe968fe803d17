// IfaSwTable<Decl>::UtilLoader: the per-table loader singleton through which
// the chip's Util is requested from the plug-in loader, under the prefix
// "AsicFeature" and the table's qualified name.
#pragma once

#include "Kiva/AllocTrack.h"
#include "Orrin/String.h"
#include "Sidecar/Loader.h"
#include "runtime/IfaSwTable.h"
#include "runtime/Names.h"
#include "runtime/SlabAllocated.h"

namespace IfaRuntime {

inline constexpr std::string_view kUtilLoaderSuffix = "::UtilLoader";

template <class Decl>
class IfaSwTable<Decl>::UtilLoader final : public Sidecar::Core::Loader::Singleton {
 public:
  using Table = IfaSwTable<Decl>;
  static constexpr std::string_view kQualifiedName =
      joinNames<Decl::kQualifiedName, kUtilLoaderSuffix>;

  explicit UtilLoader(Orrin::String const& name) : Sidecar::Core::Loader::Singleton(name) {}
  ~UtilLoader() override { nodeFlagSet(kLiveFlag, false); }

  Orrin::String prefixPath() const override { return Orrin::String("AsicFeature"); }
  Orrin::String suffixPath() const override { return Orrin::String(Decl::kQualifiedName); }

  // The loader's type in the table's module (type 2).
  Orrin::TypeData typeData() const override;

  static inline Kiva::AllocTrackTypeInfo memAllocationTracker_{kQualifiedName};
  IFA_SLAB_ALLOCATED(memAllocationTracker_)
};

}  // namespace IfaRuntime
