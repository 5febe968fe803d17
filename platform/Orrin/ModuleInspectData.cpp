#include "Orrin/ModuleInspectData.h"

#include <dlfcn.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace Orrin {
namespace {

using Kiva::ArgumentTriple;
using Kiva::AttributeRecord;
using Kiva::HookRow;
using Kiva::ReferencedType;
using Kiva::TypeModuleRecord;
using Kiva::TypeRecord;
using Type = ModuleInspectData::Type;
using TypeRef = ModuleInspectData::TypeRef;

struct Registry {
  std::mutex mutex;
  std::vector<TypeModuleRecord const*> records;
  // Decoded on first query, in registration order; never freed, so that
  // what queries return stays valid.
  std::vector<ModuleInspectData::Module*> decoded;
  std::map<TypeModuleRecord const*, ModuleInspectData::Module*> byRecord;
};

Registry& registry() {
  static Registry* r = new Registry;  // modules register from static initialisers
  return *r;
}

std::string hex(void const* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

std::string_view typeNameIn(TypeModuleRecord const* m, std::uint32_t type) {
  if (type >= m->typeCount()) {
    throw std::runtime_error("type module at " + hex(m) + ": no type " + std::to_string(type) +
                             " (the module has " + std::to_string(m->typeCount()) + ")");
  }
  auto const& t = m->resolve<TypeRecord>(m->typeRecords)[type];
  return Kiva::nameAt(m->resolve<char>(m->typeNames), t.nameOffset());
}

// The module name and identifier of a record held in an exported symbol
// named "_<Module>_<id>_kivaModule".
void nameFromSymbol(ModuleInspectData::Module& m) {
  Dl_info info{};
  if (dladdr(m.record, &info) == 0 || info.dli_sname == nullptr || info.dli_saddr != m.record) {
    return;
  }
  std::string_view const symbol(info.dli_sname);
  constexpr std::string_view kSuffix = "_kivaModule";
  if (symbol.size() <= kSuffix.size() + 1 || symbol.front() != '_' || !symbol.ends_with(kSuffix)) {
    return;
  }
  std::string_view const stem = symbol.substr(1, symbol.size() - 1 - kSuffix.size());
  auto const cut = stem.rfind('_');
  if (cut == std::string_view::npos || cut == 0) return;
  m.symbol = symbol;
  m.name = stem.substr(0, cut);
  m.id = stem.substr(cut + 1);
}

// Resolves an argument's type, which the record names by text only: one of
// the module's own types, else a type the module refers to, else the name.
TypeRef argumentType(ModuleInspectData::Module const& m, std::vector<TypeRef> const& referenced,
                     std::string_view name) {
  for (auto const& t : m.types) {
    if (t.name == name) return t.ref();
  }
  for (auto const& r : referenced) {
    if (r.name == name) return r;
  }
  return TypeRef{-1, {}, name};
}

std::vector<ModuleInspectData::Argument> argumentList(TypeModuleRecord const* r,
                                                      ModuleInspectData::Module const& m,
                                                      std::vector<TypeRef> const& referenced,
                                                      std::uint16_t index) {
  std::vector<ModuleInspectData::Argument> out;
  if (index == 0) return out;
  char const* attrNames = r->resolve<char>(r->attributeNames);
  char const* typeNames = r->resolve<char>(r->typeNames);
  for (auto const* t = r->resolve<ArgumentTriple>(r->argumentTriples) + index; !t->isEnd(); ++t) {
    out.push_back({Kiva::nameAt(attrNames, t->nameOffset()),
                   argumentType(m, referenced, Kiva::nameAt(typeNames, t->t)), t->optional()});
  }
  return out;
}

template <class Fn>
Fn hookAt(TypeModuleRecord const* r, std::uint32_t word) {
  return word == 0 ? nullptr : r->resolveFunction<Fn>(word);
}

ModuleInspectData::Module* decode(TypeModuleRecord const* r) {
  auto* m = new ModuleInspectData::Module;
  m->record = r;
  nameFromSymbol(*m);
  auto const* typeRecords = r->resolve<TypeRecord>(r->typeRecords);
  auto const* attrRecords = r->resolve<AttributeRecord>(r->attributeRecords);
  auto const* hookRows = r->resolve<HookRow>(r->hookTable);
  char const* typeNames = r->resolve<char>(r->typeNames);
  char const* attrNames = r->resolve<char>(r->attributeNames);

  // First the types' names, so that argument types can refer to them; then
  // the types the module refers to, for the same purpose.
  m->types.resize(r->typeCount());
  std::vector<TypeRef> referenced;
  auto note = [&](TypeRef const& t) {
    if (t.code >= 0 && std::none_of(referenced.begin(), referenced.end(),
                                    [&](TypeRef const& x) { return x.code == t.code; })) {
      referenced.push_back(t);
    }
  };
  for (std::uint32_t i = 0; i < m->types.size(); ++i) {
    TypeRecord const& tr = typeRecords[i];
    Type& t = m->types[i];
    t.module = m;
    t.number = i;
    t.name = Kiva::nameAt(typeNames, tr.nameOffset());
    t.flags = tr.flags;
    t.sizeWords = tr.sizeWords();
    t.base = ModuleInspectData::typeRef(r, static_cast<std::int16_t>(tr.baseType));
    note(t.base);
    for (std::uint32_t p = tr.firstAttribute; p < tr.firstAttribute + tr.attributeCount; ++p) {
      note(ModuleInspectData::typeRef(r, attrRecords[p].valueType));
      note(ModuleInspectData::typeRef(r, attrRecords[p].keyType));
    }
  }
  for (std::uint32_t i = 0; i < m->types.size(); ++i) {
    TypeRecord const& tr = typeRecords[i];
    Type& t = m->types[i];
    t.ctorArgs = argumentList(r, *m, referenced, tr.ctorArgs);
    for (std::uint16_t p = tr.firstAttribute; p < tr.firstAttribute + tr.attributeCount; ++p) {
      AttributeRecord const& ar = attrRecords[p];
      ModuleInspectData::Attribute a;
      a.owner = &t;
      a.position = p;
      a.number = ar.number;
      a.name = Kiva::nameAt(attrNames, ar.nameOffset());
      a.kind = ar.kind();
      a.access = ar.access();
      a.extra[0] = static_cast<std::uint8_t>(ar.extra & 0xFF);
      a.extra[1] = static_cast<std::uint8_t>(ar.extra >> 8);
      a.valueType = ModuleInspectData::typeRef(r, ar.valueType);
      a.keyType = ModuleInspectData::typeRef(r, ar.keyType);
      a.fieldPosition = ar.fieldPosition;
      a.args = argumentList(r, *m, referenced, ar.args);
      t.attributes.push_back(std::move(a));
    }
    HookRow const& h = hookRows[i];
    t.hooks.newEntityForDir = hookAt<Inspect::NewEntityForDirFn>(r, h.newEntityForDir);
    t.hooks.unused = h.unused == 0 ? nullptr : r->resolve<void>(h.unused);
    if (t.valueType()) {
      t.hooks.valueOperations =
          h.valueOrEntityInterface == 0
              ? nullptr
              : r->resolve<Inspect::InspectAtomicFnTable>(h.valueOrEntityInterface);
    } else {
      t.hooks.entityInterface = h.valueOrEntityInterface == 0
                                    ? nullptr
                                    : r->resolve<Kiva::GenericIfImpl::GenericIfPtrInterfaceMethods>(
                                          h.valueOrEntityInterface);
    }
    t.hooks.constructFromCtorArgs =
        hookAt<Inspect::ConstructFromCtorArgsFn>(r, h.constructFromCtorArgs);
    t.hooks.inspectOperation = hookAt<Inspect::InspectOperationFn>(r, h.inspectOperation);
    t.hooks.iterator = hookAt<Inspect::GenericIfIteratorFn>(r, h.iterator);
  }
  return m;
}

// Decodes the records registered since the last query; the registry's lock
// is held.
void decodePending(Registry& reg) {
  for (auto const* r : reg.records) {
    if (reg.byRecord.count(r) != 0) continue;
    ModuleInspectData::Module* m = decode(r);
    reg.byRecord.emplace(r, m);
    reg.decoded.push_back(m);
  }
}

}  // namespace

// --- The registry ---

void ModuleInspectData::loaded(Kiva::TypeModuleRecord const* module) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (std::find(r.records.begin(), r.records.end(), module) == r.records.end()) {
    r.records.push_back(module);
  }
}

std::vector<Kiva::TypeModuleRecord const*> ModuleInspectData::modules() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  return r.records;
}

std::vector<ModuleInspectData::Module const*> ModuleInspectData::loadedModules() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  decodePending(r);
  return {r.decoded.begin(), r.decoded.end()};
}

ModuleInspectData::Module const* ModuleInspectData::module(Kiva::TypeModuleRecord const* record) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  decodePending(r);
  auto it = r.byRecord.find(record);
  return it == r.byRecord.end() ? nullptr : it->second;
}

ModuleInspectData::Type const* ModuleInspectData::type(std::string_view qualifiedName) {
  for (Module const* m : loadedModules()) {
    for (Type const& t : m->types) {
      if (t.name == qualifiedName) return &t;
    }
  }
  return nullptr;
}

ModuleInspectData::Type const* ModuleInspectData::type(TypeData type) {
  if (type.module == nullptr) return nullptr;
  Module const* m = module(static_cast<Kiva::TypeModuleRecord const*>(type.module));
  if (m == nullptr || type.type >= m->types.size()) return nullptr;
  return &m->types[type.type];
}

std::string_view ModuleInspectData::fundamentalName(std::int16_t code) {
  switch (code) {
    case Kiva::kTypeNone:
      return "none";
    case Kiva::kTypeU8:
      return "u8";
    case Kiva::kTypeU32:
      return "u32";
    case Kiva::kTypeU64:
      return "u64";
    case Kiva::kTypeBool:
      return "bool";
    default:
      return {};
  }
}

ModuleInspectData::TypeRef ModuleInspectData::typeRef(Kiva::TypeModuleRecord const* record,
                                                      std::int16_t code) {
  if (code == -1) return {};
  if (code < 0) {
    std::string_view const name = fundamentalName(code);
    if (name.empty()) {
      throw std::runtime_error("type module at " + hex(record) + ": unknown fundamental type " +
                               std::to_string(code));
    }
    return {code, {}, name};
  }
  auto const& rt = record->resolve<ReferencedType>(record->referencedTypes)[code];
  auto const* target = record->resolve<Kiva::TypeModuleRecord>(rt.moduleWord);
  if (target == nullptr) {
    throw std::runtime_error("type module at " + hex(record) + ": referenced type " +
                             std::to_string(code) + " names no module (address word 0)");
  }
  return {code, {target, rt.type}, typeNameIn(target, rt.type)};
}

// --- Types and attributes ---

Kiva::KivaAttr ModuleInspectData::Attribute::handle() const {
  return Kiva::KivaAttr(owner->module->record, position);
}

TypeData ModuleInspectData::Type::typeData() const {
  return {module->record, number};
}

ModuleInspectData::TypeRef ModuleInspectData::Type::ref() const {
  return {-1, typeData(), name};
}

ModuleInspectData::Attribute const* ModuleInspectData::Type::attribute(
    std::string_view wanted) const {
  for (auto const& a : attributes) {
    if (a.name == wanted) return &a;
  }
  return nullptr;
}

ModuleInspectData::Attribute const* ModuleInspectData::Type::attribute(std::uint32_t wanted) const {
  for (auto const& a : attributes) {
    if (a.number == wanted) return &a;
  }
  return nullptr;
}

ModuleInspectData::Attribute const& ModuleInspectData::Type::at(std::string_view wanted) const {
  if (auto const* a = attribute(wanted)) return *a;
  throw std::invalid_argument("type " + std::string(name) + " has no attribute \"" +
                              std::string(wanted) + "\"");
}

ModuleInspectData::Attribute const& ModuleInspectData::Type::at(std::uint32_t wanted) const {
  if (auto const* a = attribute(wanted)) return *a;
  throw std::invalid_argument("type " + std::string(name) + " has no attribute number " +
                              std::to_string(wanted));
}

// --- Values ---

namespace {

// The layout of a scalar: the fundamental types, and the platform's plain
// scalar types (bit-width types held in one byte, 32-bit indices).
struct Scalar {
  std::size_t bytes;
  std::uint64_t max;
  bool boolean = false;
};

std::optional<Scalar> scalarOf(TypeRef const& t) {
  switch (t.code) {
    case Kiva::kTypeU8:
      return Scalar{1, 0xFF};
    case Kiva::kTypeU32:
      return Scalar{4, 0xFFFFFFFFu};
    case Kiva::kTypeU64:
      return Scalar{8, ~std::uint64_t{0}};
    case Kiva::kTypeBool:
      return Scalar{1, 1, true};
    default:
      break;
  }
  if (t.name == "Asic::Index" || t.name == "Asic::SwTableBase::Index") {
    return Scalar{4, 0xFFFFFFFFu};
  }
  if (t.name.size() == 8 && t.name.starts_with("Kiva::U") && t.name[7] >= '1' && t.name[7] <= '6') {
    return Scalar{1, (1u << (t.name[7] - '0')) - 1};
  }
  return std::nullopt;
}

bool isNone(TypeRef const& t) {
  return t.code == Kiva::kTypeNone;
}

bool isEntityType(TypeRef const& t) {
  Type const* d = ModuleInspectData::type(t);
  return d != nullptr && !d->valueType();
}

std::string typeText(TypeRef const& t) {
  return t.named() ? std::string(t.name) : std::string("(no type)");
}

Inspect::InspectAtomicFnTable const& valueOperations(TypeRef const& t) {
  Type const* d = ModuleInspectData::type(t);
  if (d == nullptr || d->hooks.valueOperations == nullptr) {
    throw std::logic_error("type " + typeText(t) + " has no value operations");
  }
  return *d->hooks.valueOperations;
}

}  // namespace

Value Value::empty(TypeRef const& type, bool entity) {
  std::size_t bytes = 8;
  if (entity) {
    bytes = sizeof(Ptr<Node>);
  } else if (Type const* d = ModuleInspectData::type(type)) {
    bytes = std::max<std::size_t>(bytes, d->sizeWords * 4u);
  } else if (!isNone(type) && !scalarOf(type)) {
    throw std::invalid_argument("no layout known for values of type " + typeText(type));
  }
  Value v;
  v.type_ = type;
  v.entity_ = entity;
  std::size_t const units = (bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
  v.storage_ = std::make_unique<std::max_align_t[]>(units);  // zeroed
  v.bytes_ = units * sizeof(std::max_align_t);
  return v;
}

Value::Value(Value&& other) noexcept
    : type_(other.type_),
      entity_(other.entity_),
      constructed_(std::exchange(other.constructed_, false)),
      storage_(std::move(other.storage_)),
      bytes_(std::exchange(other.bytes_, 0)) {}

Value& Value::operator=(Value&& other) noexcept {
  if (this != &other) {
    Value dropped(std::move(*this));
    type_ = other.type_;
    entity_ = other.entity_;
    constructed_ = std::exchange(other.constructed_, false);
    storage_ = std::move(other.storage_);
    bytes_ = std::exchange(other.bytes_, 0);
  }
  return *this;
}

Value::~Value() {
  if (!constructed_ || storage_ == nullptr) return;
  if (entity_) {
    std::destroy_at(static_cast<Ptr<Node>*>(static_cast<void*>(storage_.get())));
    return;
  }
  Type const* d = ModuleInspectData::type(type_);
  if (d != nullptr && d->hooks.valueOperations != nullptr) {
    TypeData const td = d->typeData();
    d->hooks.valueOperations->inspectDestroy(storage_.get(), &td);
  }
}

Value Value::make(TypeRef const& type) {
  if (isEntityType(type)) {
    throw std::invalid_argument("type " + typeText(type) + " is an entity, not a value");
  }
  Value v = empty(type, false);
  if (ModuleInspectData::type(type) != nullptr) {
    TypeData const td = type.type;
    valueOperations(type).inspectConstruct(v.storage_.get(), nullptr, &td);
  }
  v.constructed_ = true;
  return v;
}

Value Value::parse(TypeRef const& type, std::string_view text) {
  if (ModuleInspectData::type(type) != nullptr && !isEntityType(type)) {
    Value v = empty(type, false);
    TypeData const td = type.type;
    valueOperations(type).inspectDecodeFromString(v.storage_.get(), String(text), &td, false);
    v.constructed_ = true;
    return v;
  }
  std::optional<Scalar> const s = scalarOf(type);
  if (!s) throw std::invalid_argument("values of type " + typeText(type) + " cannot be read");
  std::string_view t = text;
  while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
  while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.remove_suffix(1);
  std::uint64_t n = 0;
  bool ok = false;
  if (s->boolean && (t == "true" || t == "false")) {
    n = t == "true";
    ok = true;
  } else {
    int base = 10;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
      t.remove_prefix(2);
      base = 16;
    }
    auto const [end, ec] = std::from_chars(t.data(), t.data() + t.size(), n, base);
    ok = !t.empty() && ec == std::errc() && end == t.data() + t.size();
    if (ec == std::errc::result_out_of_range) {
      throw std::invalid_argument("value \"" + std::string(text) + "\" is out of range 0.." +
                                  std::to_string(s->max) + " of " + typeText(type));
    }
  }
  if (!ok) {
    throw std::invalid_argument("\"" + std::string(text) + "\" is not a number (" + typeText(type) +
                                ")");
  }
  if (n > s->max) {
    throw std::invalid_argument("value " + std::to_string(n) + " is out of range 0.." +
                                std::to_string(s->max) + " of " + typeText(type));
  }
  Value v = empty(type, false);
  std::memcpy(v.storage_.get(), &n, s->bytes);  // little-endian: the low bytes
  v.constructed_ = true;
  return v;
}

Value Value::ofU32(std::uint32_t n) {
  return parse(TypeRef{Kiva::kTypeU32, {}, "u32"}, std::to_string(n));
}

Value Value::ofEntity(TypeRef const& type, Node* node) {
  Value v = empty(type, true);
  new (v.storage_.get()) Ptr<Node>(node);
  v.constructed_ = true;
  return v;
}

Value Value::construct(ModuleInspectData::Type const& type, void const* const* args) {
  TypeData const td = type.typeData();
  if (type.valueType()) {
    if (type.hooks.valueOperations == nullptr) {
      throw std::invalid_argument("type " + std::string(type.name) + " has no value operations");
    }
    Value v = empty(type.ref(), false);
    type.hooks.valueOperations->inspectConstruct(v.storage_.get(), nullptr, &td);
    v.constructed_ = true;
    return v;
  }
  if (type.hooks.constructFromCtorArgs == nullptr) {
    throw std::invalid_argument("type " + std::string(type.name) +
                                " has no construction hook (genericIfConstructFromCtorArgs)");
  }
  Value v = empty(type.ref(), true);
  type.hooks.constructFromCtorArgs(v.storage_.get(), args);
  v.constructed_ = true;
  return v;
}

Value Value::newEntity(ModuleInspectData::Type const& type, String const& name,
                       void const* ctorArgs) {
  if (type.hooks.newEntityForDir == nullptr) {
    throw std::invalid_argument("type " + std::string(type.name) +
                                " cannot be created by name (no newEntityForDir hook)");
  }
  return ofEntity(type.ref(), type.hooks.newEntityForDir(name, ctorArgs));
}

void* Value::object() const {
  if (!constructed_) return nullptr;
  if (entity_)
    return static_cast<Ptr<Node> const*>(static_cast<void const*>(storage_.get()))->get();
  return storage_.get();
}

Ptr<Node> Value::node() const {
  if (!entity_ || !constructed_) return {};
  return *static_cast<Ptr<Node> const*>(static_cast<void const*>(storage_.get()));
}

std::uint64_t Value::number() const {
  std::optional<Scalar> const s = scalarOf(type_);
  if (!s || !constructed_)
    throw std::logic_error("value of type " + typeText(type_) + " is no number");
  std::uint64_t n = 0;
  std::memcpy(&n, storage_.get(), s->bytes);
  return n;
}

std::string Value::text() const {
  if (!constructed_) return "";
  if (entity_) {
    Node* n = node().get();
    return n == nullptr ? "null" : typeText(type_);
  }
  if (isNone(type_)) return "";
  if (ModuleInspectData::type(type_) != nullptr) {
    TypeData const td = type_.type;
    return valueOperations(type_).inspectEncodeToString(storage_.get(), &td, false).str();
  }
  std::optional<Scalar> const s = scalarOf(type_);
  if (s && s->boolean) return number() != 0 ? "true" : "false";
  return std::to_string(number());
}

// --- Operations ---

Value::Result Value::operation(Kiva::KivaAttr const& handle, std::uint8_t op, void const* operand,
                               void const* const* args, TypeRef const& resultType) const {
  Type const* d = decodedType();
  if (d == nullptr || d->hooks.inspectOperation == nullptr) {
    throw std::logic_error("type " + typeText(type_) + " has no inspectOperation hook");
  }
  bool const stores = resultType.named() && !isNone(resultType);
  Value out = empty(stores ? resultType : TypeRef{Kiva::kTypeNone, {}, "none"},
                    stores && isEntityType(resultType));
  Result r;
  r.status = d->hooks.inspectOperation(out.storage_.get(), object(), handle, op, operand, args);
  if (r.status == Inspect::statusDone && stores) {
    out.constructed_ = true;
    r.value.emplace(std::move(out));
  }
  return r;
}

Value::Result Value::get(Attribute const& a, Value const* key) const {
  return operation(a.handle(), Inspect::opGet, key ? key->argument() : nullptr, nullptr,
                   a.valueType);
}

Value::Result Value::getIfPresent(Attribute const& a, Value const& key) const {
  return operation(a.handle(), Inspect::opGetIfPresent, key.argument(), nullptr, a.valueType);
}

Inspect::OpStatus Value::set(Attribute const& a, Value const& v) const {
  void const* args[] = {v.argument()};
  return operation(a.handle(), Inspect::opSet, nullptr, args, {}).status;
}

Value::Result Value::memberCount(Attribute const& a) const {
  return operation(a.handle(), Inspect::opMemberCount, nullptr, nullptr,
                   {Kiva::kTypeU32, {}, "u32"});
}

Value::Result Value::secondSize(Attribute const& a) const {
  return operation(a.handle(), Inspect::opSecondSize, nullptr, nullptr,
                   {Kiva::kTypeU32, {}, "u32"});
}

Value::Result Value::contains(Attribute const& a, Value const& key) const {
  return operation(a.handle(), Inspect::opContains, key.argument(), nullptr,
                   {Kiva::kTypeBool, {}, "bool"});
}

Value::Result Value::call(Attribute const& a, std::vector<Value const*> const& args) const {
  if (args.size() != a.args.size()) {
    throw std::invalid_argument(std::string(a.owner->name) + "::" + std::string(a.name) +
                                " takes " + std::to_string(a.args.size()) + " argument(s), " +
                                std::to_string(args.size()) + " given");
  }
  std::vector<void const*> addresses;
  for (Value const* v : args) addresses.push_back(v->argument());
  return operation(a.handle(), Inspect::opCall, nullptr, addresses.data(), a.valueType);
}

Value::Result Value::differsFromDefault() const {
  return operation(Kiva::KivaAttr(), Inspect::opDiffersFromDefault, nullptr, nullptr,
                   {Kiva::kTypeBool, {}, "bool"});
}

Value::Result Value::equal(Value const& other) const {
  return operation(Kiva::KivaAttr(), Inspect::opEqual, other.argument(), nullptr,
                   {Kiva::kTypeBool, {}, "bool"});
}

Value::Result Value::less(Value const& other) const {
  return operation(Kiva::KivaAttr(), Inspect::opLess, other.argument(), nullptr,
                   {Kiva::kTypeBool, {}, "bool"});
}

// --- Iteration ---

Value::Iteration Value::iterate(Attribute const& a, Value const* startKey) const {
  Type const* d = decodedType();
  if (d == nullptr || d->hooks.iterator == nullptr) {
    throw std::logic_error("type " + typeText(type_) + " has no genericIfIterator hook");
  }
  Inspect::IterHooks const* hooks = nullptr;
  void* it =
      d->hooks.iterator(object(), startKey ? startKey->argument() : nullptr, a.handle(), &hooks);
  return Iteration(a, it, hooks);
}

Value::Iteration::Iteration(Iteration&& other) noexcept
    : attr_(other.attr_),
      handle_(other.handle_),
      iterator_(std::exchange(other.iterator_, nullptr)),
      hooks_(other.hooks_) {}

Value::Iteration::~Iteration() {
  if (iterator_ != nullptr) hooks_->iterDel(handle_, iterator_);
}

bool Value::Iteration::atMember() const {
  return iterator_ != nullptr && hooks_->iterNonnull(handle_, iterator_);
}

Value Value::Iteration::key() const {
  Value k = empty(attr_->keyType, false);
  hooks_->iterKey(handle_, iterator_, k.storage_.get());
  k.constructed_ = true;
  return k;
}

std::optional<Value> Value::Iteration::object() const {
  Value v = empty(attr_->valueType, false);
  if (!hooks_->iterObj(handle_, iterator_, v.storage_.get())) return std::nullopt;
  v.constructed_ = true;
  return v;
}

void Value::Iteration::next() {
  hooks_->iterInc(handle_, iterator_);
}

}  // namespace Orrin
