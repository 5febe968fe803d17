// The record format of a type module: how a library describes its types,
// their attributes and their hooks to the reflective runtime.
//
// All integers are little-endian. The record of a module is nine 32-bit words
// followed (in this implementation, in one block) by the tables they point at.
//
// An address word: an address does not fit a 32-bit word on a 64-bit target,
// so an address word holds the signed 32-bit offset, from the module record,
// of a pointer-sized slot in the same library that holds the address (the
// dynamic linker fills the slots of a constant record as it loads the
// library); 0 names nothing. The runtime reads a word by reading the slot at
// record + offset: TypeModuleRecord::address. Every address word of a record
// names a slot, those of its own parts too, so one rule reads them all, and a
// record is readable whatever the distance to the modules it refers to.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace Kiva {

// Fundamental types, as negative type references.
enum FundamentalType : std::int16_t {
  kTypeNone = -4,
  kTypeU8 = -5,
  kTypeU32 = -9,
  kTypeU64 = -11,
  kTypeBool = -13,
};

struct TypeModuleRecord {
  std::uint32_t typeRecords;
  std::uint32_t attributeRecords;
  std::uint32_t argumentTriples;
  std::uint32_t typeNames;
  std::uint32_t attributeNames;
  std::uint32_t referencedTypes;
  std::uint32_t hookTable;
  std::uint32_t typeCountWord;  // low half: number of types; high half: 1
  std::uint32_t reserved;

  std::uint16_t typeCount() const { return static_cast<std::uint16_t>(typeCountWord & 0xFFFF); }

  // The address an address word names (null for the word 0).
  void const* address(std::uint32_t word) const {
    if (word == 0) return nullptr;
    void const* target;
    std::memcpy(&target, reinterpret_cast<char const*>(this) + static_cast<std::int32_t>(word),
                sizeof target);
    return target;
  }
  template <class T>
  T const* resolve(std::uint32_t word) const {
    return static_cast<T const*>(address(word));
  }
  // The function a hook word names (F a function pointer type).
  template <class F>
  F resolveFunction(std::uint32_t word) const {
    return reinterpret_cast<F>(reinterpret_cast<std::uintptr_t>(address(word)));
  }
};
static_assert(sizeof(TypeModuleRecord) == 36);

struct TypeRecord {
  std::uint16_t flags;        // 0x0001 value type, 0x0100 abstract, 0x0040 always
  std::uint16_t nameWord;     // type-name offset << 6
  std::uint16_t sizeLowWord;  // bits 13-15: size in words mod 8; bits 0-12: 0x0200
  std::uint16_t sizeHigh;     // size in words / 8
  std::uint16_t attributeCount;
  std::uint16_t firstAttribute;
  std::uint16_t ctorArgs;  // index of the first argument triple; 0 for none
  std::uint16_t baseType;  // index into the referenced-type list

  std::uint16_t nameOffset() const { return static_cast<std::uint16_t>(nameWord >> 6); }
  std::uint32_t sizeWords() const { return sizeHigh * 8u + (sizeLowWord >> 13); }
};
static_assert(sizeof(TypeRecord) == 16);

struct AttributeRecord {
  std::uint16_t number;
  std::uint16_t kindAccess;   // low byte kind, high byte access
  std::uint16_t extra;        // two bytes, first in the low byte
  std::uint16_t nameWordLow;  // with nameWordHigh: the attribute-name offset << 11
  std::uint16_t nameWordHigh;
  std::int16_t valueType;  // >= 0: referenced-type index; < 0: FundamentalType
  std::uint16_t zero7;
  std::uint16_t zero8;
  std::uint16_t args;          // index of the first argument triple; 0 for none
  std::int16_t keyType;        // -1 for none
  std::int16_t fieldPosition;  // -1 for none
  std::uint16_t zero12;

  std::uint8_t kind() const { return static_cast<std::uint8_t>(kindAccess & 0xFF); }
  std::uint8_t access() const { return static_cast<std::uint8_t>(kindAccess >> 8); }
  std::uint32_t nameOffset() const {
    return ((static_cast<std::uint32_t>(nameWordHigh) << 16) | nameWordLow) >> 11;
  }
};
static_assert(sizeof(AttributeRecord) == 24);

// Access byte bit of the attributes that the type's inspectOperation serves.
inline constexpr std::uint8_t kAccessInspectable = 0x08;

// The kind and access bytes of one kind of attribute (Kiva/AttributeKinds.def).
struct AttributeKind {
  std::uint8_t kind;
  std::uint8_t access;
  bool function;  // called (operation code 10) rather than read
  std::string_view text;
};
namespace AttrKind {
#define KIVA_ATTR_KIND(Kind, kindByte, accessByte, function, text) \
  inline constexpr AttributeKind Kind{kindByte, accessByte, function, text};
#include "Kiva/AttributeKinds.def"
}  // namespace AttrKind

// Every kind, in the order of Kiva/AttributeKinds.def.
inline constexpr AttributeKind kAttributeKinds[] = {
#define KIVA_ATTR_KIND(Kind, ...) AttrKind::Kind,
#include "Kiva/AttributeKinds.def"
};

// The same kind, as a function the runtime may not call (access byte 0).
constexpr AttributeKind notCallable(AttributeKind k) {
  return {k.kind, 0x00, k.function, k.text};
}

// Whether an attribute of this kind byte is a function.
constexpr bool isFunctionKind(std::uint8_t kind) {
  for (AttributeKind const& k : kAttributeKinds) {
    if (k.kind == kind && k.function) return true;
  }
  return false;
}

// The kind an attribute's kind and access bytes name; null for none.
constexpr AttributeKind const* attributeKindOf(std::uint8_t kind, std::uint8_t access) {
  for (AttributeKind const& k : kAttributeKinds) {
    if (k.kind == kind && (k.access == access || (k.function && access == 0))) return &k;
  }
  return nullptr;
}

struct ArgumentTriple {
  std::uint16_t a;  // name offset / 256
  std::uint16_t b;  // low byte: name offset % 256; bit 0x100: passed as an Optional
  std::uint16_t t;  // offset of the argument type's name in the type-name list

  bool isEnd() const { return a == 0 && b == 0 && t == 0; }
  std::uint32_t nameOffset() const { return a * 256u + (b & 0xFFu); }
  bool optional() const { return (b & 0x100u) != 0; }
};
static_assert(sizeof(ArgumentTriple) == 6);

struct ReferencedType {
  std::uint32_t moduleWord;  // address of the type module (an address word, its own too)
  std::uint32_t type;
};
static_assert(sizeof(ReferencedType) == 8);

// Hooks of one type, in slot order; each an address word, 0 for none.
struct HookRow {
  std::uint32_t newEntityForDir;
  std::uint32_t unused;
  std::uint32_t valueOrEntityInterface;
  std::uint32_t constructFromCtorArgs;
  std::uint32_t inspectOperation;
  std::uint32_t iterator;
};
static_assert(sizeof(HookRow) == 24);

// The NUL-terminated name at `offset` of a name list.
inline std::string_view nameAt(char const* list, std::uint32_t offset) {
  return std::string_view(list + offset);
}

}  // namespace Kiva
