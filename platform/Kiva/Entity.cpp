#include "Kiva/Entity.h"

#include <map>
#include <mutex>
#include <string>

#include "Kiva/TypeModule.h"
#include "Orrin/Inspect.h"

namespace Kiva {
namespace {

struct Singletons {
  std::recursive_mutex mutex;
  std::map<std::string, Orrin::Ptr<Orrin::Node>, std::less<>> byName;
};

Singletons& singletons() {
  static Singletons* s = new Singletons;  // outlives the statics that release into it
  return *s;
}

TypeRecord const& typeRecord(Orrin::TypeData type) {
  auto const* m = static_cast<TypeModuleRecord const*>(type.module);
  return m->resolve<TypeRecord>(m->typeRecords)[type.type];
}

}  // namespace

std::string_view Entity::typeName(Orrin::TypeData type) {
  if (type.module == nullptr) return {};
  auto const* m = static_cast<TypeModuleRecord const*>(type.module);
  return nameAt(m->resolve<char>(m->typeNames), typeRecord(type).nameOffset());
}

Orrin::Ptr<Orrin::Node> Entity::singletonExists(std::string_view name) {
  Singletons& s = singletons();
  std::lock_guard lock(s.mutex);
  auto it = s.byName.find(name);
  return it == s.byName.end() ? Orrin::Ptr<Orrin::Node>() : it->second;
}

Orrin::Ptr<Orrin::Node> Entity::singletonIs(Orrin::TypeData type) {
  std::string const name(typeName(type));
  Singletons& s = singletons();
  std::lock_guard lock(s.mutex);
  if (auto it = s.byName.find(name); it != s.byName.end()) return it->second;
  auto const* m = static_cast<TypeModuleRecord const*>(type.module);
  std::uint32_t const word = m->resolve<HookRow>(m->hookTable)[type.type].newEntityForDir;
  if (word == 0) {
    throw std::logic_error("Kiva::Entity::singletonIs: type " + name +
                           " has no newEntityForDir hook");
  }
  auto const hook = m->resolveFunction<Orrin::Inspect::NewEntityForDirFn>(word);
  Orrin::Ptr<Orrin::Node> made(hook(Orrin::String(name), nullptr));
  s.byName.emplace(name, made);
  return made;
}

std::string_view Entity::fwkType(Orrin::Node const& entity) {
  return typeName(entity.typeData());
}

void Entity::singletonsClear() {
  Singletons& s = singletons();
  std::map<std::string, Orrin::Ptr<Orrin::Node>, std::less<>> dropped;
  {
    std::lock_guard lock(s.mutex);
    dropped.swap(s.byName);
  }
}

NewEntityArgsException::NewEntityArgsException(std::string_view typeName)
    : std::invalid_argument("cannot create " + std::string(typeName) +
                            " with construction arguments: it takes only its name"),
      typeName_(typeName) {}

void throwNewEntityArgsException(Orrin::TypeData type) {
  throw NewEntityArgsException(Entity::typeName(type));
}

namespace GenericIfImpl {

constinit GenericIfPtrInterfaceMethods const kEntityInterface{
    [](void const* e) { static_cast<Orrin::Node const*>(e)->incUse(); },
    [](void const* e) { static_cast<Orrin::Node const*>(e)->decUse(); },
    [](void const* e) { return static_cast<Orrin::Node const*>(e)->typeData(); },
};

GenericIfPtrInterfaceMethods const& entityInterface() {
  return kEntityInterface;
}

}  // namespace GenericIfImpl
}  // namespace Kiva
