// Encodes a type module (the runtime's description of a library's types)
// from a plain description.
//
// encodeModule does the work at compile time or at run time alike: it gives
// the record's bytes and the list of slots its address words name, without
// knowing any address. The bytes are the record (Kiva/TypeModule.h), then,
// 8-byte aligned, one pointer-sized slot per distinct target: each address
// word holds the offset of its slot from the record. A library that declares
// its module as one constant object (the bytes, then the slots initialised
// with the targets' addresses) gets a record that the static linker fixes and
// the dynamic linker completes, in read-only memory after relocation, whatever
// the distance to the modules it refers to. encodeTypeModule does the same at
// run time into storage of the caller's.
#pragma once

#include <algorithm>
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

// The hook slots of a type, in slot order (Kiva/TypeModule.h HookRow).
inline constexpr std::size_t kHookSlots = 6;

struct TypeSpec {
  std::uint16_t flags;
  std::string_view name;
  std::size_t sizeBytes;
  std::vector<AttributeSpec> attributes;
  std::vector<ArgSpec> ctorArgs;
  std::uint16_t baseType;                // index into the referenced-type list
  std::array<bool, kHookSlots> hooks{};  // the hook slots the type fills
};

// A referenced type: a type of this module (module kThisModule) or of the
// module numbered `module` among those the caller supplies.
inline constexpr std::uint32_t kThisModule = 0xFFFFFFFF;
struct ReferencedTypeSpec {
  std::uint32_t module;
  std::uint32_t type;
};

struct ModuleDescription {
  std::vector<TypeSpec> types;
  std::vector<ReferencedTypeSpec> referencedTypes;
};

// What one slot holds: an address inside the record (kSection, at byte
// `first`), hook `second` of type `first` (kHook), or the record of module
// number `first` (kModule).
struct Slot {
  enum Kind : std::uint8_t { kSection, kHook, kModule };
  Kind kind;
  std::uint32_t first;
  std::uint32_t second;
  constexpr bool operator==(Slot const&) const = default;
};

// Why a module did not encode: a fixed reason and the name it concerns (a
// type's name, or empty). Views of the module description and of literals,
// so that the encoder needs no std::string, which not every compiler can
// evaluate at compile time.
struct EncodeError {
  std::string_view reason;  // empty when the module encoded
  std::string_view subject;
  constexpr bool empty() const { return reason.empty(); }
};

struct EncodedModule {
  std::vector<std::uint8_t> bytes;  // the record, up to the slots
  std::vector<Slot> slots;          // from byte bytes.size() on, 8 bytes each
  EncodeError error;
};

namespace encoder {

// A sorted list of distinct names, NUL-separated.
struct NameList {
  std::vector<std::string_view> names;
  std::vector<std::uint32_t> offsets;
  std::vector<char> bytes;

  constexpr explicit NameList(std::vector<std::string_view> all) : names(std::move(all)) {
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    for (std::string_view n : names) {
      offsets.push_back(static_cast<std::uint32_t>(bytes.size()));
      bytes.insert(bytes.end(), n.begin(), n.end());
      bytes.push_back('\0');
    }
  }
  constexpr std::uint32_t at(std::string_view n) const {
    auto const it = std::lower_bound(names.begin(), names.end(), n);
    return offsets[static_cast<std::size_t>(it - names.begin())];
  }
};

// Little-endian output with words patched to slot offsets at the end.
class Writer {
 public:
  constexpr std::size_t size() const { return bytes_.size(); }
  constexpr void align(std::size_t to) {
    while (bytes_.size() % to != 0) bytes_.push_back(0);
  }
  constexpr void u16(std::uint32_t v) {
    bytes_.push_back(static_cast<std::uint8_t>(v & 0xFF));
    bytes_.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
  }
  constexpr void u32(std::uint32_t v) {
    u16(v & 0xFFFF);
    u16(v >> 16);
  }
  constexpr void text(std::vector<char> const& s) {
    for (char c : s) bytes_.push_back(static_cast<std::uint8_t>(c));
  }
  // A 32-bit address word naming `slot` (a slot of the same target is
  // shared); at byte `at` when given, else appended.
  constexpr void word(Slot slot, std::size_t at) {
    auto it = std::find(slots_.begin(), slots_.end(), slot);
    if (it == slots_.end()) it = slots_.insert(slots_.end(), slot);
    patches_.push_back({at, static_cast<std::size_t>(it - slots_.begin())});
  }
  constexpr void word(Slot slot) {
    word(slot, bytes_.size());
    u32(0);
  }
  constexpr EncodedModule finish() {
    align(8);
    for (auto const& [at, slot] : patches_) {
      auto const offset = static_cast<std::uint32_t>(bytes_.size() + 8 * slot);
      for (int i = 0; i < 4; ++i) bytes_[at + i] = static_cast<std::uint8_t>(offset >> (8 * i));
    }
    return {std::move(bytes_), std::move(slots_), {}};
  }

 private:
  struct Patch {
    std::size_t at;
    std::size_t slot;
  };
  std::vector<std::uint8_t> bytes_;
  std::vector<Slot> slots_;
  std::vector<Patch> patches_;
};

struct ArgKey {
  std::string_view name, typeName;
  bool optional;
  constexpr bool operator==(ArgKey const&) const = default;
};

}  // namespace encoder

constexpr EncodedModule encodeModule(ModuleDescription const& description) {
  using encoder::ArgKey;
  // Names: the type names and the names of argument types in one list; the
  // attribute names and argument names, after an empty name, in the other.
  std::vector<std::string_view> typeNames, attributeNames{""};
  auto addArgs = [&](std::vector<ArgSpec> const& args) {
    for (auto const& a : args) {
      typeNames.push_back(a.typeName);
      attributeNames.push_back(a.name);
    }
  };
  for (auto const& t : description.types) {
    typeNames.push_back(t.name);
    addArgs(t.ctorArgs);
    for (auto const& attr : t.attributes) {
      attributeNames.push_back(attr.name);
      addArgs(attr.args);
    }
  }
  encoder::NameList const types(typeNames), attributes(attributeNames);
  if (types.bytes.size() > 0x3FF) return {{}, {}, {"type-name list longer than 1023 bytes", {}}};

  // Argument lists: triple 0 ends the empty list; equal lists are kept once.
  std::vector<std::array<std::uint16_t, 3>> triples{{0, 0, 0}};
  std::vector<std::pair<std::vector<ArgKey>, std::uint16_t>> lists;
  auto listIndex = [&](std::vector<ArgSpec> const& args) -> std::uint16_t {
    if (args.empty()) return 0;
    std::vector<ArgKey> key;
    for (auto const& a : args) key.push_back({a.name, a.typeName, a.optional});
    for (auto const& [k, index] : lists) {
      if (k == key) return index;
    }
    auto const index = static_cast<std::uint16_t>(triples.size());
    for (auto const& a : args) {
      std::uint32_t const name = attributes.at(a.name);
      triples.push_back({static_cast<std::uint16_t>(name / 256),
                         static_cast<std::uint16_t>((name % 256) | (a.optional ? 0x100u : 0u)),
                         static_cast<std::uint16_t>(types.at(a.typeName))});
    }
    triples.push_back({0, 0, 0});
    lists.push_back({std::move(key), index});
    return index;
  };

  // Type and attribute records, as half-words.
  std::vector<std::array<std::uint16_t, 8>> typeRecords;
  std::vector<std::array<std::uint16_t, 12>> attributeRecords;
  for (auto const& t : description.types) {
    if (t.sizeBytes % 4 != 0) return {{}, {}, {"size not in whole words", t.name}};
    auto const words = static_cast<std::uint32_t>(t.sizeBytes / 4);
    typeRecords.push_back(
        {t.flags, static_cast<std::uint16_t>(types.at(t.name) << 6),
         static_cast<std::uint16_t>(((words % 8) << 13) | 0x0200),
         static_cast<std::uint16_t>(words / 8), static_cast<std::uint16_t>(t.attributes.size()),
         static_cast<std::uint16_t>(attributeRecords.size()), listIndex(t.ctorArgs), t.baseType});
    for (auto const& a : t.attributes) {
      std::uint32_t const nameWord = attributes.at(a.name) << 11;
      attributeRecords.push_back({a.number, static_cast<std::uint16_t>(a.kind | (a.access << 8)),
                                  static_cast<std::uint16_t>(a.extra[0] | (a.extra[1] << 8)),
                                  static_cast<std::uint16_t>(nameWord & 0xFFFF),
                                  static_cast<std::uint16_t>(nameWord >> 16),
                                  static_cast<std::uint16_t>(a.valueType), 0, 0, listIndex(a.args),
                                  static_cast<std::uint16_t>(a.keyType),
                                  static_cast<std::uint16_t>(a.fieldPosition), 0});
    }
  }

  // The module record first, its seven address words patched as each part
  // is placed (so the parts' slots come first, in this order).
  encoder::Writer w;
  for (int i = 0; i < 9; ++i) w.u32(0);
  auto part = [&](int index) {
    w.align(4);
    w.word({Slot::kSection, static_cast<std::uint32_t>(w.size()), 0},
           static_cast<std::size_t>(4 * index));
  };
  part(0);
  for (auto const& r : typeRecords) {
    for (auto h : r) w.u16(h);
  }
  part(1);
  for (auto const& r : attributeRecords) {
    for (auto h : r) w.u16(h);
  }
  part(2);
  for (auto const& r : triples) {
    for (auto h : r) w.u16(h);
  }
  part(3);
  w.text(types.bytes);
  part(4);
  w.text(attributes.bytes);
  part(5);
  for (auto const& ref : description.referencedTypes) {
    // The module itself is named like any other: by a slot holding its
    // record's address (the section at byte 0), so that no word 0 names it.
    w.word(ref.module == kThisModule ? Slot{Slot::kSection, 0, 0}
                                     : Slot{Slot::kModule, ref.module, 0});
    w.u32(ref.type);
  }
  part(6);
  for (std::uint32_t t = 0; t < description.types.size(); ++t) {
    for (std::uint32_t h = 0; h < kHookSlots; ++h) {
      if (description.types[t].hooks[h]) {
        w.word({Slot::kHook, t, h});
      } else {
        w.u32(0);
      }
    }
  }
  EncodedModule out = w.finish();
  auto const countWord = static_cast<std::uint32_t>(description.types.size()) | (1u << 16);
  for (int i = 0; i < 4; ++i) out.bytes[28 + i] = static_cast<std::uint8_t>(countWord >> (8 * i));
  return out;
}

// The addresses that a module's slots hold, for encodeTypeModule.
struct SlotTargets {
  std::vector<std::array<void const*, kHookSlots>> hooks;  // per type
  std::vector<void const*> modules;                        // per module number
};

// Writes the module, its slots filled with the targets' addresses, into
// `storage` (8-byte aligned, `capacity` bytes) and returns the record at its
// start. Stops the process with a message naming the module when the storage
// is too small or the module does not encode.
TypeModuleRecord const* encodeTypeModule(ModuleDescription const& description,
                                         SlotTargets const& targets, std::string_view moduleName,
                                         void* storage, std::size_t capacity);

}  // namespace Kiva
