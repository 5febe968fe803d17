#include "Sidecar/Loader.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <set>

namespace Sidecar {
namespace {

struct Registration {
  std::string prefix;
  std::string suffix;
  Provider provider;
  std::string plugin;  // the file being loaded when it registered, if any
};

struct State {
  std::recursive_mutex mutex;
  std::vector<Registration> registrations;
  std::vector<Core::Loader::Request> requests;
  std::vector<std::string> loaded;
  std::set<std::string> attempted;  // loaded or failed: never tried twice
  std::string loading;
  bool scanned = false;
  std::optional<std::string> searchPath;  // instead of SIDECAR_PLUGIN_PATH
};

State& state() {
  static State* s = new State;  // never destroyed: plug-ins may register at exit
  return *s;
}

std::vector<std::string> pluginFiles(State const& s) {
  std::vector<std::string> files;
  char const* path = s.searchPath ? s.searchPath->c_str() : std::getenv("SIDECAR_PLUGIN_PATH");
  if (path == nullptr) return files;
  std::string_view rest(path);
  while (!rest.empty()) {
    std::size_t const colon = rest.find(':');
    std::string const dir(rest.substr(0, colon));
    rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
    if (dir.empty()) continue;
    std::error_code ec;
    std::vector<std::string> here;
    for (auto const& e : std::filesystem::directory_iterator(dir, ec)) {
      if (e.path().extension() == ".so") here.push_back(e.path().string());
    }
    std::sort(here.begin(), here.end());
    files.insert(files.end(), here.begin(), here.end());
  }
  return files;
}

void scanLocked(State& s) {
  if (s.scanned) return;
  s.scanned = true;
  for (std::string const& file : pluginFiles(s)) {
    if (!s.attempted.insert(file).second) continue;
    s.loading = file;
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_GLOBAL);
    s.loading.clear();
    if (handle == nullptr) {
      char const* why = dlerror();
      std::cerr << "Sidecar: cannot load plug-in " << file << ": " << (why ? why : "unknown error")
                << '\n';
      continue;
    }
    s.loaded.push_back(file);
  }
}

}  // namespace

void provide(std::string prefix, std::string suffix, Provider provider) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.registrations.push_back({std::move(prefix), std::move(suffix), std::move(provider), s.loading});
}

namespace Core::Loader {

Singleton::Singleton(Orrin::String const& name) : name_(name) {}

Singleton::~Singleton() {
  nodeFlagSet(kLiveFlag, false);
}

unsigned Singleton::load(Orrin::String const& prefix, Orrin::String const& suffix,
                         Plugin::Loader<void>* record) {
  State& s = state();
  std::vector<Registration> matching;
  {
    std::lock_guard lock(s.mutex);
    scanLocked(s);
    for (auto const& r : s.registrations) {
      if (r.prefix == prefix.view() && r.suffix == suffix.view()) matching.push_back(r);
    }
    s.requests.push_back({prefix.str(), suffix.str(), record ? record->name : std::string(),
                          static_cast<unsigned>(matching.size())});
  }
  Plugin::Loader<void> scratch;
  Plugin::Loader<void>& rec = record != nullptr ? *record : scratch;
  ++rec.requests;
  for (auto const& r : matching) {
    r.provider(prefix, suffix, rec);
    rec.servedBy.push_back(r.plugin);
  }
  return static_cast<unsigned>(matching.size());
}

std::vector<Request> Singleton::requests() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  return s.requests;
}

std::vector<std::string> Singleton::pluginsLoaded() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  return s.loaded;
}

void Singleton::rescan() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.scanned = false;
}

void Singleton::scan() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  scanLocked(s);
}

void Singleton::searchPathIs(std::optional<std::string> directories) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.searchPath = std::move(directories);
  s.scanned = false;
}

std::vector<std::string> Singleton::pluginsProviding(std::string const& prefix) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  std::vector<std::string> files;
  for (std::string const& file : s.loaded) {
    if (std::any_of(s.registrations.begin(), s.registrations.end(), [&](Registration const& r) {
          return r.plugin == file && r.prefix == prefix;
        })) {
      files.push_back(file);
    }
  }
  return files;
}

void Singleton::pluginProvidersDel(std::string const& file) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  std::erase_if(s.registrations, [&](Registration const& r) { return r.plugin == file; });
}

}  // namespace Core::Loader
}  // namespace Sidecar
