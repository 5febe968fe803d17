// Value semantics of the entries of all fourteen tables: text round trips,
// ordering against a reference model, equality and hashing, and the reader's
// errors (range errors naming the field, wrong order, missing fields,
// leftover text).
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "Kiva/StrepToValue.h"
#include "KivaOrrin/ValueToStrep.h"
#include "TestTables.h"

namespace {

using IfaTest::fieldValues;
using IfaTest::randomEntry;

template <class Entry>
Entry readText(std::string const& text) {
  return Kiva::strepToValue(Orrin::String(text), static_cast<Entry*>(nullptr));
}

template <class Entry>
std::string printText(Entry const& e) {
  return std::string(KivaOrrin::Impl::valueToStrep(e).view());
}

struct FieldText {
  std::string name;
  std::string value;
};

// The text form written independently of the library's printer.
template <class Entry>
std::string composeText(std::vector<FieldText> const& fields) {
  if (fields.empty()) return "";
  if (IfaRuntime::kFieldCount<Entry> == 1 && fields.size() == 1) return fields[0].value;
  std::string text = std::string(Entry::kTypeName) + "(";
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i) text += ", ";
    text += fields[i].name + "=" + fields[i].value;
  }
  return text + ")";
}

template <class Entry>
std::vector<FieldText> fieldTexts(Entry const& e) {
  std::vector<FieldText> out;
  IfaRuntime::forEachField<Entry>([&](auto const& f) {
    out.push_back({std::string(f.name), std::to_string(f.get(e))});
  });
  return out;
}

template <class Table>
class EntryValueTest : public ::testing::Test {};
TYPED_TEST_SUITE(EntryValueTest, IfaTest::AllTableTypes, IfaTest::TableName);

TYPED_TEST(EntryValueTest, DefaultIsAllZeroAndEveryFieldMakesADifference) {
  using Entry = typename TypeParam::Entry;
  Entry const zero;
  for (auto v : fieldValues(zero)) EXPECT_EQ(v, 0u);
  EXPECT_TRUE(Entry::isEq(&zero, &zero));
  std::size_t index = 0;
  IfaRuntime::forEachField<Entry>([&](auto const& f) {
    Entry e;
    f.set(e, 1);
    EXPECT_FALSE(e == zero) << f.name;
    EXPECT_TRUE(e > zero) << f.name;
    EXPECT_EQ(fieldValues(e)[index++], 1u);
  });
  EXPECT_FALSE(Entry::getBlockSizeDefinedByUser);
  EXPECT_EQ(Entry::numDependentFields, 0u);
  EXPECT_EQ(zero.getBlockSize(), 1u);
}

TYPED_TEST(EntryValueTest, PrintedTextReadsBackEqual) {
  using Entry = typename TypeParam::Entry;
  std::mt19937_64 rng(20261205);
  for (int i = 0; i < 2000; ++i) {
    Entry const e = randomEntry<Entry>(rng);
    std::string const text = printText(e);
    ASSERT_EQ(text, composeText<Entry>(fieldTexts(e)));
    Entry const back = readText<Entry>(text);
    ASSERT_TRUE(back == e) << text;
    ASSERT_EQ(fieldValues(back), fieldValues(e)) << text;
  }
}

TYPED_TEST(EntryValueTest, OrderingIsLexicographicUnsignedAndConsistentWithEqualityAndHash) {
  using Entry = typename TypeParam::Entry;
  std::mt19937_64 rng(7);
  for (int i = 0; i < 4000; ++i) {
    Entry const a = randomEntry<Entry>(rng);
    // Half of the pairs share a prefix of fields, so that later fields decide.
    Entry b = randomEntry<Entry>(rng);
    if (i % 2) {
      std::size_t const keep = rng() % (IfaRuntime::kFieldCount<Entry> + 1);
      std::size_t k = 0;
      IfaRuntime::forEachField<Entry>([&](auto const& f) {
        if (k++ < keep) f.set(b, f.get(a));
      });
    }
    auto const model = fieldValues(a) <=> fieldValues(b);
    ASSERT_EQ(a <=> b, model);
    ASSERT_EQ(b <=> a, 0 <=> model);
    ASSERT_EQ(Entry::isEq(&a, &b), model == 0);
    if (model == 0) {
      ASSERT_EQ(Asic::EntryBase::hash(a, 0), Asic::EntryBase::hash(b, 0));
    }
    Entry copy(a);
    ASSERT_TRUE(copy == a);
    copy = b;
    ASSERT_TRUE(copy == b);
  }
}

TYPED_TEST(EntryValueTest, HashSpreadsDistinctEntries) {
  using Entry = typename TypeParam::Entry;
  if constexpr (IfaRuntime::kFieldCount<Entry> == 0) {
    GTEST_SKIP() << "an entry without fields has one value";
  } else {
    std::mt19937_64 rng(11);
    std::vector<std::uint32_t> hashes;
    std::vector<std::vector<std::uint64_t>> values;
    for (int i = 0; i < 500; ++i) {
      Entry e = randomEntry<Entry>(rng);
      values.push_back(fieldValues(e));
      hashes.push_back(Asic::EntryBase::hash(e, 0));
    }
    std::sort(values.begin(), values.end());
    std::size_t const distinctValues = std::unique(values.begin(), values.end()) - values.begin();
    std::sort(hashes.begin(), hashes.end());
    std::size_t const distinctHashes = std::unique(hashes.begin(), hashes.end()) - hashes.begin();
    EXPECT_GE(distinctHashes + 2, distinctValues);
  }
}

TYPED_TEST(EntryValueTest, FirstOutOfRangeValueOfEveryFieldIsARangeErrorNamingTheField) {
  using Entry = typename TypeParam::Entry;
  std::mt19937_64 rng(3);
  std::size_t index = 0;
  IfaRuntime::forEachField<Entry>([&](auto const& f) {
    auto texts = fieldTexts(randomEntry<Entry>(rng));
    texts[index].value = std::to_string(f.kMax + 1);
    std::string const text = composeText<Entry>(texts);
    try {
      readText<Entry>(text);
      ADD_FAILURE() << "accepted " << text;
    } catch (Orrin::RangeException const& e) {
      EXPECT_EQ(e.field(), f.name) << text;
      EXPECT_EQ(e.maxValue(), f.kMax);
      EXPECT_NE(std::string(e.what()).find("\"" + std::string(f.name) + "\""), std::string::npos)
          << e.what();
      EXPECT_EQ(text.substr(e.offset(), e.value().size()), e.value());
    }
    // The largest value is accepted.
    texts[index].value = std::to_string(f.kMax);
    EXPECT_EQ(fieldValues(readText<Entry>(composeText<Entry>(texts)))[index], f.kMax);
    ++index;
  });
}

TYPED_TEST(EntryValueTest, ReaderDemandsEveryFieldInOrderAndNothingAfter) {
  using Entry = typename TypeParam::Entry;
  constexpr std::size_t n = IfaRuntime::kFieldCount<Entry>;
  std::mt19937_64 rng(5);
  Entry const e = randomEntry<Entry>(rng);
  auto const texts = fieldTexts(e);
  std::string const good = composeText<Entry>(texts);

  EXPECT_THROW(readText<Entry>(good + " x"), Kiva::DeserializeException);
  EXPECT_THROW(readText<Entry>(good + ")"), Kiva::DeserializeException);
  // White space around the whole text is not a change.
  EXPECT_TRUE(readText<Entry>("  " + good + "\t") == e);
  if constexpr (n == 0) {
    EXPECT_THROW(readText<Entry>("0"), Kiva::DeserializeException);
    EXPECT_THROW(readText<Entry>(std::string(Entry::kTypeName) + "()"), Kiva::DeserializeException);
  }
  if constexpr (n == 1) {
    // A bare value: the named-list form is not accepted.
    std::string const named =
        std::string(Entry::kTypeName) + "(" + texts[0].name + "=" + texts[0].value + ")";
    EXPECT_THROW(readText<Entry>(named), Kiva::DeserializeException);
    EXPECT_THROW(readText<Entry>(""), Kiva::DeserializeException);
  }
  if constexpr (n >= 2) {
    for (std::size_t i = 0; i < n; ++i) {
      // Each field missing in turn: the error names the field expected there.
      auto missing = texts;
      missing.erase(missing.begin() + static_cast<std::ptrdiff_t>(i));
      try {
        readText<Entry>(composeText<Entry>(missing));
        ADD_FAILURE() << "accepted without " << texts[i].name;
      } catch (Kiva::DeserializeException const& err) {
        EXPECT_EQ(err.field(), texts[i].name) << err.what();
      }
      // Neighbours swapped.
      if (i + 1 < n) {
        auto swapped = texts;
        std::swap(swapped[i], swapped[i + 1]);
        EXPECT_THROW(readText<Entry>(composeText<Entry>(swapped)), Kiva::DeserializeException)
            << composeText<Entry>(swapped);
      }
    }
    // Another table's type name.
    std::string renamed = good;
    renamed.replace(0, std::string("CorvaneInt::Ifa").size(), "CorvaneInt::Ifx");
    EXPECT_THROW(readText<Entry>(renamed), Kiva::DeserializeException);
    // A bare value is not a named list.
    EXPECT_THROW(readText<Entry>("0"), Kiva::DeserializeException);
  }
}

// --- Cases particular to one table ---

using namespace CorvaneInt;

TEST(EntryOrdering, FirstFieldDecidesOverAllLaterFields) {
  IfaActionProfile::Entry high;
  high.updateUdpIpHdr = 1;
  IfaActionProfile::Entry low;
  IfaRuntime::forEachField<IfaActionProfile::Entry>(
      [&](auto const& f) { f.set(low, static_cast<std::uint32_t>(f.kMax)); });
  low.updateUdpIpHdr = 0;
  EXPECT_TRUE(high > low);
  EXPECT_TRUE(low < high);
}

TEST(EntryOrdering, WideFieldsCompareAsUnsigned) {
  IfaSflowIngSwTable::Entry a, b;
  a.sample = 0;
  a.sampleRate = 0xFFFFFFFFu;
  b.sample = 1;
  b.sampleRate = 0;
  EXPECT_TRUE(a < b);
  a.sample = 1;
  a.sampleRate = 0x80000000u;
  b.sampleRate = 1;
  EXPECT_TRUE(a > b);

  IfaMonIngRedirectPktProfile::Entry m200, m1;
  m200.skipL2Learn = 200;
  m1.skipL2Learn = 1;
  EXPECT_TRUE(m200 > m1);
  EXPECT_EQ(printText(m200), "200");
  EXPECT_EQ(readText<IfaMonIngRedirectPktProfile::Entry>("200").skipL2Learn, 200);

  IfaVectorMatch::Entry v;
  v.valid = 1;
  IfaVectorMatch::Entry w;
  w.reqVector = 0xFFFFFFFFu;
  w.baseHdr = 7;
  EXPECT_TRUE(v > w);
}

TEST(EntryOrdering, FieldlessEntriesAreAllEqual) {
  IfaMetadataConstructProfile::Entry a, b;
  EXPECT_TRUE(a == b);
  EXPECT_EQ(a <=> b, std::strong_ordering::equal);
  IfaMetadataSelectProfile::Entry c;
  EXPECT_EQ(printText(c), "");
  EXPECT_TRUE(readText<IfaMetadataSelectProfile::Entry>("") == c);
  EXPECT_EQ(Asic::EntryBase::hash(a, 0), Asic::EntryBase::hash(b, 0));
}

TEST(EntryText, ReadsHexWhiteSpaceAndReportsWhere) {
  auto e = readText<IfaVectorMatch::Entry>(
      "  CorvaneInt::IfaVectorMatch::Entry ( valid = 1 ,reqVector=0xFFFFFFFF,  baseHdr=0x7 ) ");
  EXPECT_EQ(e.valid, 1);
  EXPECT_EQ(e.reqVector, 0xFFFFFFFFu);
  EXPECT_EQ(e.baseHdr, 7);
  EXPECT_EQ(readText<IfaSwitchId::Entry>("4294967295").switchId, 4294967295u);

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
  EXPECT_THROW(readText<IfaPortSwTable::Entry>("2"), Orrin::RangeException);
  EXPECT_THROW(readText<IfaSwitchId::Entry>("4294967296"), Orrin::RangeException);
  EXPECT_THROW(readText<IfaSwitchId::Entry>("99999999999999999999999"), Orrin::RangeException);
  EXPECT_THROW(readText<IfaSwitchId::Entry>("12abc"), Kiva::DeserializeException);
  EXPECT_THROW(readText<IfaSwitchId::Entry>("-1"), Kiva::DeserializeException);
  EXPECT_THROW(readText<IfaSwitchId::Entry>("0x"), Kiva::DeserializeException);
}

TEST(EntryFields, BitWidthTypesCheckEveryAssignment) {
  IfaEpRecirc::Entry e;
  e.cos = 63;
  EXPECT_EQ(e.cos, 63);
  EXPECT_THROW(e.cos = 64, Orrin::RangeException);
  EXPECT_EQ(e.cos, 63);
  using F = std::tuple_element_t<3, decltype(IfaEpRecirc::Entry::fields())>;
  EXPECT_EQ(F::kBits, 6u);
  EXPECT_THROW(F::set(e, 64), Orrin::RangeException);
  IfaActionProfile::Entry p;
  using Hop = std::tuple_element_t<6, decltype(IfaActionProfile::Entry::fields())>;
  EXPECT_THROW(Hop::set(p, 256), Orrin::RangeException);
  Hop::set(p, 255);
  EXPECT_EQ(p.hoplimit, 255);
}

}  // namespace
