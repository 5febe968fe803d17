// The runtime's registry of type modules, and every table, entry, Util and
// loader driven through the hooks it decodes from the records: one model run
// per table compares what the hooks answer with a plain model, with the
// table's own C++ interface and with the field lists of TableFacts.h. C++
// calls on a table only set up what the hooks cannot make (keys without a
// value, synced rows, a Util).
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "EngineTestSupport.h"
#include "Kiva/Entity.h"
#include "Kiva/TypeModuleEncoder.h"
#include "Orrin/ModuleInspectData.h"
#include "TableFacts.h"
#include "runtime/IfaSwTableUtilLoader.h"
#include "runtime/TableModule.h"

namespace {

using Orrin::ModuleInspectData;
using Orrin::Value;
using Attribute = ModuleInspectData::Attribute;
using Type = ModuleInspectData::Type;
namespace Op = Orrin::Inspect;

Value key(Type const& table, std::uint32_t n) {
  return Value::parse(table.at("resolvedEntry").keyType, std::to_string(n));
}

std::vector<Attribute const*> fieldsOf(Type const& entry) {
  std::vector<Attribute const*> out;
  for (auto const& a : entry.attributes) {
    if (a.fieldPosition >= 0) out.push_back(&a);
  }
  return out;
}

// A random entry, built through the value operations and the field setters.
Value randomEntry(Type const& entry, IfaTest::TableFact const& fact, std::mt19937_64& rng) {
  Value e = Value::construct(entry);
  std::vector<Attribute const*> const fields = fieldsOf(entry);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    std::uint64_t const max = fact.fields.at(i).max();
    std::uint64_t const v = rng() % 3 == 0 ? max : rng() % 3 == 0 ? 0 : rng() % (max + 1);
    EXPECT_EQ(e.set(*fields[i], Value::parse(fields[i]->valueType, std::to_string(v))),
              Op::statusDone);
  }
  return e;
}

Op::OpStatus status(Value::Result const& r) {
  return r.status;
}
std::string text(Value::Result const& r) {
  return r.status == Op::statusDone && r.value ? r.value->text()
                                               : "status " + std::to_string(r.status);
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

// Handles of attributes numbered as no table's types number theirs, just
// outside each type's range: those of one type of a module made here.
std::vector<Kiva::KivaAttr> foreignHandles() {
  alignas(8) static unsigned char storage[4096];
  static std::vector<Kiva::KivaAttr> const handles = [] {
    static std::vector<std::string> names;
    std::vector<std::uint16_t> numbers{0, 513, 524, 537};
    for (std::uint16_t n = 129; n <= 145; ++n) numbers.push_back(n);
    for (std::uint16_t n : numbers) names.push_back("n" + std::to_string(n));
    Kiva::ModuleDescription description;
    description.types = {{0x0040, "Test::Foreign", 4, {}, {}, 0, {}}};
    for (std::size_t i = 0; i < numbers.size(); ++i) {
      description.types[0].attributes.push_back({numbers[i], names[i], 0x08, 0x28, {0, 0}, -13});
    }
    description.referencedTypes = {{Kiva::kThisModule, 0}};
    auto const* m = Kiva::encodeTypeModule(description, {}, "Foreign", storage, sizeof storage);
    std::vector<Kiva::KivaAttr> out;
    for (std::uint32_t i = 0; i < numbers.size(); ++i) out.emplace_back(m, i);
    return out;
  }();
  return handles;
}

// A chip Util whose answers differ from the library's defaults (no hardware
// table behind it).
template <class Table>
struct InspectUtil : IfaTest::RecordingUtil<Table> {
  InspectUtil() { this->applyTracker = false; }
  std::uint32_t minIndex() const override { return 17; }
  std::uint32_t maxIndex() const override { return 2047; }
  Asic::Index dependentFieldValueToHwIndex(Asic::Index v) const override { return v + 100; }
};

template <class F>
void const* address(F f) {
  return reinterpret_cast<void const*>(f);
}

// What an attribute's record says, with the table's own name shortened to T.
std::string signature(Attribute const& a, std::string const& table) {
  auto shorten = [&](std::string_view name) {
    std::string s(name);
    if (s.starts_with(table)) s = "T" + s.substr(table.size());
    return s;
  };
  char bytes[32];
  std::snprintf(bytes, sizeof bytes, " %02x/%02x/%02x%02x ", a.kind, a.access, a.extra[0],
                a.extra[1]);
  std::string out = std::to_string(a.number) + " " + std::string(a.name) + bytes +
                    shorten(a.valueType.name) + "[" + shorten(a.keyType.name) + "](";
  for (auto const& arg : a.args) {
    out += std::string(arg.name) + ":" + shorten(arg.type.name) + (arg.optional ? "? " : " ");
    if (shorten(arg.type.name).starts_with("T")) {
      EXPECT_NE(ModuleInspectData::type(arg.type), nullptr);
    }
  }
  return out + ")";
}

// A module registered after the first query, encoded here, decoded from its
// bytes alone: a type of another module as base and attribute type, and
// every hook slot filled with an address of its own.
TEST(InspectRegistry, DecodesAModuleRegisteredLaterFromItsBytesAlone) {
  alignas(8) static unsigned char otherStorage[1024], storage[2048];
  Kiva::ModuleDescription other;
  for (char const* name : {"Other::Base", "Other::Key", "Other::Small"}) {
    other.types.push_back({0x0040, name, 4, {}, {}, 0, {}});
  }
  other.referencedTypes = {{Kiva::kThisModule, 0}};
  auto const* otherRecord = Kiva::encodeTypeModule(other, {}, "Other", otherStorage, 1024);
  Kiva::ModuleDescription description;
  description.types = {{0x0141,
                        "Test::Thing",
                        44,
                        {{701, "lookup", 0x01, 0x4C, {0x01, 0x10}, 0, {}, 1, -1}},
                        {{"name", "Test::Thing"}, {"maybe", "Unknown::Type", true}},
                        2,
                        {true, true, true, true, true, true}}};
  description.referencedTypes = {{0, 2}, {0, 1}, {0, 0}};
  static char const h[6] = {};
  Kiva::SlotTargets const targets{{{&h[0], &h[1], &h[2], &h[3], &h[4], &h[5]}}, {otherRecord}};
  auto const* record =
      Kiva::encodeTypeModule(description, targets, "Test", storage, sizeof storage);

  std::size_t const before = ModuleInspectData::loadedModules().size();
  EXPECT_EQ(ModuleInspectData::module(record), nullptr);
  ModuleInspectData::loaded(record);
  ModuleInspectData::loaded(record);  // kept once
  std::vector<ModuleInspectData::Module const*> const all = ModuleInspectData::loadedModules();
  ASSERT_EQ(all.size(), before + 1);
  ModuleInspectData::Module const& m = *all.back();
  EXPECT_EQ(ModuleInspectData::module(record), &m);
  EXPECT_TRUE(m.name.empty() && m.symbol.empty());  // not held in an exported symbol
  ASSERT_EQ(m.types.size(), 1u);
  Type const& t = m.types[0];
  EXPECT_EQ(ModuleInspectData::type("Test::Thing"), &t);
  EXPECT_EQ(ModuleInspectData::type(Orrin::TypeData{record, 0}), &t);
  EXPECT_EQ(ModuleInspectData::type(Orrin::TypeData{record, 1}), nullptr);
  EXPECT_EQ(t.sizeWords, 11u);
  EXPECT_TRUE(t.valueType() && t.abstract());
  EXPECT_EQ(t.base.name, "Other::Base");
  Attribute const& lookup = t.at(701u);
  EXPECT_EQ(lookup.valueType.type.module, otherRecord);
  EXPECT_EQ(lookup.valueType.type.type, 2u);
  EXPECT_EQ(signature(lookup, "Test::Thing"), "701 lookup 01/4c/0110 Other::Small[Other::Key]()");
  EXPECT_EQ(lookup.handle().attributeId(), 701u);
  ASSERT_EQ(t.ctorArgs.size(), 2u);
  EXPECT_EQ(ModuleInspectData::type(t.ctorArgs[0].type), &t);
  EXPECT_TRUE(!t.ctorArgs[0].optional && t.ctorArgs[1].optional);
  EXPECT_EQ(t.ctorArgs[1].type.name, "Unknown::Type");
  EXPECT_EQ(t.ctorArgs[1].type.type.module, nullptr);
  auto const& k = t.hooks;
  EXPECT_EQ((std::vector<void const*>{address(k.newEntityForDir), k.unused, k.valueOperations,
                                      address(k.constructFromCtorArgs), address(k.inspectOperation),
                                      address(k.iterator)}),
            (std::vector<void const*>{&h[0], &h[1], &h[2], &h[3], &h[4], &h[5]}));
  EXPECT_EQ(k.entityInterface, nullptr);
  EXPECT_THROW(t.at("noSuchAttribute"), std::invalid_argument);
}

template <class Table>
Type const& typeOf(std::uint32_t number) {
  using Module = IfaRuntime::TableModule<typename Table::Declaration>;
  Type const* t = ModuleInspectData::type(Module::typeData(number));
  if (t == nullptr) throw std::logic_error("no decoded type");
  return *t;
}

// Every table's four types as the records give them: names, bases, hooks,
// the entry's fields as the facts list them, and the Util's and table's
// attributes the same as IfaActionProfile's.
TEST(InspectTables, EveryTableDecodesToItsFieldsAndTheCommonAttributes) {
  std::vector<std::string> firstUtil, firstTable;
  IfaRuntime::AllTables::forEach([&]<class Table>() {
    IfaTest::TableFact const& fact = IfaTest::tableFact(Table::kName);
    std::string const q = "CorvaneInt::" + fact.table;
    SCOPED_TRACE(q);
    std::string layout;
    for (std::uint32_t i = 0; i < 4; ++i) {
      Type const& x = typeOf<Table>(i);
      auto const& h = x.hooks;
      layout += std::string(x.name) + " : " + std::string(x.base.name) + " " +
                (x.valueType() ? "value " : "") + (x.abstract() ? "abstract " : "") +
                (x.ctorArgs.size() == 1 ? std::string(x.ctorArgs[0].name) + ":" +
                                              std::string(x.ctorArgs[0].type.name) + " "
                                        : "") +
                (h.newEntityForDir ? "n" : "-") + (h.unused ? "u" : "-") +
                (h.valueOperations   ? "v"
                 : h.entityInterface ? "e"
                                     : "-") +
                (h.constructFromCtorArgs ? "c" : "-") + (h.inspectOperation ? "i" : "-") +
                (h.iterator ? "t" : "-") + "\n";
      if (h.entityInterface) {
        EXPECT_EQ(h.entityInterface, &Kiva::GenericIfImpl::kEntityInterface);
      }
    }
    EXPECT_EQ(layout, q + "::Entry : Asic::EntryBase value --vci-\n" + q +
                          "::Util : Asic::SwTable::Util abstract name:Orrin::String --e-i-\n" + q +
                          "::UtilLoader : Sidecar::Core::Loader::Singleton name:Orrin::String "
                          "n-e-i-\n" +
                          q + " : Asic::SwKnownIndexTable --ecit\n");
    Type const& e = typeOf<Table>(0);
    EXPECT_EQ(e.hooks.valueOperations->inspectVerifyType,
              &Orrin::Inspect::InspectAtomicFnTableCommon::inspectVerifyType);
    ASSERT_EQ(e.attributes.size(), 2 + fact.fields.size());
    EXPECT_EQ(signature(e.attributes[0], q), "130 getBlockSizeDefinedByUser 08/28/0000 bool[]()");
    EXPECT_EQ(signature(e.attributes[1], q), "131 numDependentFields 08/28/0000 u64[]()");
    for (std::size_t i = 0; i < fact.fields.size(); ++i) {
      Attribute const& a = e.attributes[2 + i];
      EXPECT_EQ(signature(a, q), std::to_string(132 + i) + " " + fact.fields[i].name +
                                     " 00/1c/0102 " + fact.fields[i].typeName() + "[]()");
      EXPECT_EQ(a.fieldPosition, static_cast<int>(4 + i));
    }
    std::vector<std::string> util, table;
    for (auto const& a : typeOf<Table>(1).attributes) util.push_back(signature(a, q));
    for (auto const& a : typeOf<Table>(3).attributes) table.push_back(signature(a, q));
    EXPECT_TRUE(typeOf<Table>(2).attributes.empty());
    if (firstUtil.empty()) {
      firstUtil = util;
      firstTable = table;
    }
    EXPECT_EQ(util, firstUtil);
    EXPECT_EQ(table, firstTable);
  });
  // The first table's records, as the runtime reads them (their bytes are
  // pinned by TypeModuleTest's dump).
  ASSERT_EQ(firstTable.size(), 23u);
  EXPECT_EQ(firstTable[16],
            "530 entryCommit 11/08/0000 none[](key:Asic::SwTableBase::Index entry:T::Entry )");
  EXPECT_EQ(firstTable[17], "531 util 30/08/1400 T::Util[]()");
  EXPECT_EQ(firstUtil.at(2),
            "516 hwTableEntryIs 10/00/0000 none[](swTable:T key:Asic::SwTableBase::Index "
            "entry:T::Entry? )");
  EXPECT_EQ(firstUtil.at(9),
            "523 dependentFieldValueToHwIndex 10/08/0000 Asic::Index[]("
            "dependentField:Asic::Index )");
}

// One table through its hooks: a random sequence of changes, each key read
// back through every operation that reads it, against a model and the
// table's C++ interface; entries' fields and whole-value operations against
// the C++ entry; and the statuses of everything the hooks refuse.
template <class Table>
void modelRun() {
  using Entry = typename Table::Entry;
  IfaTest::TableFact const& fact = IfaTest::tableFact(Table::kName);
  Type const& e = typeOf<Table>(0);
  Type const& u = typeOf<Table>(1);
  Type const& l = typeOf<Table>(2);
  Type const& t = typeOf<Table>(3);
  Kiva::AllocTrackTypeInfo const& tracker = Table::memAllocationTracker_;
  std::int64_t const live = tracker.liveObjects();
  Value const table = Value::construct(t);
  EXPECT_EQ(tracker.liveObjects(), live + 1);
  Table& c = *static_cast<Table*>(table.node().get());
  EXPECT_EQ(ModuleInspectData::type(t.hooks.entityInterface->typeData(table.object())), &t);
  std::string const none = Value::construct(e).text();
  std::mt19937_64 rng(std::hash<std::string>{}(fact.table));
  {
    // Rows read back from hardware are adopted as resolved entries.
    Value const restarted = Value::construct(t);
    std::map<std::uint64_t, std::string> rows;
    for (std::uint32_t k : {3u, 9u, 4000u}) {
      Entry const row = IfaTest::randomEntry<Entry>(rng);
      static_cast<Table*>(restarted.node().get())->syncedEntryIs(k, row);
      rows[k] = IfaTest::text(row);
    }
    ASSERT_EQ(status(restarted.call(t.at("autoCommitSyncedEntries"))), Op::statusDone);
    EXPECT_EQ(visit(restarted, t.at("resolvedEntry")), rows);
  }

  // Keys below 32 change through the hooks, keys from 32 only by synced rows
  // (a synced row under a resolved key would need hardware). "-" is a key
  // without a value.
  std::map<std::uint64_t, std::string> resolved, synced;
  for (int step = 0; step < 400; ++step) {
    std::uint32_t const k = static_cast<std::uint32_t>(rng() % 48);
    Value const kv = key(t, k);
    Entry const row = IfaTest::randomEntry<Entry>(rng);
    switch (k < 32 ? rng() % 8 : 7) {
      case 0:
      case 1:
        ASSERT_EQ(status(table.call(t.at("entryRemove"), {&kv})), Op::statusDone);
        resolved.erase(k);
        break;
      case 2:
        if (rng() % 8 != 0) break;
        ASSERT_EQ(status(table.call(t.at("entryRemoveAll"))), Op::statusDone);
        resolved.clear();
        break;
      case 3:
        c.resolvedEntryIs(k, Kiva::Optional<Entry>());
        resolved[k] = "-";
        break;
      case 7:
        if (rng() % 3 == 0) {
          if (synced.erase(k)) c.syncedEntryDel(k);
        } else {
          c.syncedEntryIs(k, row);
          synced[k] = IfaTest::text(row);
        }
        break;
      default: {
        // Through the text form half the time, as a tool would.
        Value entry = randomEntry(e, fact, rng);
        if (rng() % 2) entry = Value::parse(e.ref(), entry.text());
        ASSERT_EQ(status(table.call(t.at("entryCommit"), {&kv, &entry})), Op::statusDone);
        resolved[k] = entry.text();
        break;
      }
    }
    bool const member = resolved.count(k) != 0, hasRow = synced.count(k) != 0;
    std::string const value = member ? resolved[k] : "-";
    std::string const got =
        text(table.call(t.at("entryHas"), {&kv})) + " | " + text(table.get(t.at(519u), &kv)) +
        " | " + text(table.getIfPresent(t.at(519u), kv)) + " | " +
        text(table.contains(t.at(519u), kv)) + " | " + text(table.get(t.at(520u), &kv)) + " | " +
        text(table.contains(t.at(520u), kv)) + " | " + text(table.get(t.at(521u), &kv)) + " | " +
        text(table.getIfPresent(t.at(521u), kv)) + " | " + text(table.contains(t.at(521u), kv));
    std::string const valueOr3 = value == "-" ? "status 3" : value;
    std::string const has = member ? "true" : "false";
    EXPECT_EQ(got, has + " | " + valueOr3 + " | " + (member ? valueOr3 : "status 4") + " | " + has +
                       " | " + (value == "-" ? none : value) + " | " + has + " | " +
                       (hasRow ? synced[k] : none) + " | " + (hasRow ? synced[k] : "status 4") +
                       " | " + (hasRow ? "true" : "false"));
    EXPECT_EQ(text(table.get(t.at(520u), &kv)), IfaTest::text(c.entry(k)));
    if (step % 40 != 39) continue;

    std::map<std::uint64_t, std::string> withValue;
    for (auto const& [rk, rv] : resolved) {
      if (rv != "-") withValue[rk] = rv;
    }
    EXPECT_EQ(visit(table, t.at(519u)), resolved);
    EXPECT_EQ(visit(table, t.at(520u)), withValue);
    EXPECT_EQ(visit(table, t.at(521u)), synced);
    EXPECT_EQ(text(table.memberCount(t.at(519u))) + " " + text(table.get(t.at("entrys"))) + " " +
                  text(table.memberCount(t.at(521u))) + " " + text(table.secondSize(t.at(519u))) +
                  " " + text(table.secondSize(t.at(521u))),
              std::to_string(resolved.size()) + " " + std::to_string(resolved.size()) + " " +
                  std::to_string(synced.size()) + " " +
                  std::to_string(c.resolvedEntryColl().allocatedSlots()) + " " +
                  std::to_string(c.syncedEntryColl().allocatedSlots()));
    // From a key: the iteration stands on it first and visits only members;
    // over 520 it is at its end at once on a key without a value.
    for (auto const* model : {&resolved, &synced}) {
      for (auto const& [mk, mv] : *model) {
        Value const start = key(t, static_cast<std::uint32_t>(mk));
        for (std::uint32_t n : model == &synced ? std::vector{521u} : std::vector{519u, 520u}) {
          std::vector<std::uint64_t> order;
          for (auto const& [vk, vv] : visit(table, t.at(n), &start, &order)) {
            EXPECT_EQ((n == 521 ? synced : resolved).at(vk), vv);
          }
          EXPECT_EQ(order.empty() ? ~0ull : order.front(), n == 520 && mv == "-" ? ~0ull : mk);
        }
      }
    }
  }

  // Constants, refusals, and numbers that name no attribute of the table.
  Value const k1 = key(t, 1);
  std::string constants;
  for (std::uint32_t n : {514u, 515u, 516u, 517u, 526u, 527u}) {
    constants += text(table.get(t.at(n))) + " ";
    EXPECT_EQ(table.set(t.at(n), k1), Op::statusNotSupported);
  }
  EXPECT_EQ(constants, "false false 0 0 false true ");
  EXPECT_EQ(text(table.memberCount(t.at("entrys"))) + text(table.memberCount(t.at(520u))) +
                text(table.get(t.at("entryHas"), &k1)) + text(table.get(t.at("minIndex"))),
            "status 1status 1status 1status 1");
  for (std::uint8_t op : {0, 1, 3, 5, 10, 28}) {
    for (char const* refused : {"handleEntry", "cleanup"}) {
      EXPECT_EQ(status(table.operation(t.at(refused).handle(), op, &k1, nullptr, {})),
                Op::statusNotSupported);
    }
    for (Kiva::KivaAttr const& h : foreignHandles()) {
      if (h.attributeId() < 514 || h.attributeId() > 536) {
        EXPECT_EQ(status(table.operation(h, op, &k1, nullptr, {})), Op::statusNoSuchAttribute);
      }
    }
  }
  // The iterator hook makes iterators only for the three collections, and
  // leaves the hooks out alone otherwise.
  Op::IterHooks const sentinel{};
  std::vector<Kiva::KivaAttr> handles = foreignHandles();
  for (auto const& a : t.attributes) handles.push_back(a.handle());
  for (Kiva::KivaAttr const& h : handles) {
    Op::IterHooks const* out = &sentinel;
    void* it = t.hooks.iterator(table.object(), nullptr, h, &out);
    EXPECT_EQ(it != nullptr, h.attributeId() >= 519 && h.attributeId() <= 521) << h.attributeId();
    EXPECT_EQ(out != &sentinel, it != nullptr) << h.attributeId();
    if (it) out->iterDel(h, it);
  }

  // Without a Util: the full range and no Util; with one, the plug-in's
  // answers through its virtual functions, and nothing else reaches it.
  EXPECT_EQ(text(table.call(t.at("minIndex"))) + " " + text(table.call(t.at("maxIndex"))) + " " +
                text(table.call(t.at("util"))),
            "0 4294967295 status 3");
  Orrin::Ptr<InspectUtil<Table>> const chip(new InspectUtil<Table>());
  c.utilIs(chip);
  Value::Result got = table.call(t.at("util"));
  ASSERT_EQ(got.status, Op::statusDone);
  Value const& util = *got.value;
  EXPECT_EQ(util.node().get(), chip.get());
  EXPECT_EQ(util.decodedType(), &u);
  Value const five = Value::parse(u.at(523u).args[0].type, "5");
  EXPECT_EQ(text(util.call(u.at("minIndex"))) + " " + text(util.call(u.at("maxIndex"))) + " " +
                text(util.call(u.at("dependentFieldValueToHwIndex"), {&five})) + " " +
                text(table.call(t.at("minIndex"))) + " " + text(table.call(t.at("maxIndex"))),
            "17 2047 105 17 2047");
  for (auto const& a : u.attributes) {
    for (std::uint8_t op : {0, 1, 3, 10, 28}) {
      if (op == Op::opCall && (a.number <= 515 || a.number == 523)) continue;
      EXPECT_EQ(status(util.operation(a.handle(), op, nullptr, nullptr, {})),
                Op::statusNotSupported)
          << a.name;
    }
  }
  EXPECT_TRUE(chip->take().empty());
  for (Kiva::KivaAttr const& h : foreignHandles()) {
    if (h.attributeId() < 514 || h.attributeId() > 523) {
      EXPECT_EQ(status(util.operation(h, Op::opCall, nullptr, nullptr, {})),
                Op::statusNoSuchAttribute)
          << h.attributeId();
    }
  }

  // The loader: created by name only, without construction arguments.
  using Loader = typename Table::UtilLoader;
  Kiva::AllocTrackTypeInfo const& loaders = Loader::memAllocationTracker_;
  std::int64_t const liveLoaders = loaders.liveObjects();
  Orrin::String const arg("extra");
  void const* args[] = {&arg};
  EXPECT_THROW(Value::newEntity(l, Orrin::String(l.name), args), Kiva::NewEntityArgsException);
  EXPECT_EQ(loaders.liveObjects(), liveLoaders);
  {
    Value const loader = Value::newEntity(l, Orrin::String(l.name));
    EXPECT_EQ(loaders.liveObjects(), liveLoaders + 1);
    EXPECT_EQ(Kiva::Entity::fwkType(*loader.node()), l.name);
    auto* made = dynamic_cast<Loader*>(loader.node().get());
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->suffixPath().view(), Table::kQualifiedName);
    for (std::uint8_t op : {0, 1, 10}) {
      EXPECT_EQ(status(loader.operation(t.at(514u).handle(), op, nullptr, nullptr, {})),
                Op::statusNoSuchAttribute);
    }
  }
  EXPECT_EQ(loaders.liveObjects(), liveLoaders);

  // Entries: fields set and read through the hooks agree with the C++ entry
  // and keep their width; whole-value operations agree with its operators.
  std::vector<Attribute const*> const fields = fieldsOf(e);
  Orrin::TypeData const td = e.typeData();
  std::set<std::uint32_t> hashes;
  std::set<std::vector<std::uint64_t>> distinct;
  for (int round = 0; round < 300; ++round) {
    Value const a = randomEntry(e, fact, rng);
    Entry const& ca = a.as<Entry>();
    EXPECT_EQ(a.text(), IfaTest::entryText(fact, IfaTest::fieldValues(ca)));
    std::vector<std::uint64_t> expected;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      std::uint64_t const v = rng() % (fact.fields[i].max() + 1);
      ASSERT_EQ(a.set(*fields[i], Value::parse(fields[i]->valueType, std::to_string(v))),
                Op::statusDone);
      Value::Result const back = a.get(*fields[i]);
      EXPECT_EQ(std::string(back.value->type().name) + " " + text(back),
                fact.fields[i].typeName() + " " + std::to_string(v));
      expected.push_back(v);
    }
    EXPECT_EQ(IfaTest::fieldValues(ca), expected);
    Value b = Value::parse(e.ref(), a.text());
    EXPECT_EQ(text(b.equal(a)), "true");
    EXPECT_EQ(e.hooks.valueOperations->inspectGetHash(b.object(), &td),
              Asic::EntryBase::hash(ca, 0));
    for (Attribute const* f : fields) {
      if (rng() % 3 == 0) b.set(*f, Value::parse(f->valueType, std::to_string(rng() % 2)));
    }
    Entry const& cb = b.as<Entry>();
    // Lexicographic over the fields as unsigned numbers; equal entries hash
    // alike and distinct ones mostly not.
    EXPECT_EQ(ca <=> cb, IfaTest::fieldValues(ca) <=> IfaTest::fieldValues(cb));
    EXPECT_EQ(ca == cb, IfaTest::fieldValues(ca) == IfaTest::fieldValues(cb));
    if (ca == cb) {
      EXPECT_EQ(Asic::EntryBase::hash(ca, 0), Asic::EntryBase::hash(cb, 0));
    }
    hashes.insert(Asic::EntryBase::hash(ca, 0));
    distinct.insert(IfaTest::fieldValues(ca));
    EXPECT_EQ(text(a.equal(b)) + text(a.less(b)) + text(b.less(a)) + text(a.differsFromDefault()),
              std::string(ca == cb ? "true" : "false") + ((ca <=> cb) < 0 ? "true" : "false") +
                  ((cb <=> ca) < 0 ? "true" : "false") + (ca == Entry() ? "false" : "true"));
  }
  EXPECT_GE(hashes.size() + 2, distinct.size());
  Value const entry = randomEntry(e, fact, rng);
  std::string const before = entry.text();
  EXPECT_EQ(text(entry.get(e.at(130u))) + " " + text(entry.get(e.at(131u))), "false 0");
  for (Attribute const& a : e.attributes) {
    if (a.number <= 131) {
      EXPECT_EQ(entry.set(a, Value::parse(a.valueType, "1")), Op::statusNotSupported);
    }
    EXPECT_EQ(status(entry.call(a)), Op::statusNotSupported) << a.name;
    EXPECT_EQ(status(entry.contains(a, entry)), Op::statusNotSupported) << a.name;
  }
  for (Kiva::KivaAttr const& h : foreignHandles()) {
    if (h.attributeId() < 130 || h.attributeId() >= 132 + fields.size()) {
      EXPECT_EQ(status(entry.operation(h, Op::opGet, nullptr, nullptr, {})),
                Op::statusNoSuchAttribute)
          << h.attributeId();
    }
  }
  EXPECT_EQ(status(entry.operation(Kiva::KivaAttr(), Op::opGet, &entry, nullptr, {})),
            Op::statusNotSupported);
  EXPECT_EQ(entry.text(), before);
  // The entry's construction hook makes the default entry.
  alignas(16) unsigned char storage[sizeof(Entry) + 16];
  e.hooks.constructFromCtorArgs(storage, nullptr);
  Entry* made = std::launder(reinterpret_cast<Entry*>(storage));
  EXPECT_EQ(IfaTest::fieldValues(*made), std::vector<std::uint64_t>(fields.size(), 0));
  e.hooks.valueOperations->inspectDestroy(made, &td);
}

TEST(InspectTables, EveryTableThroughItsHooksAgainstAModel) {
  IfaRuntime::AllTables::forEach([]<class Table>() {
    SCOPED_TRACE(std::string(Table::kName));
    Kiva::AllocTrackTypeInfo const& tracker = Table::memAllocationTracker_;
    std::int64_t const live = tracker.liveObjects();
    modelRun<Table>();
    EXPECT_EQ(tracker.liveObjects(), live);
  });
}

TEST(InspectValue, ScalarsReadTheirTextWithinTheirRange) {
  ModuleInspectData::TypeRef const u3{-1, {}, "Kiva::U3"}, u32{Kiva::kTypeU32, {}, "u32"};
  EXPECT_EQ(Value::parse(u3, "7").number(), 7u);
  EXPECT_EQ(Value::parse(u3, "0x5").number(), 5u);
  EXPECT_THROW(Value::parse(u3, "8"), std::invalid_argument);
  EXPECT_THROW(Value::parse(u32, "4294967296"), std::invalid_argument);
  EXPECT_THROW(Value::parse(u32, "12x"), std::invalid_argument);
  EXPECT_THROW(Value::parse(u32, ""), std::invalid_argument);
  EXPECT_EQ(Value::parse(u32, " 4294967295 ").text(), "4294967295");
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
