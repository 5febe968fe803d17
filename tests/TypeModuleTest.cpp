// Type-module records generated from the table declarations, read back from
// their bytes alone and checked against expectations derived independently
// from each table's field list, and against a dump checked in with the tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "Kiva/TypeModule.h"
#include "TestTables.h"
#include "runtime/TableTypeModule.h"

namespace {

// Stand-ins for the platform's modules and the hooks: only their addresses
// matter here.
char const platformModules[6] = {};
void hook() {}
alignas(8) unsigned char storage[16384];

template <class Decl>
Kiva::TypeModuleRecord const* encode() {
  void const* h = reinterpret_cast<void const*>(&hook);
  using Hooks = std::array<void const*, Kiva::kHookSlots>;
  std::vector<Hooks> const hooks{{nullptr, nullptr, h, h, h, nullptr},
                                 {nullptr, nullptr, h, nullptr, h, nullptr},
                                 {h, nullptr, h, nullptr, h, nullptr},
                                 {nullptr, nullptr, h, h, h, h}};
  IfaRuntime::TableModuleParts parts{24, 40, 48, 400, {}};
  for (std::size_t t = 0; t < hooks.size(); ++t) {
    for (std::size_t i = 0; i < Kiva::kHookSlots; ++i) parts.hooks[t][i] = hooks[t][i] != nullptr;
  }
  Kiva::SlotTargets const targets{hooks,
                                  {&platformModules[0], &platformModules[1], &platformModules[2],
                                   &platformModules[3], &platformModules[4], &platformModules[5]}};
  return Kiva::encodeTypeModule(IfaRuntime::tableModuleSpec<Decl>(parts), targets,
                                Decl::kModuleName, storage, sizeof storage);
}

struct Decoded {
  Kiva::TypeModuleRecord const* m;
  Kiva::TypeRecord const* types() const { return m->resolve<Kiva::TypeRecord>(m->typeRecords); }
  Kiva::AttributeRecord const* attrs() const {
    return m->resolve<Kiva::AttributeRecord>(m->attributeRecords);
  }
  char const* typeNames() const { return m->resolve<char>(m->typeNames); }
  char const* attrNames() const { return m->resolve<char>(m->attributeNames); }
  std::string typeName(int t) const {
    return std::string(Kiva::nameAt(typeNames(), types()[t].nameOffset()));
  }
  std::string attrName(Kiva::AttributeRecord const& a) const {
    return std::string(Kiva::nameAt(attrNames(), a.nameOffset()));
  }
  // The (name, type, optional) triples of an argument list.
  std::vector<std::string> args(std::uint16_t index) const {
    std::vector<std::string> out;
    auto const* t = m->resolve<Kiva::ArgumentTriple>(m->argumentTriples) + index;
    for (; index != 0 && !t->isEnd(); ++t) {
      out.push_back(std::string(Kiva::nameAt(attrNames(), t->nameOffset())) + ":" +
                    std::string(Kiva::nameAt(typeNames(), t->t)) + (t->optional() ? "?" : ""));
    }
    return out;
  }
  // All names of a NUL-separated list, in order.
  static std::vector<std::string> names(char const* list, std::size_t count) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < count; ++i) {
      out.emplace_back(list);
      list += out.back().size() + 1;
    }
    return out;
  }
};

TEST(TypeModule, ActionProfileRecordsReadAsDocumented) {
  Decoded d{encode<CorvaneInt::decl::IfaActionProfile>()};
  EXPECT_EQ(d.m->typeCountWord, 4u | (1u << 16));
  EXPECT_EQ(d.m->reserved, 0u);
  auto const* t = d.types();
  EXPECT_EQ(d.typeName(0), "CorvaneInt::IfaActionProfile::Entry");
  EXPECT_EQ(d.typeName(1), "CorvaneInt::IfaActionProfile::Util");
  EXPECT_EQ(d.typeName(2), "CorvaneInt::IfaActionProfile::UtilLoader");
  EXPECT_EQ(d.typeName(3), "CorvaneInt::IfaActionProfile");
  EXPECT_EQ((std::vector<unsigned>{t[0].flags, t[1].flags, t[2].flags, t[3].flags}),
            (std::vector<unsigned>{0x41, 0x140, 0x40, 0x40}));
  EXPECT_EQ(t[0].attributeCount, 14);
  EXPECT_EQ(t[0].firstAttribute, 0);
  EXPECT_EQ(t[1].attributeCount, 10);
  EXPECT_EQ(t[1].firstAttribute, 14);
  EXPECT_EQ(t[2].attributeCount, 0);
  EXPECT_EQ(t[2].firstAttribute, 24);
  EXPECT_EQ(t[3].attributeCount, 23);
  EXPECT_EQ(t[3].firstAttribute, 24);
  EXPECT_EQ(d.args(t[1].ctorArgs), (std::vector<std::string>{"name:Orrin::String"}));
  EXPECT_EQ(t[2].ctorArgs, t[1].ctorArgs);
  EXPECT_EQ(t[0].ctorArgs, 0);
  EXPECT_EQ(t[3].ctorArgs, 0);
  EXPECT_EQ(t[0].sizeWords(), 6u);
  EXPECT_EQ(t[3].sizeWords(), 100u);
  EXPECT_EQ(t[3].sizeLowWord & 0x1FFF, 0x200);
  EXPECT_EQ((std::vector<unsigned>{t[0].baseType, t[1].baseType, t[2].baseType, t[3].baseType}),
            (std::vector<unsigned>{1, 4, 0, 3}));

  // Attribute names: the empty name first, sorted, each once.
  std::set<std::string> all;
  for (int i = 0; i < 47; ++i) all.insert(d.attrName(d.attrs()[i]));
  auto const names = Decoded::names(d.attrNames(), 200);
  EXPECT_EQ(names[0], "");
  EXPECT_EQ(std::vector<std::string>(names.begin() + 1, names.begin() + 6),
            (std::vector<std::string>{"autoCommitSyncedEntries", "baseHdrType", "byteCountL3Mtu",
                                      "chipInfo", "cleanup"}));
  auto const last = std::find(names.begin(), names.end(), "writeAccess");
  ASSERT_NE(last, names.end());
  EXPECT_EQ(*(last - 1), "util");
  EXPECT_TRUE(std::is_sorted(names.begin(), last + 1));
  EXPECT_EQ(std::adjacent_find(names.begin(), last + 1), last + 1);

  // The collections and the Util's hwTableEntryIs.
  auto const* a = d.attrs();
  auto const& resolved = a[24 + 5];
  EXPECT_EQ(resolved.number, 519);
  EXPECT_EQ(resolved.kind(), 0x01);
  EXPECT_EQ(resolved.access(), 0x4C);
  EXPECT_EQ(resolved.extra, 0x1001);
  EXPECT_EQ(resolved.valueType, 6);
  EXPECT_EQ(resolved.keyType, 5);
  auto const& entryIs = a[14 + 2];
  EXPECT_EQ(d.attrName(entryIs), "hwTableEntryIs");
  EXPECT_EQ(entryIs.access(), 0x00);
  EXPECT_EQ(d.args(entryIs.args),
            (std::vector<std::string>{"swTable:CorvaneInt::IfaActionProfile",
                                      "key:Asic::SwTableBase::Index",
                                      "entry:CorvaneInt::IfaActionProfile::Entry?"}));
  auto const& recover = a[24 + 20];
  EXPECT_EQ(d.attrName(recover), "doRecoverHwTable");
  EXPECT_EQ(d.args(recover.args),
            (std::vector<std::string>{"rg:Asic::HwTableRecoverGroup", "unitId:Asic::UnitId",
                                      "statebaseEm:Statebase::EntityManager",
                                      "chipInfo:Asic::ChipInfo"}));
  auto const* hooks = d.m->resolve<Kiva::HookRow>(d.m->hookTable);
  EXPECT_EQ(d.m->resolve<char>(hooks[2].newEntityForDir), reinterpret_cast<char const*>(&hook));
  EXPECT_EQ(hooks[1].newEntityForDir, 0u);
  EXPECT_EQ(hooks[3].unused, 0u);
}

// The parts of a record that hold no address (type records, attribute
// records, argument triples, the two name lists), as hex lines, one per part.
// Each part runs up to the next part of the record, or, for the last, to the
// end of the name "writeAccess".
std::string addressFreeDump(Kiva::TypeModuleRecord const* m) {
  struct Part {
    char const* label;
    std::uint32_t word;
  };
  std::vector<Part> const parts{{"types", m->typeRecords},
                                {"attributes", m->attributeRecords},
                                {"arguments", m->argumentTriples},
                                {"typeNames", m->typeNames},
                                {"attributeNames", m->attributeNames}};
  auto at = [m](std::uint32_t word) {
    return static_cast<std::size_t>(m->resolve<char>(word) - reinterpret_cast<char const*>(m));
  };
  std::vector<std::size_t> starts{
      at(m->typeRecords),    at(m->attributeRecords), at(m->argumentTriples), at(m->typeNames),
      at(m->attributeNames), at(m->referencedTypes),  at(m->hookTable)};
  std::sort(starts.begin(), starts.end());
  std::string out;
  for (Part const& p : parts) {
    char const* begin = m->resolve<char>(p.word);
    auto next = std::upper_bound(starts.begin(), starts.end(), at(p.word));
    std::size_t size = next != starts.end() ? *next - at(p.word) : 0;
    if (p.word == m->attributeNames) {
      std::string_view const list(begin, 4096);
      size = list.find(std::string_view("writeAccess\0", 12)) + 12;
    }
    out += p.label;
    char hex[8];
    for (std::size_t i = 0; i < size; ++i) {
      std::snprintf(hex, sizeof hex, "%s%02x", i % 32 == 0 ? "\n " : "",
                    static_cast<unsigned char>(begin[i]));
      out += hex;
    }
    out += "\n";
  }
  return out;
}

// IfaActionProfile's record, byte for byte, against the dump checked in with
// the tests (IFA_WRITE_GOLDEN=1 writes it anew instead).
TEST(TypeModule, ActionProfileRecordMatchesTheCheckedInDump) {
  std::string const path = std::string(IFA_GOLDEN_DIR) + "/IfaActionProfile.typemodule.txt";
  std::string const dump = addressFreeDump(encode<CorvaneInt::decl::IfaActionProfile>());
  if (std::getenv("IFA_WRITE_GOLDEN") != nullptr) {
    std::ofstream(path) << dump;
    GTEST_SKIP() << "wrote " << path;
  }
  std::ifstream in(path);
  ASSERT_TRUE(in) << path;
  std::string const golden((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(dump, golden);
}

template <class Table>
class TypeModuleAllTables : public ::testing::Test {};
TYPED_TEST_SUITE(TypeModuleAllTables, IfaTest::AllTableTypes, IfaTest::TableName);

TYPED_TEST(TypeModuleAllTables, CountsNumbersAndReferencesFollowTheFieldList) {
  using Decl = typename TypeParam::Declaration;
  using Entry = typename TypeParam::Entry;
  Decoded d{encode<Decl>()};
  auto const* t = d.types();
  std::size_t const n = IfaRuntime::kFieldCount<Entry>;
  ASSERT_EQ(t[0].attributeCount, 2 + n);

  // Field widths, in declaration order, from the field list.
  std::vector<unsigned> bits;
  std::vector<std::string> fieldNames;
  IfaRuntime::forEachField<Entry>([&](auto const& f) {
    bits.push_back(f.kBits);
    fieldNames.emplace_back(f.name);
  });
  std::set<unsigned> uintWidths;
  for (unsigned b : bits) {
    if (b <= 6) uintWidths.insert(b);
  }
  auto const* refs = d.m->resolve<Kiva::ReferencedType>(d.m->referencedTypes);
  std::size_t const refCount = static_cast<std::size_t>(d.m->resolve<char>(d.m->hookTable) -
                                                        d.m->resolve<char>(d.m->referencedTypes)) /
                               sizeof(Kiva::ReferencedType);
  EXPECT_EQ(refCount, 8 + uintWidths.size());
  std::vector<unsigned> uintRefs;
  for (std::size_t i = 8; i < refCount; ++i) {
    EXPECT_EQ(d.m->resolve<char>(refs[i].moduleWord), &platformModules[5]);
    uintRefs.push_back(refs[i].type + 1);
  }
  EXPECT_EQ(uintRefs, std::vector<unsigned>(uintWidths.begin(), uintWidths.end()));
  EXPECT_EQ(refs[6].moduleWord, 0u);
  EXPECT_EQ(refs[6].type, 0u);
  EXPECT_EQ(refs[7].type, 1u);

  auto const* a = d.attrs();
  EXPECT_EQ(a[0].number, 130);
  EXPECT_EQ(a[1].number, 131);
  for (std::size_t i = 0; i < n; ++i) {
    auto const& f = a[2 + i];
    EXPECT_EQ(f.number, 132 + i);
    EXPECT_EQ(f.fieldPosition, static_cast<std::int16_t>(4 + i));
    EXPECT_EQ(d.attrName(f), fieldNames[i]);
    EXPECT_EQ(f.kind(), 0x00);
    EXPECT_EQ(f.access(), 0x1C);
    if (bits[i] == 8) {
      EXPECT_EQ(f.valueType, Kiva::kTypeU8);
    } else if (bits[i] == 32) {
      EXPECT_EQ(f.valueType, Kiva::kTypeU32);
    } else {
      ASSERT_GE(f.valueType, 8);
      EXPECT_EQ(refs[f.valueType].type + 1, bits[i]);
    }
  }
  // Table attributes 514 to 536 in order; inspectable exactly where documented.
  std::set<unsigned> const notServed{525, 536};
  for (int i = 0; i < 23; ++i) {
    auto const& attr = a[t[3].firstAttribute + i];
    EXPECT_EQ(attr.number, 514 + i);
    EXPECT_EQ((attr.access() & Kiva::kAccessInspectable) == 0, notServed.count(attr.number) == 1)
        << attr.number;
  }
  for (int i = 0; i < 10; ++i) {
    auto const& attr = a[t[1].firstAttribute + i];
    EXPECT_EQ(attr.number, 514 + i);
    bool const served = attr.number == 514 || attr.number == 515 || attr.number == 523;
    EXPECT_EQ((attr.access() & Kiva::kAccessInspectable) != 0, served) << attr.number;
  }
  // Type names: the four types and the eleven argument types, sorted, each once.
  auto const typeNames = Decoded::names(d.typeNames(), 15);
  std::size_t bytes = 0;
  for (auto const& name : typeNames) bytes += name.size() + 1;
  EXPECT_LE(static_cast<std::size_t>(d.attrNames() - d.typeNames()) - bytes, 3u);
  EXPECT_TRUE(std::is_sorted(typeNames.begin(), typeNames.end()));
  EXPECT_EQ(std::adjacent_find(typeNames.begin(), typeNames.end()), typeNames.end());
}

}  // namespace
