// Sidecar: the platform's plug-in loader.
//
// Plug-ins are shared objects found in the directories of the search path
// (directories separated by ':'; every file ending in ".so" in them is a
// plug-in, loaded in name order): the environment variable
// SIDECAR_PLUGIN_PATH, unless the process set one (searchPathIs).
// A plug-in is loaded once per process, the first time anything asks the
// loader for a plug-in; its static initialisation registers what it provides
// with Sidecar::provide, under a prefix and a suffix. Each request
// (Singleton::load) then runs the providers registered for its prefix and
// suffix, in registration order.
//
// No directory or no plug-in is not an error. A plug-in that fails to load is
// reported once on standard error with the dynamic loader's message.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Orrin/Node.h"
#include "Orrin/String.h"

namespace Plugin {

template <class T>
struct Loader;

// What a loader singleton hands the plug-in loader with each request: the
// runtime type name of the singleton, and the plug-ins that served requests
// through it.
template <>
struct Loader<void> {
  std::string name;
  std::vector<std::string> servedBy;  // plug-in file of each provider run, in order
  unsigned requests = 0;
};

}  // namespace Plugin

namespace Sidecar {

// Runs for one request: gets the prefix, the suffix and the requesting
// singleton's record.
using Provider = std::function<void(Orrin::String const& prefix, Orrin::String const& suffix,
                                    Plugin::Loader<void>& record)>;

// Registers a provider; plug-ins call it from their static initialisation.
void provide(std::string prefix, std::string suffix, Provider provider);

namespace Core::Loader {

struct Request {
  std::string prefix;
  std::string suffix;
  std::string recordName;
  unsigned providersRun;
};

// Base of the loader singletons of a library: an entity that names, through
// prefixPath and suffixPath, the plug-ins it wants.
class Singleton : public Orrin::Node {
 public:
  explicit Singleton(Orrin::String const& name);
  ~Singleton() override;

  Orrin::String const& name() const { return name_; }
  virtual Orrin::String prefixPath() const = 0;
  virtual Orrin::String suffixPath() const = 0;

  // Loads the plug-ins of the search path (once per process) and runs every
  // provider registered for (prefix, suffix). Returns the number run.
  static unsigned load(Orrin::String const& prefix, Orrin::String const& suffix,
                       Plugin::Loader<void>* record);

  // The requests received, in order.
  static std::vector<Request> requests();
  // The plug-in files loaded so far, in load order.
  static std::vector<std::string> pluginsLoaded();
  // Forgets the plug-in scan, so that the next request scans the search path
  // again (plug-ins already loaded stay loaded and are not loaded twice).
  static void rescan();
  // Loads the plug-ins of the search path now, as the next request would.
  static void scan();
  // The directories searched from the next scan on, separated by ':'; without
  // a value, those of SIDECAR_PLUGIN_PATH (the default). Forgets the scan.
  static void searchPathIs(std::optional<std::string> directories);
  // The plug-in files with a provider registered under `prefix`, in load
  // order.
  static std::vector<std::string> pluginsProviding(std::string const& prefix);
  // Forgets the providers that the plug-in `file` registered, so that no
  // request runs them again (a plug-in refused by its host). The plug-in
  // stays loaded.
  static void pluginProvidersDel(std::string const& file);

 private:
  Orrin::String name_;
};

}  // namespace Core::Loader
}  // namespace Sidecar
