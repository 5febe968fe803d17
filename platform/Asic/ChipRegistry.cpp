#include "Asic/ChipRegistry.h"

#include <map>
#include <mutex>

namespace Asic {
namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, ChipRegistry::UtilFactory, std::less<>> factories;
  ChipDevice* device = nullptr;
  std::string refusal;
};

Registry& registry() {
  static Registry* r = new Registry;  // plug-ins may file at exit
  return *r;
}

}  // namespace

void ChipRegistry::utilFactoryIs(std::string qualifiedTableName, UtilFactory factory) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.factories[std::move(qualifiedTableName)] = std::move(factory);
}

Orrin::Ptr<SwTable::Util> ChipRegistry::utilNew(std::string_view qualifiedTableName) {
  UtilFactory factory;
  {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto const it = r.factories.find(qualifiedTableName);
    if (it == r.factories.end()) return {};
    factory = it->second;
  }
  return factory();
}

std::vector<std::string> ChipRegistry::tables() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  std::vector<std::string> out;
  for (auto const& entry : r.factories) out.push_back(entry.first);
  return out;
}

void ChipRegistry::deviceIs(ChipDevice* device) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.device = device;
}

ChipDevice* ChipRegistry::device() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  return r.device;
}

void ChipRegistry::refusalIs(std::string why) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.refusal = std::move(why);
}

std::string ChipRegistry::refusal() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  return r.refusal;
}

void ChipRegistry::clear() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.factories.clear();
  r.device = nullptr;
  r.refusal.clear();
}

}  // namespace Asic
