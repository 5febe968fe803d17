#include "Kiva/TypeModuleEncoder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace Kiva {
namespace {

[[noreturn]] void fail(std::string_view module, std::string const& what) {
  std::fprintf(stderr, "type module %.*s: %s\n", static_cast<int>(module.size()), module.data(),
               what.c_str());
  std::abort();
}

// A sorted list of distinct names, NUL-separated, and each name's offset.
struct NameList {
  std::string bytes;
  std::map<std::string_view, std::uint32_t> offsets;

  explicit NameList(std::vector<std::string_view> names) {
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    for (std::string_view n : names) {
      offsets[n] = static_cast<std::uint32_t>(bytes.size());
      bytes.append(n);
      bytes.push_back('\0');
    }
  }
  std::uint32_t at(std::string_view n) const { return offsets.at(n); }
};

// Appends bytes to the storage, checking its capacity.
class Writer {
 public:
  Writer(std::string_view module, void* storage, std::size_t capacity)
      : module_(module), base_(static_cast<std::uint8_t*>(storage)), capacity_(capacity) {}

  std::size_t align(std::size_t to) {
    size_ = (size_ + to - 1) / to * to;
    check();
    return size_;
  }
  std::size_t put(void const* data, std::size_t bytes) {
    std::size_t const at = size_;
    size_ += bytes;
    check();
    if (bytes != 0) std::memcpy(base_ + at, data, bytes);
    return at;
  }
  template <class T>
  std::size_t put(T const& value) {
    return put(&value, sizeof(T));
  }
  std::uint8_t* base() const { return base_; }

 private:
  void check() const {
    if (size_ > capacity_)
      fail(module_, "storage of " + std::to_string(capacity_) + " bytes is too small");
  }
  std::string_view module_;
  std::uint8_t* base_;
  std::size_t capacity_;
  std::size_t size_ = 0;
};

}  // namespace

TypeModuleRecord const* encodeTypeModule(ModuleSpec const& spec, std::string_view moduleName,
                                         void* storage, std::size_t capacity) {
  // Names: the type names and the names of argument types in one list; the
  // attribute names and argument names, after an empty name, in the other.
  std::vector<std::string_view> typeNames, attributeNames{""};
  auto addArgs = [&](std::vector<ArgSpec> const& args) {
    for (auto const& a : args) {
      typeNames.push_back(a.typeName);
      attributeNames.push_back(a.name);
    }
  };
  for (auto const& t : spec.types) {
    typeNames.push_back(t.name);
    addArgs(t.ctorArgs);
    for (auto const& attr : t.attributes) {
      attributeNames.push_back(attr.name);
      addArgs(attr.args);
    }
  }
  NameList const types(typeNames), attributes(attributeNames);
  if (types.bytes.size() > 0x3FF) fail(moduleName, "type-name list longer than 1023 bytes");

  // Argument lists: triple 0 ends the empty list; equal lists are kept once.
  std::vector<ArgumentTriple> triples{ArgumentTriple{0, 0, 0}};
  std::map<std::vector<std::tuple<std::string_view, std::string_view, bool>>, std::uint16_t> lists;
  auto listIndex = [&](std::vector<ArgSpec> const& args) -> std::uint16_t {
    if (args.empty()) return 0;
    std::vector<std::tuple<std::string_view, std::string_view, bool>> key;
    for (auto const& a : args) key.emplace_back(a.name, a.typeName, a.optional);
    if (auto it = lists.find(key); it != lists.end()) return it->second;
    auto const index = static_cast<std::uint16_t>(triples.size());
    for (auto const& a : args) {
      std::uint32_t const name = attributes.at(a.name);
      triples.push_back({static_cast<std::uint16_t>(name / 256),
                         static_cast<std::uint16_t>((name % 256) | (a.optional ? 0x100u : 0u)),
                         static_cast<std::uint16_t>(types.at(a.typeName))});
    }
    triples.push_back({0, 0, 0});
    lists.emplace(std::move(key), index);
    return index;
  };

  std::vector<TypeRecord> typeRecords;
  std::vector<AttributeRecord> attributeRecords;
  for (auto const& t : spec.types) {
    if (t.sizeBytes % 4 != 0) fail(moduleName, std::string(t.name) + ": size not in whole words");
    auto const words = static_cast<std::uint32_t>(t.sizeBytes / 4);
    TypeRecord r{};
    r.flags = t.flags;
    r.nameWord = static_cast<std::uint16_t>(types.at(t.name) << 6);
    r.sizeLowWord = static_cast<std::uint16_t>(((words % 8) << 13) | 0x0200);
    r.sizeHigh = static_cast<std::uint16_t>(words / 8);
    r.attributeCount = static_cast<std::uint16_t>(t.attributes.size());
    r.firstAttribute = static_cast<std::uint16_t>(attributeRecords.size());
    r.ctorArgs = listIndex(t.ctorArgs);
    r.baseType = t.baseType;
    typeRecords.push_back(r);
    for (auto const& a : t.attributes) {
      std::uint32_t const nameWord = attributes.at(a.name) << 11;
      AttributeRecord ar{};
      ar.number = a.number;
      ar.kindAccess = static_cast<std::uint16_t>(a.kind | (a.access << 8));
      ar.extra = static_cast<std::uint16_t>(a.extra[0] | (a.extra[1] << 8));
      ar.nameWordLow = static_cast<std::uint16_t>(nameWord & 0xFFFF);
      ar.nameWordHigh = static_cast<std::uint16_t>(nameWord >> 16);
      ar.valueType = a.valueType;
      ar.args = listIndex(a.args);
      ar.keyType = a.keyType;
      ar.fieldPosition = a.fieldPosition;
      attributeRecords.push_back(ar);
    }
  }

  Writer w(moduleName, storage, capacity);
  w.put(TypeModuleRecord{});
  auto* record = reinterpret_cast<TypeModuleRecord*>(w.base());
  auto const word = [&](std::size_t offset) { return static_cast<std::uint32_t>(offset); };
  record->typeRecords = word(w.align(4));
  w.put(typeRecords.data(), typeRecords.size() * sizeof(TypeRecord));
  record->attributeRecords = word(w.align(4));
  w.put(attributeRecords.data(), attributeRecords.size() * sizeof(AttributeRecord));
  record->argumentTriples = word(w.align(4));
  w.put(triples.data(), triples.size() * sizeof(ArgumentTriple));
  record->typeNames = word(w.align(4));
  w.put(types.bytes.data(), types.bytes.size());
  record->attributeNames = word(w.align(4));
  w.put(attributes.bytes.data(), attributes.bytes.size());
  record->referencedTypes = word(w.align(4));
  for (auto const& ref : spec.referencedTypes) {
    void const* module = ref.module != nullptr ? ref.module : record;
    w.put(ReferencedType{module == record ? 0u : record->wordFor(module), ref.type});
  }
  record->hookTable = word(w.align(4));
  for (auto const& t : spec.types) {
    std::array<std::uint32_t, 6> row{};
    for (std::size_t i = 0; i < row.size(); ++i) row[i] = record->wordFor(t.hooks[i]);
    static_assert(sizeof(row) == sizeof(HookRow));
    w.put(row);
  }
  record->typeCountWord = static_cast<std::uint32_t>(spec.types.size()) | (1u << 16);
  record->reserved = 0;
  return record;
}

}  // namespace Kiva
