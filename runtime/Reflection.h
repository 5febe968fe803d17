// The reflection hooks of a table module's four types, as Orrin::HideMe
// specialisations, and the hook rows that its type module names.
#pragma once

#include <array>
#include <type_traits>

#include "Kiva/Entity.h"
#include "Orrin/Inspect.h"
#include "runtime/EntryReflection.h"
#include "runtime/TableReflection.h"
#include "runtime/UtilReflection.h"

namespace IfaRuntime {

template <class T>
concept ReflectedTable = requires {
  typename T::Declaration;
}
&&std::is_same_v<T, IfaSwTable<typename T::Declaration>>;
template <class T>
concept ReflectedUtil = requires {
  typename T::Table;
}
&&ReflectedTable<typename T::Table>&& std::is_same_v<T, typename T::Table::Util>;
template <class T>
concept ReflectedUtilLoader = requires {
  typename T::Table;
}
&&ReflectedTable<typename T::Table>&& std::is_same_v<T, typename T::Table::UtilLoader>;
template <class T>
concept ReflectedEntry = std::is_base_of_v<Asic::EntryBase, T> && requires {
  T::fields();
};

template <class F>
void const* hook(F f) {
  return reinterpret_cast<void const*>(f);
}

// Hook rows in slot order: newEntityForDir, (empty), value operations or the
// entity interface, construction from arguments, inspectOperation, iterator.
template <class Decl>
struct IFA_LIBRARY_LOCAL ModuleHooks {
  using Table = IfaSwTable<Decl>;
  using E = EntryReflection<typename Decl::Entry>;
  using T = TableReflection<Decl>;
  static std::array<void const*, 6> entry() {
    return {nullptr,
            nullptr,
            &E::kValueOperations,
            hook(&E::genericIfConstructFromCtorArgs),
            hook(&E::inspectOperation),
            nullptr};
  }
  static std::array<void const*, 6> util() {
    return {nullptr,
            nullptr,
            &Kiva::GenericIfImpl::entityInterface(),
            nullptr,
            hook(&UtilReflection<Decl>::inspectOperation),
            nullptr};
  }
  static std::array<void const*, 6> utilLoader() {
    return {hook(&UtilLoaderReflection<Decl>::newEntityForDir),
            nullptr,
            &Kiva::GenericIfImpl::entityInterface(),
            nullptr,
            hook(&UtilLoaderReflection<Decl>::inspectOperation),
            nullptr};
  }
  static std::array<void const*, 6> table() {
    return {nullptr,
            nullptr,
            &Kiva::GenericIfImpl::entityInterface(),
            hook(&T::genericIfConstructFromCtorArgs),
            hook(&T::inspectOperation),
            hook(&T::genericIfIterator)};
  }
};

}  // namespace IfaRuntime

namespace Orrin {

template <class T>
requires IfaRuntime::ReflectedTable<T>
struct HideMe<T> : IfaRuntime::TableReflection<typename T::Declaration> {
};

template <class T>
requires IfaRuntime::ReflectedEntry<T>
struct HideMe<T> : IfaRuntime::EntryReflection<T> {
};

template <class T>
requires IfaRuntime::ReflectedUtil<T>
struct HideMe<T> : IfaRuntime::UtilReflection<typename T::Table::Declaration> {
};

template <class T>
requires IfaRuntime::ReflectedUtilLoader<T>
struct HideMe<T> : IfaRuntime::UtilLoaderReflection<typename T::Table::Declaration> {
};

}  // namespace Orrin
