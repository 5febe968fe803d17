// The reflection hooks of a table module's four types, as Orrin::HideMe
// specialisations, and the hook rows that its type module names.
#pragma once

#include <array>
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "Kiva/Entity.h"
#include "Kiva/TypeModuleEncoder.h"
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

// The hooks of a module's four types (Entry 0, Util 1, UtilLoader 2, the
// table 3), each row in slot order: newEntityForDir, (empty), value
// operations or the entity interface, construction from arguments,
// inspectOperation, iterator; nullptr where the type has no such hook. The
// module's record names them through its slots (runtime/TableModuleImpl.h).
template <class Decl>
struct IFA_LIBRARY_LOCAL ModuleHooks {
  using E = EntryReflection<typename Decl::Entry>;
  using U = UtilReflection<Decl>;
  using L = UtilLoaderReflection<Decl>;
  using T = TableReflection<Decl>;
  static constexpr auto const* kEntity = &Kiva::GenericIfImpl::kEntityInterface;

  static constexpr auto rows() {
    return std::tuple{
        std::tuple{nullptr, nullptr, &E::kValueOperations, &E::genericIfConstructFromCtorArgs,
                   &E::inspectOperation, nullptr},
        std::tuple{nullptr, nullptr, kEntity, nullptr, &U::inspectOperation, nullptr},
        std::tuple{&L::newEntityForDir, nullptr, kEntity, nullptr, &L::inspectOperation, nullptr},
        std::tuple{nullptr, nullptr, kEntity, &T::genericIfConstructFromCtorArgs,
                   &T::inspectOperation, &T::genericIfIterator}};
  }
  template <std::size_t Type, std::size_t Slot>
  static constexpr auto target() {
    return std::get<Slot>(std::get<Type>(rows()));
  }
  // Which slots each type fills.
  template <std::size_t Type, std::size_t... Slot>
  static constexpr std::array<bool, Kiva::kHookSlots> presentIn(std::index_sequence<Slot...>) {
    return {!std::is_null_pointer_v<decltype(target<Type, Slot>())>...};
  }
  static constexpr std::array<std::array<bool, Kiva::kHookSlots>, 4> present() {
    constexpr auto slots = std::make_index_sequence<Kiva::kHookSlots>();
    return {presentIn<0>(slots), presentIn<1>(slots), presentIn<2>(slots), presentIn<3>(slots)};
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
