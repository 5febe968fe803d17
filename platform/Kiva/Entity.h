// Kiva::Entity: the runtime's named entities, and its singletons among them.
//
// A singleton is an entity of which the process holds one, known by its
// type's qualified name. singletonIs builds it through the type's
// newEntityForDir hook, as the type's registered module names it, and keeps a
// counted reference until singletonsClear (or process exit).
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "Orrin/Node.h"
#include "Orrin/Ptr.h"

namespace Kiva {

class Entity {
 public:
  // The singleton of that qualified type name, or an empty reference.
  static Orrin::Ptr<Orrin::Node> singletonExists(std::string_view name);
  // The singleton of `type`, created through its newEntityForDir hook when
  // there is none yet. Throws std::logic_error when the type has no such hook.
  static Orrin::Ptr<Orrin::Node> singletonIs(Orrin::TypeData type);
  // The runtime type name of an entity: its type's qualified name in its
  // module (empty when the entity reports no module).
  static std::string_view fwkType(Orrin::Node const& entity);
  // The qualified name of a type.
  static std::string_view typeName(Orrin::TypeData type);
  // Drops every singleton reference held (tests and orderly shutdown).
  static void singletonsClear();
};

// Raised when an entity that takes only its name is created with
// construction arguments.
class NewEntityArgsException : public std::invalid_argument {
 public:
  explicit NewEntityArgsException(std::string_view typeName);
  std::string const& typeName() const { return typeName_; }

 private:
  std::string typeName_;
};

[[noreturn]] void throwNewEntityArgsException(Orrin::TypeData type);

namespace GenericIfImpl {

// The runtime's interface of Kiva::Entity, named by the hook table of every
// entity type: how the runtime holds and describes an entity it reaches
// through a plain address.
struct GenericIfPtrInterfaceMethods {
  void (*incUse)(void const* entity);
  void (*decUse)(void const* entity);
  Orrin::TypeData (*typeData)(void const* entity);
};

// The table itself: the platform's one copy (a constant object, so that a
// constant type module can hold its address), and a function giving it.
extern GenericIfPtrInterfaceMethods const kEntityInterface;
GenericIfPtrInterfaceMethods const& entityInterface();

}  // namespace GenericIfImpl
}  // namespace Kiva
