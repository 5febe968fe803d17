// Encodes a type module (the runtime's description of a library's types)
// from a plain description, into storage of the library's own so that every
// address in it is a short offset from the record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "Kiva/TypeModule.h"

namespace Kiva {

struct ArgSpec {
  std::string_view name;
  std::string_view typeName;
  bool optional = false;  // passed as a Kiva::Optional of its type
};

struct AttributeSpec {
  std::uint16_t number;
  std::string_view name;
  std::uint8_t kind;
  std::uint8_t access;
  std::array<std::uint8_t, 2> extra{0, 0};
  std::int16_t valueType;
  std::vector<ArgSpec> args{};
  std::int16_t keyType = -1;
  std::int16_t fieldPosition = -1;
};

struct TypeSpec {
  std::uint16_t flags;
  std::string_view name;
  std::size_t sizeBytes;
  std::vector<AttributeSpec> attributes;
  std::vector<ArgSpec> ctorArgs;
  std::uint16_t baseType;  // index into the referenced-type list
  std::array<void const*, 6> hooks{};
};

struct ReferencedTypeSpec {
  void const* module;  // null: this module
  std::uint32_t type;
};

struct ModuleSpec {
  std::vector<TypeSpec> types;
  std::vector<ReferencedTypeSpec> referencedTypes;
};

// Writes the module into `storage` (8-byte aligned, `capacity` bytes) and
// returns the record at its start. Stops the process with a message naming
// the module when the storage is too small or a name list outgrows its field.
TypeModuleRecord const* encodeTypeModule(ModuleSpec const& spec, std::string_view moduleName,
                                         void* storage, std::size_t capacity);

}  // namespace Kiva
