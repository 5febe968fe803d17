// The runtime's registry of type modules, and the tables, entries, Utils and
// loaders driven only through the hooks it decodes from the records: what
// each attribute answers, with which status, iteration against a model, and
// every table end to end. C++ calls on the tables serve only to set up state
// the hooks cannot make (keys without a value, synced entries, an attached
// Util) and to check results independently.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "EngineTestSupport.h"
#include "Kiva/Entity.h"
#include "Kiva/TypeModuleEncoder.h"
#include "Orrin/ModuleInspectData.h"
#include "TestTables.h"
#include "runtime/IfaSwTableUtil.h"
#include "runtime/IfaSwTableUtilLoader.h"
#include "runtime/TableModule.h"

namespace {

using Orrin::ModuleInspectData;
using Orrin::Value;
using Attribute = ModuleInspectData::Attribute;
using Type = ModuleInspectData::Type;
namespace Op = Orrin::Inspect;

// --- Helpers that go through the registry only ---

ModuleInspectData::TypeRef const kU32{Kiva::kTypeU32, {}, "u32"};

// The key type of a table's collections, as its records name it.
Value key(Type const& table, std::uint32_t n) {
  return Value::parse(table.at("resolvedEntry").keyType, std::to_string(n));
}

// The largest value of a field, from the type the record gives it.
std::uint64_t fieldMax(ModuleInspectData::TypeRef const& t) {
  if (t.code == Kiva::kTypeU8) return 0xFF;
  if (t.code == Kiva::kTypeU32) return 0xFFFFFFFFu;
  if (t.name.starts_with("Kiva::U")) return (1u << (t.name[7] - '0')) - 1;
  ADD_FAILURE() << "unexpected field type " << t.name;
  return 0;
}

std::vector<Attribute const*> fieldsOf(Type const& entry) {
  std::vector<Attribute const*> out;
  for (auto const& a : entry.attributes) {
    if (a.fieldPosition >= 0) out.push_back(&a);
  }
  return out;
}

// A random entry, built through the value operations and the field setters.
Value randomEntry(Type const& entry, std::mt19937_64& rng) {
  Value e = Value::construct(entry);
  for (Attribute const* f : fieldsOf(entry)) {
    std::uint64_t const max = fieldMax(f->valueType);
    std::uint64_t const v = rng() % 3 == 0 ? max : rng() % (max + 1);
    EXPECT_EQ(e.set(*f, Value::parse(f->valueType, std::to_string(v))), Op::statusDone);
  }
  return e;
}

Op::OpStatus status(Value::Result const& r) {
  return r.status;
}

// Every member an iteration visits: key and value text ("-" for no value).
std::map<std::uint64_t, std::string> visit(Value const& table, Attribute const& a,
                                           Value const* start = nullptr,
                                           std::vector<std::uint64_t>* order = nullptr) {
  std::map<std::uint64_t, std::string> out;
  Value::Iteration it = table.iterate(a, start);
  EXPECT_TRUE(it.started()) << a.name;
  for (; it.atMember(); it.next()) {
    std::uint64_t const k = it.key().number();
    std::optional<Value> v = it.object();
    EXPECT_TRUE(out.emplace(k, v ? v->text() : "-").second)
        << a.name << " visits " << k << " twice";
    if (order) order->push_back(k);
  }
  return out;
}

template <class Table>
Type const& typeOf(std::uint32_t number) {
  using Module = IfaRuntime::TableModule<typename Table::Declaration>;
  Type const* t = ModuleInspectData::type(Module::typeData(number));
  EXPECT_NE(t, nullptr);
  return *t;
}

template <class Table>
Table& cpp(Value const& table) {
  return *static_cast<Table*>(table.node().get());
}

// A chip Util whose answers differ from the library's defaults.
template <class Table>
struct InspectUtil : IfaTest::RecordingUtil<Table> {
  std::uint32_t minIndex() const override { return 17; }
  std::uint32_t maxIndex() const override { return 2047; }
  Asic::Index dependentFieldValueToHwIndex(Asic::Index v) const override { return v + 100; }
};

// A module of one type whose one attribute is numbered 537: the handle it
// gives names a number no type of the tables has.
Kiva::KivaAttr handleNumbered537() {
  alignas(8) static unsigned char storage[2048];
  static Kiva::TypeModuleRecord const* m = [] {
    Kiva::ModuleSpec spec;
    spec.types = {{0x0040, "Test::Other", 4, {{537, "other", 0x08, 0x28, {0, 0}, -13}}, {}, 0, {}}};
    spec.referencedTypes = {{Kiva::kThisModule, 0}};
    return Kiva::encodeTypeModule(spec, Kiva::SlotTargets{}, "Other", storage, sizeof storage);
  }();
  return Kiva::KivaAttr(m, 0);
}

// Hooks of a module made here: only their addresses matter.
Op::OpStatus fakeInspect(void*, void*, Kiva::KivaAttr const&, std::uint8_t, void const*,
                         void const* const*) {
  return Op::statusAbsent;
}
Orrin::Node* fakeNewEntity(Orrin::String const&, void const*) {
  return nullptr;
}
void fakeConstruct(void*, void const* const*) {}
void* fakeIterator(void*, void const*, Kiva::KivaAttr const&, Op::IterHooks const**) {
  return nullptr;
}
Op::InspectAtomicFnTable const fakeValueOperations{};
Kiva::GenericIfImpl::GenericIfPtrInterfaceMethods const fakeEntityInterface{};

template <class F>
void const* address(F f) {
  return reinterpret_cast<void const*>(f);
}

template <class Table>
class InspectTable : public ::testing::Test {};
TYPED_TEST_SUITE(InspectTable, IfaTest::AllTableTypes, IfaTest::TableName);

// --- The registry ---

TEST(InspectRegistry, DecodesTheFourteenModulesInCatalogueOrderWithTheirSymbols) {
  std::vector<ModuleInspectData::Module const*> const modules = ModuleInspectData::loadedModules();
  ASSERT_GE(modules.size(), 14u);
  std::size_t i = 0;
  IfaRuntime::AllTables::forEach([&]<class Table>() {
    using Decl = typename Table::Declaration;
    ModuleInspectData::Module const& m = *modules[i++];
    EXPECT_EQ(m.record, &IfaRuntime::TableModule<Decl>::record());
    EXPECT_EQ(m.name, Decl::kModuleName);
    EXPECT_EQ(m.symbol, Decl::kRecordName);
    EXPECT_EQ("_" + m.name + "_" + m.id + "_kivaModule", m.symbol);
    EXPECT_FALSE(m.id.empty());
    EXPECT_EQ(m.id.find_first_not_of("0123456789abcdef"), std::string::npos) << m.id;
    ASSERT_EQ(m.types.size(), 4u);
    EXPECT_EQ(m.types[3].name, Table::kQualifiedName);
    EXPECT_EQ(ModuleInspectData::type(Table::kQualifiedName), &m.types[3]);
    EXPECT_EQ(ModuleInspectData::module(m.record), &m);
  });
  EXPECT_EQ(ModuleInspectData::type("CorvaneInt::NoSuchTable"), nullptr);
}

using Hooks = std::array<void const*, Kiva::kHookSlots>;

// A module registered after the first query, encoded here with types,
// references and hooks of every kind, decoded from its bytes alone.
TEST(InspectRegistry, DecodesAModuleRegisteredLaterFromItsBytesAlone) {
  // A second module for the first to refer to.
  alignas(8) static unsigned char otherStorage[1024];
  Kiva::ModuleSpec otherSpec;
  for (char const* name : {"Other::Base", "Other::Key", "Other::Small"}) {
    otherSpec.types.push_back({0x0040, name, 4, {}, {}, 0, {}});
  }
  otherSpec.referencedTypes = {{Kiva::kThisModule, 0}};
  auto const* other = Kiva::encodeTypeModule(otherSpec, Kiva::SlotTargets{}, "Other", otherStorage,
                                             sizeof otherStorage);
  alignas(8) static unsigned char storage[4096];
  Kiva::ModuleSpec spec;
  spec.types = {
      {0x0041,
       "Test::Value",
       12,
       {{700, "width", 0x00, 0x1C, {0x01, 0x02}, Kiva::kTypeU8, {}, -1, 4},
        {701, "lookup", 0x01, 0x4C, {0x01, 0x10}, 0, {}, 1, -1}},
       {},
       2,
       {false, false, true, true, true, false}},
      {0x0140,
       "Test::Thing",
       40,
       {{702,
         "poke",
         0x11,
         0x08,
         {0, 0},
         Kiva::kTypeNone,
         {{"how", "Test::Value"}, {"maybe", "Test::Value", true}, {"other", "Unknown::Type"}}},
        {703, "count", 0x00, 0x28, {0, 0}, Kiva::kTypeU64}},
       {{"name", "Orrin::String"}},
       3,
       {true, false, true, false, true, true}},
  };
  spec.referencedTypes = {{0, 2}, {0, 1}, {0, 0}, {Kiva::kThisModule, 1}};
  Kiva::SlotTargets const targets{{Hooks{nullptr, nullptr, &fakeValueOperations,
                                         address(&fakeConstruct), address(&fakeInspect), nullptr},
                                   Hooks{address(&fakeNewEntity), nullptr, &fakeEntityInterface,
                                         nullptr, address(&fakeInspect), address(&fakeIterator)}},
                                  {other}};
  auto const* record = Kiva::encodeTypeModule(spec, targets, "Test", storage, sizeof storage);

  std::size_t const before = ModuleInspectData::loadedModules().size();
  EXPECT_EQ(ModuleInspectData::module(record), nullptr);
  ModuleInspectData::loaded(record);
  ModuleInspectData::loaded(record);  // kept once
  std::vector<ModuleInspectData::Module const*> const all = ModuleInspectData::loadedModules();
  ASSERT_EQ(all.size(), before + 1);
  ModuleInspectData::Module const& m = *all.back();
  EXPECT_EQ(ModuleInspectData::module(record), &m);
  EXPECT_TRUE(m.name.empty() && m.symbol.empty());  // not held in an exported symbol
  ASSERT_EQ(m.types.size(), 2u);

  Type const& v = m.types[0];
  Type const& t = m.types[1];
  EXPECT_EQ(ModuleInspectData::type("Test::Thing"), &t);
  EXPECT_EQ(ModuleInspectData::type(Orrin::TypeData{record, 0}), &v);
  EXPECT_EQ(ModuleInspectData::type(Orrin::TypeData{record, 2}), nullptr);
  EXPECT_EQ(v.sizeWords, 3u);
  EXPECT_EQ(t.sizeWords, 10u);
  EXPECT_TRUE(v.valueType() && !v.abstract());
  EXPECT_TRUE(t.abstract() && !t.valueType());
  EXPECT_EQ(v.base.name, "Other::Base");
  EXPECT_EQ(t.base.name, "Test::Thing");  // a reference to the module itself
  EXPECT_EQ(t.base.type.module, record);

  Attribute const& width = v.at("width");
  EXPECT_EQ(width.number, 700);
  EXPECT_EQ(width.valueType.name, "u8");
  EXPECT_TRUE(width.valueType.fundamental());
  EXPECT_EQ(width.fieldPosition, 4);
  EXPECT_EQ((std::vector<unsigned>{width.extra[0], width.extra[1]}), (std::vector<unsigned>{1, 2}));
  EXPECT_FALSE(width.collection());
  Attribute const& lookup = v.at(701u);
  EXPECT_EQ(lookup.valueType.name, "Other::Small");
  EXPECT_EQ(lookup.valueType.type.module, other);
  EXPECT_EQ(lookup.valueType.type.type, 2u);
  EXPECT_EQ(lookup.keyType.name, "Other::Key");
  EXPECT_EQ(lookup.kind, 0x01);
  EXPECT_EQ(lookup.access, 0x4C);
  EXPECT_EQ(lookup.position, 1);
  EXPECT_EQ(lookup.handle().attributeId(), 701u);

  Attribute const& poke = t.at("poke");
  ASSERT_EQ(poke.args.size(), 3u);
  EXPECT_EQ(poke.args[0].name, "how");
  EXPECT_EQ(ModuleInspectData::type(poke.args[0].type), &v);
  EXPECT_FALSE(poke.args[0].optional);
  EXPECT_TRUE(poke.args[1].optional);
  EXPECT_EQ(poke.args[2].type.name, "Unknown::Type");
  EXPECT_EQ(poke.args[2].type.type.module, nullptr);
  EXPECT_EQ(poke.valueType.name, "none");
  EXPECT_EQ(t.at("count").valueType.name, "u64");
  EXPECT_EQ(t.at(703u).position, 3);
  ASSERT_EQ(t.ctorArgs.size(), 1u);
  EXPECT_EQ(t.ctorArgs[0].type.name, "Orrin::String");

  // Hooks resolve to exactly the functions and tables encoded.
  EXPECT_EQ(v.hooks.valueOperations, &fakeValueOperations);
  EXPECT_EQ(v.hooks.entityInterface, nullptr);
  EXPECT_EQ(address(v.hooks.constructFromCtorArgs), address(&fakeConstruct));
  EXPECT_EQ(address(v.hooks.inspectOperation), address(&fakeInspect));
  EXPECT_EQ(v.hooks.newEntityForDir, nullptr);
  EXPECT_EQ(v.hooks.iterator, nullptr);
  EXPECT_EQ(t.hooks.entityInterface, &fakeEntityInterface);
  EXPECT_EQ(t.hooks.valueOperations, nullptr);
  EXPECT_EQ(address(t.hooks.newEntityForDir), address(&fakeNewEntity));
  EXPECT_EQ(address(t.hooks.iterator), address(&fakeIterator));
  EXPECT_EQ(t.hooks.constructFromCtorArgs, nullptr);
  EXPECT_THROW(Value::construct(t), std::invalid_argument);
}

TYPED_TEST(InspectTable, RecordDecodesToTheDeclaredTypesAttributesAndHooks) {
  using Entry = typename TypeParam::Entry;
  std::string const q(TypeParam::kQualifiedName);
  Type const& e = typeOf<TypeParam>(0);
  Type const& u = typeOf<TypeParam>(1);
  Type const& l = typeOf<TypeParam>(2);
  Type const& t = typeOf<TypeParam>(3);
  EXPECT_EQ(e.name, q + "::Entry");
  EXPECT_EQ(u.name, q + "::Util");
  EXPECT_EQ(l.name, q + "::UtilLoader");
  EXPECT_TRUE(e.valueType());
  EXPECT_TRUE(u.abstract());
  EXPECT_FALSE(t.valueType() || t.abstract());
  EXPECT_EQ(e.base.name, "Asic::EntryBase");
  EXPECT_EQ(u.base.name, "Asic::SwTable::Util");
  EXPECT_EQ(l.base.name, "Sidecar::Core::Loader::Singleton");
  EXPECT_EQ(t.base.name, "Asic::SwKnownIndexTable");
  EXPECT_EQ(e.sizeWords * 4, (sizeof(Entry) + 3) / 4 * 4);
  EXPECT_EQ(t.sizeWords * 4, (sizeof(TypeParam) + 3) / 4 * 4);
  for (Type const* c : {&u, &l}) {
    ASSERT_EQ(c->ctorArgs.size(), 1u);
    EXPECT_EQ(c->ctorArgs[0].name, "name");
    EXPECT_EQ(c->ctorArgs[0].type.name, "Orrin::String");
  }
  EXPECT_TRUE(e.ctorArgs.empty() && t.ctorArgs.empty());

  // Hooks exactly where each type has one.
  auto present = [](Type const& x) {
    auto const& h = x.hooks;
    return std::vector<bool>{h.newEntityForDir != nullptr,
                             h.unused != nullptr,
                             h.valueOperations != nullptr || h.entityInterface != nullptr,
                             h.constructFromCtorArgs != nullptr,
                             h.inspectOperation != nullptr,
                             h.iterator != nullptr};
  };
  EXPECT_EQ(present(e), (std::vector<bool>{0, 0, 1, 1, 1, 0}));
  EXPECT_EQ(present(u), (std::vector<bool>{0, 0, 1, 0, 1, 0}));
  EXPECT_EQ(present(l), (std::vector<bool>{1, 0, 1, 0, 1, 0}));
  EXPECT_EQ(present(t), (std::vector<bool>{0, 0, 1, 1, 1, 1}));
  EXPECT_EQ(e.hooks.entityInterface, nullptr);
  for (Type const* x : {&u, &l, &t}) {
    EXPECT_EQ(x->hooks.entityInterface, &Kiva::GenericIfImpl::kEntityInterface) << x->name;
  }
  // The value operations of Entry end with the runtime's common type check.
  ASSERT_NE(e.hooks.valueOperations, nullptr);
  EXPECT_EQ(e.hooks.valueOperations->inspectVerifyType,
            &Orrin::Inspect::InspectAtomicFnTableCommon::inspectVerifyType);

  // Entry: the two constants, then the fields from position 4 in order,
  // typed as the C++ fields are.
  std::vector<std::string> fieldTypes;
  IfaRuntime::forEachField<Entry>([&](auto const& f) {
    using Traits = typename std::remove_cvref_t<decltype(f)>::Traits;
    fieldTypes.push_back(Traits::kBitWidth    ? "Kiva::U" + std::to_string(Traits::kBits)
                         : Traits::kBits == 8 ? "u8"
                                              : "u32");
  });
  ASSERT_EQ(e.attributes.size(), 2 + fieldTypes.size());
  EXPECT_EQ(e.at(130u).name, "getBlockSizeDefinedByUser");
  EXPECT_EQ(e.at(130u).valueType.name, "bool");
  EXPECT_EQ(e.at(131u).valueType.name, "u64");
  for (std::size_t i = 0; i < fieldTypes.size(); ++i) {
    Attribute const& a = e.attributes[2 + i];
    EXPECT_EQ(a.number, 132 + i);
    EXPECT_EQ(a.fieldPosition, static_cast<int>(4 + i));
    EXPECT_EQ(a.valueType.name, fieldTypes[i]) << a.name;
    EXPECT_EQ(a.kind, 0x00);
    EXPECT_EQ(a.access, 0x1C);
    EXPECT_EQ(&e.at(a.name), &a);
  }

  // The table: 514 to 536, with names, types, keys and arguments.
  ASSERT_EQ(t.attributes.size(), 23u);
  for (std::size_t i = 0; i < 23; ++i) EXPECT_EQ(t.attributes[i].number, 514 + i);
  for (char const* c : {"resolvedEntry", "entry", "syncedEntry"}) {
    EXPECT_EQ(t.at(c).valueType.name, q + "::Entry") << c;
    EXPECT_EQ(t.at(c).keyType.name, "Asic::SwTableBase::Index") << c;
    EXPECT_TRUE(t.at(c).collection());
  }
  EXPECT_FALSE(t.at("entrys").collection());
  EXPECT_EQ(t.at("entrys").valueType.name, "u32");
  EXPECT_EQ(t.at("setResolvedEntryMetaDataDefinedByUser").valueType.name, "u64");
  EXPECT_EQ(t.at("util").valueType.name, q + "::Util");
  EXPECT_EQ(t.at("util").kind, 0x30);
  Attribute const& commit = t.at("entryCommit");
  ASSERT_EQ(commit.args.size(), 2u);
  EXPECT_EQ(commit.args[0].name, "key");
  EXPECT_EQ(commit.args[0].type.name, "Asic::SwTableBase::Index");
  EXPECT_EQ(commit.args[1].name, "entry");
  EXPECT_EQ(ModuleInspectData::type(commit.args[1].type), &e);  // resolved to the module's type
  EXPECT_EQ(commit.valueType.name, "none");
  EXPECT_FALSE(t.at("handleEntry").inspectable());
  EXPECT_FALSE(t.at("cleanup").inspectable());
  EXPECT_EQ(t.at("doRecoverHwTable").args.size(), 4u);

  // Util: only hwTableEntryIs takes an optional argument.
  ASSERT_EQ(u.attributes.size(), 10u);
  Attribute const& write = u.at("hwTableEntryIs");
  ASSERT_EQ(write.args.size(), 3u);
  EXPECT_EQ(
      (std::vector<bool>{write.args[0].optional, write.args[1].optional, write.args[2].optional}),
      (std::vector<bool>{false, false, true}));
  EXPECT_EQ(write.args[0].type.name, q);
  EXPECT_EQ(u.at("dependentFieldValueToHwIndex").valueType.name, "Asic::Index");
  std::vector<std::string> callable;
  for (auto const& a : u.attributes) {
    if (a.inspectable()) callable.emplace_back(a.name);
  }
  EXPECT_EQ(callable,
            (std::vector<std::string>{"minIndex", "maxIndex", "dependentFieldValueToHwIndex"}));
  EXPECT_TRUE(l.attributes.empty());
  EXPECT_THROW(t.at("noSuchAttribute"), std::invalid_argument);
}

// --- Table hooks ---

TYPED_TEST(InspectTable, TableAttributesAnswerWithTheirStatuses) {
  Type const& t = typeOf<TypeParam>(3);
  Type const& e = typeOf<TypeParam>(0);
  Value const table = Value::construct(t);
  TypeParam& c = cpp<TypeParam>(table);
  std::mt19937_64 rng(7);
  Value const entry = randomEntry(e, rng);
  Value const k1 = key(t, 1), k2 = key(t, 2), k3 = key(t, 3);

  // Constants and their refusal of other codes.
  EXPECT_EQ(table.get(t.at("isOwnedByMergeTable")).value->text(), "false");
  EXPECT_EQ(table.get(t.at("isExternalKeyType")).value->text(), "false");
  EXPECT_EQ(table.get(t.at("readAccess")).value->text(), "false");
  EXPECT_EQ(table.get(t.at("writeAccess")).value->text(), "true");
  EXPECT_EQ(table.get(t.at(516u)).value->number(), 0u);
  EXPECT_EQ(table.get(t.at(517u)).value->number(), 0u);
  EXPECT_EQ(table.set(t.at("writeAccess"), entry), Op::statusNotSupported);
  EXPECT_EQ(status(table.memberCount(t.at("entrys"))), Op::statusNotSupported);

  // Key 1 with an entry, key 2 without a value (set up directly), key 3 absent.
  ASSERT_EQ(status(table.call(t.at("entryCommit"), {&k1, &entry})), Op::statusDone);
  c.resolvedEntryIs(2, Kiva::Optional<typename TypeParam::Entry>());
  Attribute const& resolved = t.at("resolvedEntry");
  EXPECT_EQ(status(table.get(resolved, &k2)), Op::statusNoValue);
  EXPECT_EQ(table.contains(resolved, k2).value->text(), "true");
  EXPECT_EQ(status(table.getIfPresent(resolved, k3)), Op::statusAbsent);
  EXPECT_EQ(status(table.getIfPresent(resolved, k2)), Op::statusNoValue);
  Value::Result const got = table.getIfPresent(resolved, k1);
  ASSERT_EQ(got.status, Op::statusDone);
  EXPECT_EQ(got.value->equal(entry).value->text(), "true");
  EXPECT_EQ(status(table.get(resolved, &k3)), Op::statusNoValue);
  EXPECT_EQ(table.contains(resolved, k3).value->text(), "false");
  // Counts include the valueless key; entrys agrees; code 4 is the core's slots.
  EXPECT_EQ(table.memberCount(resolved).value->number(), 2u);
  EXPECT_EQ(table.get(t.at("entrys")).value->number(), 2u);
  EXPECT_EQ(table.secondSize(resolved).value->number(), c.resolvedEntryColl().allocatedSlots());
  EXPECT_GE(table.secondSize(resolved).value->number(), 2u);

  // entry (520): a value or the default; contains is entryHas.
  Attribute const& computed = t.at("entry");
  EXPECT_EQ(table.get(computed, &k1).value->text(), entry.text());
  EXPECT_EQ(table.get(computed, &k2).value->text(), Value::construct(e).text());
  EXPECT_EQ(table.contains(computed, k2).value->text(), "true");
  EXPECT_EQ(table.contains(computed, k3).value->text(), "false");
  EXPECT_EQ(status(table.memberCount(computed)), Op::statusNotSupported);
  EXPECT_EQ(table.call(t.at("entryHas"), {&k2}).value->text(), "true");
  EXPECT_EQ(table.call(t.at("entryHas"), {&k3}).value->text(), "false");

  // syncedEntry (521): the default for an absent key, 4 with get-if-present.
  Attribute const& synced = t.at("syncedEntry");
  c.syncedEntryIs(3, entry.as<typename TypeParam::Entry>());
  EXPECT_EQ(table.get(synced, &k3).value->text(), entry.text());
  EXPECT_EQ(table.get(synced, &k1).value->text(), Value::construct(e).text());
  EXPECT_EQ(status(table.getIfPresent(synced, k1)), Op::statusAbsent);
  EXPECT_EQ(table.getIfPresent(synced, k3).value->text(), entry.text());
  EXPECT_EQ(table.memberCount(synced).value->number(), 1u);
  EXPECT_EQ(table.secondSize(synced).value->number(), c.syncedEntryColl().allocatedSlots());
  EXPECT_EQ(table.contains(synced, k3).value->text(), "true");
  EXPECT_EQ(table.set(synced, entry), Op::statusNotSupported);

  // Functions: get is refused; handleEntry and cleanup refuse every code.
  EXPECT_EQ(status(table.get(t.at("entryHas"), &k1)), Op::statusNotSupported);
  EXPECT_EQ(status(table.get(t.at("minIndex"))), Op::statusNotSupported);
  for (std::uint8_t op : {0, 1, 3, 5, 10, 28}) {
    EXPECT_EQ(status(table.operation(t.at("handleEntry").handle(), op, &k1, nullptr, {})),
              Op::statusNotSupported);
    EXPECT_EQ(status(table.operation(t.at("cleanup").handle(), op, &k1, nullptr, {})),
              Op::statusNotSupported);
    EXPECT_EQ(status(table.operation(handleNumbered537(), op, &k1, nullptr, {})),
              Op::statusNoSuchAttribute);
  }
  // Without a Util: the full index range and no util.
  EXPECT_EQ(table.call(t.at("minIndex")).value->number(), 0u);
  EXPECT_EQ(table.call(t.at("maxIndex")).value->number(), 0xFFFFFFFFu);
  EXPECT_EQ(status(table.call(t.at("util"))), Op::statusNoValue);
  // Still nothing changed by the refused operations.
  EXPECT_EQ(table.get(t.at("entrys")).value->number(), 2u);

  // Removal through the hooks.
  ASSERT_EQ(status(table.call(t.at("entryRemove"), {&k1})), Op::statusDone);
  EXPECT_EQ(status(table.getIfPresent(resolved, k1)), Op::statusAbsent);
  ASSERT_EQ(status(table.call(t.at("entryRemoveAll"))), Op::statusDone);
  EXPECT_EQ(table.get(t.at("entrys")).value->number(), 0u);
}

TYPED_TEST(InspectTable, IteratorOnlyForCollectionsAndHooksOutUntouchedOtherwise) {
  Type const& t = typeOf<TypeParam>(3);
  Value const table = Value::construct(t);
  Op::IterHooks const sentinel{};
  for (auto const& a : t.attributes) {
    Op::IterHooks const* out = &sentinel;
    void* it = t.hooks.iterator(table.object(), nullptr, a.handle(), &out);
    if (a.number >= 519 && a.number <= 521) {
      ASSERT_NE(it, nullptr) << a.name;
      EXPECT_NE(out, &sentinel);
      EXPECT_FALSE(out->iterNonnull(a.handle(), it));  // empty table
      out->iterDel(a.handle(), it);
    } else {
      EXPECT_EQ(it, nullptr) << a.name;
      EXPECT_EQ(out, &sentinel) << a.name;
    }
  }
  Op::IterHooks const* out = &sentinel;
  EXPECT_EQ(t.hooks.iterator(table.object(), nullptr, handleNumbered537(), &out), nullptr);
  EXPECT_EQ(out, &sentinel);
}

// Iteration over 519, 520 and 521 against a model: random keys with values,
// without a value, and synced rows; from the beginning and from a key.
TYPED_TEST(InspectTable, IterationVisitsExactlyTheModelsMembers) {
  using Entry = typename TypeParam::Entry;
  Type const& t = typeOf<TypeParam>(3);
  Value const table = Value::construct(t);
  TypeParam& c = cpp<TypeParam>(table);
  std::mt19937_64 rng(19);
  std::map<std::uint64_t, std::string> resolved, withValue, synced;
  for (int step = 0; step < 400; ++step) {
    std::uint32_t const k = static_cast<std::uint32_t>(rng() % 64);
    Entry const e = IfaTest::randomEntry<Entry>(rng);
    switch (rng() % 5) {
      case 0:
        c.resolvedEntryIs(k, Kiva::Optional<Entry>());
        resolved[k] = "-";
        withValue.erase(k);
        break;
      case 1:
        c.resolvedEntryDel(k);
        resolved.erase(k);
        withValue.erase(k);
        break;
      case 2:
        c.syncedEntryIs(k, e);
        synced[k] = IfaTest::text(e);
        break;
      case 3:
        c.syncedEntryDel(k);
        synced.erase(k);
        break;
      default:
        c.resolvedEntryIs(k, e);
        resolved[k] = withValue[k] = IfaTest::text(e);
        break;
    }
    if (step % 40 != 39) continue;
    EXPECT_EQ(visit(table, t.at(519u)), resolved);
    EXPECT_EQ(visit(table, t.at(520u)), withValue);
    EXPECT_EQ(visit(table, t.at(521u)), synced);
  }
  // From a key: the iteration stands on it first, and visits nothing else
  // than members; 520 from a key without a value is at its end at once.
  for (auto const& [k, text] : resolved) {
    Value const start = key(t, static_cast<std::uint32_t>(k));
    std::vector<std::uint64_t> order;
    auto const seen = visit(table, t.at(519u), &start, &order);
    ASSERT_FALSE(order.empty());
    EXPECT_EQ(order.front(), k);
    for (auto const& [sk, st] : seen) EXPECT_EQ(resolved.at(sk), st);
    order.clear();
    visit(table, t.at(520u), &start, &order);
    if (text == "-") {
      EXPECT_TRUE(order.empty());
    } else {
      ASSERT_FALSE(order.empty());
      EXPECT_EQ(order.front(), k);
    }
  }
}

// --- Construction ---

TYPED_TEST(InspectTable, GenericConstructionMakesTrackedTablesAndDefaultEntries) {
  using Entry = typename TypeParam::Entry;
  Type const& t = typeOf<TypeParam>(3);
  Type const& e = typeOf<TypeParam>(0);
  Kiva::AllocTrackTypeInfo const& tracker = TypeParam::memAllocationTracker_;
  std::int64_t const live = tracker.liveObjects();
  {
    Value const table = Value::construct(t);
    ASSERT_NE(table.node(), nullptr);
    EXPECT_EQ(table.node()->useCount(), 2u);  // the value's reference and node()'s copy
    EXPECT_EQ(tracker.liveObjects(), live + 1);
    Orrin::TypeData const td = t.hooks.entityInterface->typeData(table.object());
    EXPECT_EQ(ModuleInspectData::type(td), &t);
    EXPECT_EQ(table.get(t.at("entrys")).value->number(), 0u);
  }
  EXPECT_EQ(tracker.liveObjects(), live);

  // An entry through the value operations and through its construction hook.
  Value const byValueOps = Value::construct(e);
  EXPECT_TRUE(byValueOps.as<Entry>() == Entry());
  alignas(16) unsigned char storage[sizeof(Entry) + 16];
  e.hooks.constructFromCtorArgs(storage, nullptr);
  Entry* made = std::launder(reinterpret_cast<Entry*>(storage));
  EXPECT_TRUE(*made == Entry());
  Orrin::TypeData const td = e.typeData();
  e.hooks.valueOperations->inspectDestroy(made, &td);
}

// --- Entry hooks ---

TYPED_TEST(InspectTable, EntryConstantsFieldsAndWholeValueOperations) {
  using Entry = typename TypeParam::Entry;
  Type const& e = typeOf<TypeParam>(0);
  Type const& t = typeOf<TypeParam>(3);
  std::mt19937_64 rng(23);
  Value const entry = randomEntry(e, rng);
  std::string const before = entry.text();

  EXPECT_EQ(entry.get(e.at(130u)).value->text(), "false");
  EXPECT_EQ(entry.get(e.at(131u)).value->number(), 0u);
  for (std::uint32_t n : {130u, 131u}) {
    EXPECT_EQ(entry.set(e.at(n), Value::parse(e.at(n).valueType, "1")), Op::statusNotSupported);
    EXPECT_EQ(status(entry.call(e.at(n))), Op::statusNotSupported);
  }
  EXPECT_EQ(entry.text(), before);
  // Another type's attribute numbers are no Entry attributes.
  EXPECT_EQ(status(entry.get(t.at(514u))), Op::statusNoSuchAttribute);
  EXPECT_EQ(status(entry.operation(handleNumbered537(), 0, nullptr, nullptr, {})),
            Op::statusNoSuchAttribute);

  // Fields: set then get gives the value set, at the field's own width; the
  // C++ entry agrees field by field.
  for (int round = 0; round < 20; ++round) {
    std::vector<std::uint64_t> expected;
    for (Attribute const* f : fieldsOf(e)) {
      std::uint64_t const v = rng() % (fieldMax(f->valueType) + 1);
      ASSERT_EQ(entry.set(*f, Value::parse(f->valueType, std::to_string(v))), Op::statusDone);
      Value::Result const back = entry.get(*f);
      ASSERT_EQ(back.status, Op::statusDone);
      EXPECT_EQ(back.value->type().name, f->valueType.name);
      EXPECT_EQ(back.value->number(), v) << f->name;
      expected.push_back(v);
      EXPECT_EQ(status(entry.contains(*f, entry)), Op::statusNotSupported);
    }
    EXPECT_EQ(IfaTest::fieldValues(entry.as<Entry>()), expected);
  }

  // Whole-value operations against the C++ semantics, on random pairs with
  // many equal fields.
  for (int round = 0; round < 200; ++round) {
    Value const a = randomEntry(e, rng);
    Value b = Value::parse(e.ref(), a.text());
    for (Attribute const* f : fieldsOf(e)) {
      if (rng() % 3 == 0) b.set(*f, Value::parse(f->valueType, std::to_string(rng() % 2)));
    }
    Entry const& ca = a.as<Entry>();
    Entry const& cb = b.as<Entry>();
    EXPECT_EQ(a.equal(b).value->text(), (ca == cb) ? "true" : "false");
    EXPECT_EQ(a.less(b).value->text(), (ca <=> cb) < 0 ? "true" : "false");
    EXPECT_EQ(a.differsFromDefault().value->text(), (ca == Entry()) ? "false" : "true");
    EXPECT_EQ(status(a.operation(Kiva::KivaAttr(), Op::opGet, &b, nullptr, {})),
              Op::statusNotSupported);
    // Value table: text round trip and hash of equal values.
    Value const back = Value::parse(e.ref(), a.text());
    EXPECT_EQ(back.equal(a).value->text(), "true");
    Orrin::TypeData const td = e.typeData();
    EXPECT_EQ(e.hooks.valueOperations->inspectGetHash(back.object(), &td),
              e.hooks.valueOperations->inspectGetHash(a.object(), &td));
  }
  if constexpr (IfaRuntime::kFieldCount<Entry> == 0) {
    // An entry with no fields equals every other, is never less, never
    // differs from the default.
    Value const a = Value::construct(e), b = Value::construct(e);
    EXPECT_EQ(a.equal(b).value->text(), "true");
    EXPECT_EQ(a.less(b).value->text(), "false");
    EXPECT_EQ(b.less(a).value->text(), "false");
    EXPECT_EQ(a.differsFromDefault().value->text(), "false");
  }
}

TEST(InspectEntry, TheTwoFieldlessTablesCompareAlwaysEqual) {
  for (char const* name : {"CorvaneInt::IfaMetadataConstructProfile::Entry",
                           "CorvaneInt::IfaMetadataSelectProfile::Entry"}) {
    Type const* e = ModuleInspectData::type(name);
    ASSERT_NE(e, nullptr) << name;
    EXPECT_EQ(e->attributes.size(), 2u);
    Value const a = Value::parse(e->ref(), ""), b = Value::construct(*e);
    EXPECT_EQ(a.equal(b).value->text(), "true");
    EXPECT_EQ(a.less(b).value->text(), "false");
    EXPECT_EQ(a.differsFromDefault().value->text(), "false");
  }
}

// --- Util and UtilLoader hooks ---

TYPED_TEST(InspectTable, UtilCallsReachThePluginsVirtualsAndRefuseTheRest) {
  Type const& t = typeOf<TypeParam>(3);
  Type const& u = typeOf<TypeParam>(1);
  Value const table = Value::construct(t);
  Orrin::Ptr<InspectUtil<TypeParam>> const chip(new InspectUtil<TypeParam>());
  cpp<TypeParam>(table).utilIs(chip);

  Value::Result got = table.call(t.at("util"));
  ASSERT_EQ(got.status, Op::statusDone);
  Value const& util = *got.value;
  EXPECT_EQ(util.node().get(), chip.get());
  EXPECT_EQ(util.decodedType(), &u);
  EXPECT_EQ(util.call(u.at("minIndex")).value->number(), 17u);
  EXPECT_EQ(util.call(u.at("maxIndex")).value->number(), 2047u);
  Value const five = Value::parse(u.at(523u).args[0].type, "5");
  EXPECT_EQ(util.call(u.at("dependentFieldValueToHwIndex"), {&five}).value->number(), 105u);
  // The table's range now comes from the plug-in too.
  EXPECT_EQ(table.call(t.at("minIndex")).value->number(), 17u);
  EXPECT_EQ(table.call(t.at("maxIndex")).value->number(), 2047u);

  for (std::uint8_t op : {0, 1, 3, 28}) {
    for (std::uint32_t n : {514u, 515u, 523u}) {
      EXPECT_EQ(status(util.operation(u.at(n).handle(), op, nullptr, nullptr, u.at(n).valueType)),
                Op::statusNotSupported);
    }
  }
  for (std::uint32_t n = 516; n <= 522; ++n) {
    EXPECT_EQ(status(util.operation(u.at(n).handle(), Op::opCall, nullptr, nullptr, {})),
              Op::statusNotSupported)
        << u.at(n).name;
  }
  EXPECT_TRUE(chip->take().empty());  // the refused calls reached nothing
  EXPECT_EQ(status(util.operation(t.at(524u).handle(), Op::opCall, nullptr, nullptr, {})),
            Op::statusNoSuchAttribute);
  EXPECT_EQ(status(util.operation(handleNumbered537(), Op::opCall, nullptr, nullptr, {})),
            Op::statusNoSuchAttribute);
}

TYPED_TEST(InspectTable, UtilLoaderCreatedByNameOnlyWithoutArguments) {
  using Loader = typename TypeParam::UtilLoader;
  Type const& l = typeOf<TypeParam>(2);
  Kiva::AllocTrackTypeInfo const& tracker = Loader::memAllocationTracker_;
  std::int64_t const live = tracker.liveObjects();
  std::uint64_t const total = tracker.totalAllocations();
  Orrin::String const arg("extra");
  void const* args[] = {&arg};
  EXPECT_THROW(Value::newEntity(l, Orrin::String(l.name), args), Kiva::NewEntityArgsException);
  EXPECT_EQ(tracker.liveObjects(), live);
  EXPECT_EQ(tracker.totalAllocations(), total);
  {
    Value const loader = Value::newEntity(l, Orrin::String(l.name));
    EXPECT_EQ(tracker.liveObjects(), live + 1);
    EXPECT_EQ(Kiva::Entity::fwkType(*loader.node()), l.name);
    auto* made = dynamic_cast<Loader*>(loader.node().get());
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->prefixPath().view(), "AsicFeature");
    EXPECT_EQ(made->suffixPath().view(), TypeParam::kQualifiedName);
    Type const& t = typeOf<TypeParam>(3);
    for (std::uint8_t op : {0, 1, 10}) {
      EXPECT_EQ(status(loader.operation(t.at(514u).handle(), op, nullptr, nullptr, {})),
                Op::statusNoSuchAttribute);
    }
  }
  EXPECT_EQ(tracker.liveObjects(), live);
}

// --- Every table end to end through the registry only ---

TEST(InspectEndToEnd, EveryRegisteredTableAgainstAModel) {
  std::size_t tables = 0;
  for (ModuleInspectData::Module const* m : ModuleInspectData::loadedModules()) {
    for (Type const& t : m->types) {
      if (t.valueType() || t.hooks.constructFromCtorArgs == nullptr) continue;
      SCOPED_TRACE(std::string(t.name));
      ++tables;
      Type const& e = *ModuleInspectData::type(t.at("entryCommit").args[1].type);
      Attribute const& commit = t.at("entryCommit");
      Attribute const& remove = t.at("entryRemove");
      Attribute const& has = t.at("entryHas");
      Value const table = Value::construct(t);
      std::mt19937_64 rng(std::hash<std::string_view>{}(t.name));
      std::map<std::uint64_t, std::string> model;
      for (int step = 0; step < 300; ++step) {
        std::uint32_t const k = static_cast<std::uint32_t>(rng() % 40);
        Value const kv = key(t, k);
        switch (rng() % 8) {
          case 0:
          case 1: {
            ASSERT_EQ(status(table.call(remove, {&kv})), Op::statusDone);
            model.erase(k);
            break;
          }
          case 2:
            if (rng() % 10 == 0) {
              ASSERT_EQ(status(table.call(t.at("entryRemoveAll"))), Op::statusDone);
              model.clear();
            }
            break;
          default: {
            // Through the text form half the time, as a tool would.
            Value entry = randomEntry(e, rng);
            if (rng() % 2) entry = Value::parse(e.ref(), entry.text());
            ASSERT_EQ(status(table.call(commit, {&kv, &entry})), Op::statusDone);
            model[k] = entry.text();
            break;
          }
        }
        // Read back the key touched.
        bool const present = model.count(k) != 0;
        EXPECT_EQ(table.call(has, {&kv}).value->text(), present ? "true" : "false");
        Value::Result const r = table.getIfPresent(t.at("resolvedEntry"), kv);
        if (present) {
          ASSERT_EQ(r.status, Op::statusDone);
          EXPECT_EQ(r.value->text(), model[k]);
        } else {
          EXPECT_EQ(r.status, Op::statusAbsent);
        }
        if (step % 25 != 24) continue;
        EXPECT_EQ(table.get(t.at("entrys")).value->number(), model.size());
        EXPECT_EQ(visit(table, t.at("entry")), model);
        EXPECT_EQ(visit(table, t.at("resolvedEntry")), model);
        EXPECT_TRUE(visit(table, t.at("syncedEntry")).empty());
      }
      for (auto const& [k, text] : model) {
        Value const kv = key(t, static_cast<std::uint32_t>(k));
        ASSERT_EQ(status(table.call(remove, {&kv})), Op::statusDone);
      }
      EXPECT_EQ(table.get(t.at("entrys")).value->number(), 0u);
      EXPECT_TRUE(visit(table, t.at("entry")).empty());
    }
  }
  EXPECT_EQ(tables, 14u);
}

TEST(InspectValue, ScalarsReadTheirTextWithinTheirRange) {
  ModuleInspectData::TypeRef const u3{-1, {}, "Kiva::U3"};
  EXPECT_EQ(Value::parse(u3, "7").number(), 7u);
  EXPECT_EQ(Value::parse(u3, "0x5").number(), 5u);
  EXPECT_THROW(Value::parse(u3, "8"), std::invalid_argument);
  EXPECT_THROW(Value::parse(kU32, "4294967296"), std::invalid_argument);
  EXPECT_THROW(Value::parse(kU32, "12x"), std::invalid_argument);
  EXPECT_THROW(Value::parse(kU32, ""), std::invalid_argument);
  EXPECT_EQ(Value::parse(kU32, " 4294967295 ").text(), "4294967295");
  EXPECT_EQ(Value::parse({Kiva::kTypeBool, {}, "bool"}, "true").text(), "true");
  EXPECT_THROW(Value::parse({-1, {}, "Statebase::MountGroup"}, "1"), std::invalid_argument);
  try {
    Value::parse(u3, "9");
    FAIL();
  } catch (std::invalid_argument const& e) {
    EXPECT_STREQ(e.what(), "value 9 is out of range 0..7 of Kiva::U3");
  }
}

}  // namespace
