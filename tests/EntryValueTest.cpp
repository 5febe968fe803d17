// The entries of all fourteen tables against the field lists written out in
// TableFacts.h: checked assignments, and the text reader's errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "Kiva/StrepToValue.h"
#include "KivaOrrin/ValueToStrep.h"
#include "TableFacts.h"
#include "TestTables.h"

namespace {

using IfaTest::fieldValues;

template <class Entry>
Entry readText(std::string const& text) {
  return Kiva::strepToValue(Orrin::String(text), static_cast<Entry*>(nullptr));
}

template <class Entry>
std::string printText(Entry const& e) {
  return std::string(KivaOrrin::Impl::valueToStrep(e).view());
}

// Each table's entry: its fields as the facts list them, checked on every
// assignment, and every malformed text refused with the field it concerns.
// (Printing, reading and comparing valid entries are checked through the
// registry, InspectRegistryTest.)
TEST(EntryValue, EveryTableAgainstItsFieldList) {
  IfaRuntime::AllTables::forEach([]<class Table>() {
    using Entry = typename Table::Entry;
    IfaTest::TableFact const& fact = IfaTest::tableFact(Table::kName);
    SCOPED_TRACE(fact.table);
    std::vector<IfaTest::FieldFact> declared;
    IfaRuntime::forEachField<Entry>([&](auto const& f) {
      declared.push_back({std::string(f.name), f.kBits});
      // A checked assignment refuses the first value past the field's range.
      Entry e;
      f.set(e, static_cast<std::uint32_t>(f.kMax));
      if (f.kBits < 32) {
        EXPECT_THROW(f.set(e, f.kMax + 1), Orrin::RangeException) << f.name;
      }
      EXPECT_EQ(f.get(e), f.kMax);
    });
    ASSERT_EQ(declared.size(), fact.fields.size());
    for (std::size_t i = 0; i < declared.size(); ++i) {
      EXPECT_EQ(declared[i].name, fact.fields[i].name);
      EXPECT_EQ(declared[i].bits, fact.fields[i].bits) << declared[i].name;
    }
    EXPECT_EQ(fieldValues(Entry()), std::vector<std::uint64_t>(declared.size(), 0));

    std::mt19937_64 rng(std::hash<std::string>{}(fact.table));
    // Errors: the first value past each field's range names the field and
    // where its text stands; the largest value reads.
    Entry const e = IfaTest::randomEntry<Entry>(rng);
    std::vector<std::uint64_t> const values = fieldValues(e);
    for (std::size_t i = 0; i < declared.size(); ++i) {
      std::vector<std::uint64_t> v = values;
      v[i] = fact.fields[i].max();
      EXPECT_EQ(fieldValues(readText<Entry>(IfaTest::entryText(fact, v)))[i], v[i]);
      if (fact.fields[i].bits == 32) continue;
      ++v[i];
      std::string const text = IfaTest::entryText(fact, v);
      try {
        readText<Entry>(text);
        ADD_FAILURE() << "accepted " << text;
      } catch (Orrin::RangeException const& err) {
        EXPECT_EQ(err.field(), declared[i].name);
        EXPECT_EQ(err.maxValue(), fact.fields[i].max());
        EXPECT_EQ(text.substr(err.offset(), err.value().size()), std::to_string(v[i]));
      }
    }
    std::string const good = IfaTest::entryText(fact, values);
    EXPECT_TRUE(readText<Entry>(" \t" + good + "  ") == e);
    for (std::string const& bad : {good + " x", good + ")", good + "("}) {
      EXPECT_THROW(readText<Entry>(bad), Kiva::DeserializeException) << bad;
    }
    if (declared.size() == 0) {
      EXPECT_THROW(readText<Entry>("0"), Kiva::DeserializeException);
    } else if (declared.size() == 1) {
      EXPECT_THROW(readText<Entry>(""), Kiva::DeserializeException);
      // A single field is written bare, never as a named list.
      EXPECT_THROW(
          readText<Entry>("CorvaneInt::" + fact.table + "::Entry(" + declared[0].name + "=0)"),
          Kiva::DeserializeException);
    } else {
      EXPECT_THROW(readText<Entry>("0"), Kiva::DeserializeException);
      std::string other = good;
      other.replace(other.find("::Entry"), 7, "::Entrx");
      EXPECT_THROW(readText<Entry>(other), Kiva::DeserializeException);
      // Each field missing in turn, and each pair of neighbours swapped.
      for (std::size_t i = 0; i < declared.size(); ++i) {
        IfaTest::TableFact less = fact;
        std::vector<std::uint64_t> v = values;
        less.fields.erase(less.fields.begin() + static_cast<std::ptrdiff_t>(i));
        v.erase(v.begin() + static_cast<std::ptrdiff_t>(i));
        try {
          readText<Entry>(IfaTest::entryText(less, v, true));
          ADD_FAILURE() << "accepted without " << declared[i].name;
        } catch (Kiva::DeserializeException const& err) {
          EXPECT_EQ(err.field(), declared[i].name) << err.what();
        }
        if (i + 1 == declared.size()) continue;
        IfaTest::TableFact swapped = fact;
        v = values;
        std::swap(swapped.fields[i], swapped.fields[i + 1]);
        std::swap(v[i], v[i + 1]);
        EXPECT_THROW(readText<Entry>(IfaTest::entryText(swapped, v)), Kiva::DeserializeException)
            << IfaTest::entryText(swapped, v);
      }
    }
  });
}

using namespace CorvaneInt;

TEST(EntryValue, ReaderTakesHexAndWhiteSpaceAndReportsWhere) {
  auto e = readText<IfaVectorMatch::Entry>(
      "  CorvaneInt::IfaVectorMatch::Entry ( valid = 1 ,reqVector=0xFFFFFFFF,  baseHdr=0x7 ) ");
  EXPECT_EQ(fieldValues(e), (std::vector<std::uint64_t>{1, 0xFFFFFFFFu, 7}));
  EXPECT_EQ(readText<IfaSwitchId::Entry>("0XaBc").switchId, 0xABCu);

  try {
    readText<IfaMetadataProfile::Entry>(
        "CorvaneInt::IfaMetadataProfile::Entry(mdSelectProfileId=7, mdConstructProfileId=8)");
    FAIL();
  } catch (Orrin::RangeException const& e) {
    EXPECT_STREQ(e.what(),
                 "field \"mdConstructProfileId\": value 8 is out of range 0..7 (at column 81)");
  }
  try {
    readText<IfaMetadataProfile::Entry>(
        "CorvaneInt::IfaMetadataProfile::Entry(mdSelectProfileId=7; mdConstructProfileId=1)");
    FAIL();
  } catch (Kiva::DeserializeException const& e) {
    EXPECT_STREQ(e.what(),
                 "field \"mdConstructProfileId\": expected \", mdConstructProfileId=\" at column "
                 "58, found \"; mdConstructProfileId=1...\"");
    EXPECT_EQ(e.offset(), 57u);
  }
  try {
    readText<IfaPortSwTable::Entry>("yes");
    FAIL();
  } catch (Kiva::DeserializeException const& e) {
    EXPECT_EQ(e.field(), "ifaEnable");
    EXPECT_STREQ(e.what(),
                 "field \"ifaEnable\": expected an unsigned number at column 1, found \"yes\"");
  }
  EXPECT_THROW(readText<IfaSwitchId::Entry>("4294967296"), Orrin::RangeException);
  EXPECT_THROW(readText<IfaSwitchId::Entry>("99999999999999999999999"), Orrin::RangeException);
  for (char const* bad : {"12abc", "-1", "0x", "1_", "0xg"}) {
    EXPECT_THROW(readText<IfaSwitchId::Entry>(bad), Kiva::DeserializeException) << bad;
  }
}

}  // namespace
