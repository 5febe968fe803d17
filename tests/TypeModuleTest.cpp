// IfaActionProfile's type-module record, encoded from the table's declaration
// and read back from its bytes alone: literal expectations for its parts, and
// the parts that hold no address byte for byte against a dump checked in with
// the tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "Kiva/TypeModule.h"
#include "runtime/TableTypeModule.h"
#include "tables/IfaTables.h"

namespace {

// Stand-ins for the platform's modules and the hooks: only their addresses
// matter here.
char const platformModules[6] = {};
void hook() {}
alignas(8) unsigned char storage[16384];

Kiva::TypeModuleRecord const* encodeActionProfile() {
  using Decl = CorvaneInt::decl::IfaActionProfile;
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
  Kiva::AttributeRecord const& attr(int i) const {
    return m->resolve<Kiva::AttributeRecord>(m->attributeRecords)[i];
  }
  std::string typeName(std::uint32_t offset) const {
    return std::string(Kiva::nameAt(m->resolve<char>(m->typeNames), offset));
  }
  std::string attrName(std::uint32_t offset) const {
    return std::string(Kiva::nameAt(m->resolve<char>(m->attributeNames), offset));
  }
  // An argument list as "name:type" items, "?" after an optional one.
  std::vector<std::string> args(std::uint16_t index) const {
    std::vector<std::string> out;
    auto const* t = m->resolve<Kiva::ArgumentTriple>(m->argumentTriples) + index;
    for (; index != 0 && !t->isEnd(); ++t) {
      out.push_back(attrName(t->nameOffset()) + ":" + typeName(t->t) + (t->optional() ? "?" : ""));
    }
    return out;
  }
};

TEST(TypeModule, ActionProfileRecordReadsAsExpected) {
  Decoded d{encodeActionProfile()};
  EXPECT_EQ(d.m->typeCountWord, 0x00010004u);
  EXPECT_EQ(d.m->reserved, 0u);
  auto const* t = d.types();
  std::vector<std::string> names, summary;
  for (int i = 0; i < 4; ++i) {
    names.push_back(d.typeName(t[i].nameOffset()));
    char line[64];
    std::snprintf(line, sizeof line, "%04x %u@%u ctor%u base%u size%u low%03x", t[i].flags,
                  t[i].attributeCount, t[i].firstAttribute, t[i].ctorArgs, t[i].baseType,
                  t[i].sizeWords(), t[i].sizeLowWord & 0x1FFFu);
    summary.emplace_back(line);
  }
  EXPECT_EQ(names,
            (std::vector<std::string>{
                "CorvaneInt::IfaActionProfile::Entry", "CorvaneInt::IfaActionProfile::Util",
                "CorvaneInt::IfaActionProfile::UtilLoader", "CorvaneInt::IfaActionProfile"}));
  EXPECT_EQ(summary,
            (std::vector<std::string>{
                "0041 14@0 ctor0 base1 size6 low200", "0140 10@14 ctor1 base4 size10 low200",
                "0040 0@24 ctor1 base0 size12 low200", "0040 23@24 ctor0 base3 size100 low200"}));
  EXPECT_EQ(d.args(t[1].ctorArgs), (std::vector<std::string>{"name:Orrin::String"}));

  // The attribute names: the empty name first, then sorted, each once.
  std::vector<std::string> attrNames;
  for (std::uint32_t offset = 0; attrNames.empty() || attrNames.back() != "writeAccess";) {
    attrNames.push_back(d.attrName(offset));
    offset += static_cast<std::uint32_t>(attrNames.back().size()) + 1;
  }
  EXPECT_EQ(std::vector<std::string>(attrNames.begin(), attrNames.begin() + 6),
            (std::vector<std::string>{"", "autoCommitSyncedEntries", "baseHdrType",
                                      "byteCountL3Mtu", "chipInfo", "cleanup"}));
  EXPECT_EQ(attrNames[attrNames.size() - 2], "util");
  EXPECT_TRUE(std::is_sorted(attrNames.begin(), attrNames.end()));
  EXPECT_EQ(std::adjacent_find(attrNames.begin(), attrNames.end()), attrNames.end());

  auto const& resolved = d.attr(24 + 5);
  EXPECT_EQ(d.attrName(resolved.nameOffset()), "resolvedEntry");
  EXPECT_EQ(resolved.kindAccess, 0x4C01);
  EXPECT_EQ(resolved.extra, 0x1001);
  EXPECT_EQ(resolved.valueType, 6);
  EXPECT_EQ(resolved.keyType, 5);
  EXPECT_EQ(d.attrName(d.attr(14 + 2).nameOffset()), "hwTableEntryIs");
  EXPECT_EQ(d.args(d.attr(14 + 2).args),
            (std::vector<std::string>{"swTable:CorvaneInt::IfaActionProfile",
                                      "key:Asic::SwTableBase::Index",
                                      "entry:CorvaneInt::IfaActionProfile::Entry?"}));
  EXPECT_EQ(d.args(d.attr(24 + 20).args),
            (std::vector<std::string>{"rg:Asic::HwTableRecoverGroup", "unitId:Asic::UnitId",
                                      "statebaseEm:Statebase::EntityManager",
                                      "chipInfo:Asic::ChipInfo"}));

  // Referenced types, after which the hook table begins: the platform's six,
  // this module's Entry and Util, and U1 to U5 for the entry's fields (which
  // types they name is checked through the registry, InspectRegistryTest).
  EXPECT_EQ(d.m->resolve<char>(d.m->hookTable) - d.m->resolve<char>(d.m->referencedTypes), 13 * 8);
  // Every one names its module through a slot, the module itself too: no
  // address word of the list is 0.
  auto const* refs = d.m->resolve<Kiva::ReferencedType>(d.m->referencedTypes);
  for (int i = 0; i < 13; ++i) EXPECT_NE(refs[i].moduleWord, 0u) << "referenced type " << i;
  EXPECT_EQ(d.m->address(refs[6].moduleWord), d.m);
  EXPECT_EQ(refs[6].type, 0u);
  EXPECT_EQ(d.m->address(refs[7].moduleWord), d.m);
  EXPECT_EQ(refs[7].type, 1u);
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
  std::string const dump = addressFreeDump(encodeActionProfile());
  if (std::getenv("IFA_WRITE_GOLDEN") != nullptr) {
    std::ofstream(path) << dump;
    GTEST_SKIP() << "wrote " << path;
  }
  std::ifstream in(path);
  ASSERT_TRUE(in) << path;
  std::string const golden((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(dump, golden);
}

}  // namespace
