#include "host/IfaHost.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>

#include "Kiva/Entity.h"
#include "Sidecar/Loader.h"
#include "host/ChipPlugin.h"

namespace IfaHost {
namespace {

namespace fs = std::filesystem;
using Sidecar::Core::Loader::Singleton;

// The prefix under which the tables ask for their Utils.
constexpr char kUtilPrefix[] = "AsicFeature";

std::string joined(std::vector<std::string> const& directories) {
  std::string out;
  for (std::string const& d : directories) out += (out.empty() ? "" : ":") + d;
  return out;
}

fs::path directoryOf(fs::path path) {
  path = path.lexically_normal();
  return path.has_filename() ? path : path.parent_path();
}

bool inSearchPath(std::string const& file, std::vector<std::string> const& searchPath) {
  fs::path const dir = fs::path(file).parent_path().lexically_normal();
  for (std::string const& d : searchPath) {
    if (!d.empty() && directoryOf(d) == dir) return true;
  }
  return false;
}

// Why a loaded plug-in is refused, if it is.
std::optional<std::string> refusal(std::string const& file) {
  void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return std::nullopt;  // not loaded: it answers nothing
  auto* const tag = reinterpret_cast<PluginRelease*>(::dlsym(handle, kPluginReleaseSymbol));
  char const* const text = tag ? tag() : nullptr;
  std::optional<std::string> const release =
      text ? std::optional<std::string>(std::string(text, ::strnlen(text, 64))) : std::nullopt;
  ::dlclose(handle);
  std::string const here = "ifa-swtables " + std::string(kRelease);
  if (!release) {
    return "chip plug-in " + file + " refused: it carries no release tag (" + kPluginReleaseSymbol +
           "), this is " + here;
  }
  if (*release != kRelease) {
    return "chip plug-in " + file + " refused: built for ifa-swtables " + *release + ", this is " +
           here;
  }
  return std::nullopt;
}

// Checks the chip plug-ins of the process: those of the search path and any
// other that provides Utils. A plug-in refused keeps no provider.
std::vector<std::string> refuseOtherReleases(std::vector<std::string> const& searchPath) {
  std::vector<std::string> const providing = Singleton::pluginsProviding(kUtilPrefix);
  std::vector<std::string> refused;
  for (std::string const& file : Singleton::pluginsLoaded()) {
    bool const provides = std::find(providing.begin(), providing.end(), file) != providing.end();
    if (!provides && !inSearchPath(file, searchPath)) continue;
    if (std::optional<std::string> why = refusal(file)) {
      Singleton::pluginProvidersDel(file);
      refused.push_back(std::move(*why));
    }
  }
  return refused;
}

std::string where(std::vector<std::string> const& searchPath,
                  std::vector<std::string> const& refused) {
  std::string text = " (search path: " + joined(searchPath) + ")";
  for (std::string const& r : refused) text += "; " + r;
  return text;
}

}  // namespace

std::string pluginDirectory() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void const*>(&pluginDirectory), &info) == 0 ||
      info.dli_fname == nullptr) {
    return {};
  }
  return (fs::path(info.dli_fname).parent_path() / IFA_LIB_TO_PLUGINS).lexically_normal().string();
}

Chip::Chip(std::vector<std::string> const& searchPath) {
  Singleton::searchPathIs(joined(searchPath));
  Singleton::scan();
  refused_ = refuseOtherReleases(searchPath);
  // The library's own requests, when it loaded, may have reached plug-ins
  // refused since: forget what they filed, and ask again.
  Asic::ChipRegistry::clear();
  IfaRuntime::AllTables::forEach([&]<class Table>() {
    using Loader = typename Table::UtilLoader;
    Orrin::Ptr<Orrin::Node> const node = Kiva::Entity::singletonExists(Loader::kQualifiedName);
    auto const* loader = dynamic_cast<Singleton const*>(node.get());
    if (loader == nullptr) {
      throw ChipError("no loader singleton " + std::string(Loader::kQualifiedName));
    }
    Singleton::load(loader->prefixPath(), loader->suffixPath(), nullptr);
  });
  device_ = Asic::ChipRegistry::device();
  if (device_ == nullptr) {
    // A plug-in that answered but could not make the chip says why.
    if (std::string const why = Asic::ChipRegistry::refusal(); !why.empty()) throw ChipError(why);
    throw ChipError("no chip plug-in answered" + where(searchPath, refused_));
  }
  IfaRuntime::AllTables::forEach([&]<class Table>() {
    Orrin::Ptr<Asic::SwTable::Util> const util = Asic::ChipRegistry::utilNew(Table::kQualifiedName);
    auto* typed = dynamic_cast<typename Table::Util*>(util.get());
    if (typed == nullptr) {
      throw ChipError("the chip provides no Util for " + std::string(Table::kQualifiedName) +
                      where(searchPath, refused_));
    }
    std::get<UtilRef<Table>>(utils_) = UtilRef<Table>(typed);
  });
}

TableSet::TableSet(Chip const& chip, std::string const& image, Asic::ChipDevice::Mode mode,
                   std::string const& name)
    : device_(chip.device()) {
  if (device_.attached()) throw std::logic_error("the chip's hardware is attached already");
  device_.attach(image, mode, name);
  try {
    IfaRuntime::AllTables::forEach([&]<class Table>() {
      Orrin::Ptr<Table> table = IfaRuntime::tableNew<Table>();
      Orrin::Ptr<typename Table::Util> const& util = chip.util<Table>();
      table->doCreateHwTable(Orrin::String(Table::kQualifiedName), util->minIndex(),
                             util->maxIndex());
      table->utilIs(util);
      std::get<Orrin::Ptr<Table>>(tables_) = std::move(table);
    });
  } catch (...) {
    release();
    throw;
  }
}

TableSet::~TableSet() {
  release();
}

void TableSet::release() noexcept {
  std::apply([](auto&... table) { ((table ? table->utilIs({}) : void()), ...); }, tables_);
  std::apply([](auto&... table) { (table.reset(), ...); }, tables_);
  device_.detach();
}

}  // namespace IfaHost
