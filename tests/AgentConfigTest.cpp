// The agent's configuration reader: what `show` prints, in either form, reads
// back as the same entries, the syntax around entries (comments, blank lines,
// CRLF, hex indices, qualified table names, fields in any order), every
// problem of a text reported with its place and field, and the guesses
// offered for misspelt names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>

#include "TestTables.h"
#include "agent/Config.h"

namespace {

using IfaAgent::closestName;
using IfaAgent::Config;
using IfaAgent::ConfigError;
using IfaAgent::IndexRanges;
using IfaAgent::LineForm;
using IfaAgent::Problem;

// A named line as a person might write it: fields in another order, some
// zero fields left out (not all: a line without entry text is in the full
// form), some values in hex, tabs between tokens.
std::string rewritten(std::string const& line, std::mt19937_64& rng) {
  std::istringstream in(line);
  std::vector<std::string> tokens;
  for (std::string token; in >> token;) tokens.push_back(token);
  std::shuffle(tokens.begin() + 2, tokens.end(), rng);
  std::string out = tokens[0] + "\t" + tokens[1];
  for (std::size_t i = 2; i < tokens.size(); ++i) {
    std::size_t const equals = tokens[i].find('=');
    unsigned long long const value = std::stoull(tokens[i].substr(equals + 1));
    if (value == 0 && i > 2 && rng() % 2) continue;
    char hex[24];
    std::snprintf(hex, sizeof hex, rng() % 2 ? "0x%llx" : "0X%llX", value);
    out += (rng() % 2 ? " " : " \t ") + tokens[i].substr(0, equals + 1) +
           (rng() % 2 ? std::string(hex) : std::to_string(value));
  }
  return out;
}

TEST(AgentConfig, BothFormsOfEveryEntryReadBackAsTheSameEntries) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 60; ++round) {
    IndexRanges ranges;
    std::string text;
    std::size_t line = 0;
    // "Table key" -> fields and line
    std::map<std::string, std::pair<std::vector<std::uint64_t>, std::size_t>> expected;
    IfaRuntime::AllTables::forEach([&]<class Table>() {
      // A range per table: the whole 32-bit span or a short run anywhere.
      std::uint32_t const low = rng() % 3 == 0 ? 0 : static_cast<std::uint32_t>(rng());
      std::uint32_t const high = rng() % 3 == 0
                                     ? 0xFFFFFFFFu
                                     : low + static_cast<std::uint32_t>(std::min<std::uint64_t>(
                                                 rng() % 64, 0xFFFFFFFFu - low));
      ranges[std::string(Table::kQualifiedName)] = {low, high};
      for (int i = 0; i < 4; ++i) {
        auto const key = static_cast<std::uint32_t>(
            rng() % 4 == 0   ? low
            : rng() % 3 == 0 ? high
                             : low + rng() % (std::uint64_t{high} - low + 1));
        auto const entry = IfaTest::randomEntry<typename Table::Entry>(rng);
        std::string const id = std::string(Table::kName) + " " + std::to_string(key);
        if (expected.count(id)) continue;
        expected[id] = {IfaTest::fieldValues(entry), ++line};
        if (rng() % 2) {
          text += IfaAgent::configLine<Table>(key, entry);
        } else {
          std::string const named = IfaAgent::configLine<Table>(key, entry, LineForm::named);
          text += rng() % 2 ? named : rewritten(named, rng);
        }
        text += rng() % 2 ? "\n" : "  # note\r\n";
      }
    });
    Config const config = Config::parse(text, "t.conf", ranges);
    std::size_t seen = 0;
    IfaRuntime::AllTables::forEach([&]<class Table>() {
      for (auto const& item : config.table<Table>().items) {
        std::string const id = std::string(Table::kName) + " " + std::to_string(item.key);
        ASSERT_TRUE(expected.count(id)) << id;
        EXPECT_EQ(IfaTest::fieldValues(item.entry), expected[id].first) << id << "\n" << text;
        EXPECT_EQ(item.line, expected[id].second) << id;
        ++seen;
      }
    });
    EXPECT_EQ(seen, expected.size());
    EXPECT_EQ(config.size(), expected.size());
  }
}

TEST(AgentConfig, SyntaxAroundTheEntries) {
  IndexRanges const ranges = {{"CorvaneInt::IfaPortSwTable", {1, 32}}};
  Config const config = Config::parse(
      "\n   # only a comment\n\t\nCorvaneInt::IfaPortSwTable 0x1f 1#tail\r\n"
      "IfaPortSwTable\t2\t0x0\nIfaMetadataSelectProfile 0xFFFFFFFF\n"
      "IfaSwitchId 0 4294967295\nIfaVectorMatch 7\tbaseHdr=0X7  valid=1#reqVector=3\r\n",
      "t.conf", ranges);
  auto const& ports = config.table<CorvaneInt::IfaPortSwTable>().items;
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(ports[0].key, 31u);
  EXPECT_EQ(ports[0].entry.ifaEnable.value(), 1u);
  EXPECT_EQ(ports[0].line, 4u);
  EXPECT_EQ(ports[1].key, 2u);
  EXPECT_EQ(ports[1].entry.ifaEnable.value(), 0u);
  EXPECT_EQ(config.table<CorvaneInt::IfaMetadataSelectProfile>().items.at(0).key, 0xFFFFFFFFu);
  EXPECT_EQ(config.table<CorvaneInt::IfaSwitchId>().items.at(0).entry.switchId, 0xFFFFFFFFu);
  auto const& match = config.table<CorvaneInt::IfaVectorMatch>().items.at(0);
  EXPECT_EQ(IfaTest::fieldValues(match.entry), (std::vector<std::uint64_t>{1, 0, 7}));
  EXPECT_EQ(config.size(), 5u);
  // The named form: the fields not 0, in declaration order, in the base
  // asked for.
  EXPECT_EQ(IfaAgent::configLine<CorvaneInt::IfaVectorMatch>(3, match.entry, LineForm::named),
            "IfaVectorMatch 3 valid=1 baseHdr=7");
  EXPECT_EQ(IfaAgent::configLine<CorvaneInt::IfaSwitchId>(
                0, config.table<CorvaneInt::IfaSwitchId>().items.at(0).entry, LineForm::named,
                IfaAgent::Base::hex),
            "IfaSwitchId 0 switchId=0xffffffff");
  EXPECT_EQ(IfaAgent::configLine<CorvaneInt::IfaMetadataSelectProfile>(2, {}, LineForm::named),
            "IfaMetadataSelectProfile 2");
}

TEST(AgentConfig, EveryProblemIsReportedWithItsPlaceAndField) {
  IndexRanges const ranges = {{"CorvaneInt::IfaVectorMatch", {0, 63}}};
  try {
    Config::parse(
        "IfaVectorMatch 0 CorvaneInt::IfaVectorMatch::Entry(valid=1, reqVector=2, baseHdr=3)\n"
        "IfaVectorMatch 0 CorvaneInt::IfaVectorMatch::Entry(valid=1, reqVector=2, baseHdr=3)\n"
        "IfaVectorMatch 2 CorvaneInt::IfaVectorMatch::Entry(valid=2, reqVector=2, baseHdr=3)\n"
        "IfaVectorMatch 99\n"
        "IfaVectorMatch 3 CorvaneInt::IfaVectorMatch::Entry(valid=1, baseHdr=3)\r\n"
        "IfaVectorMatch 3 valid=1 reqVector=0x1000 baseHd=3\n"
        "IfaVectorMatch 4 valid=1 valid=0 bogus=1\n"
        "IfaVectorMatch 5 baseHdr=8 reqVector=4096, valid\n"
        "IfaSwitchId 0 SwitchID=1\n"
        "IfaMetadataSelectProfile 2 x=1\n"
        "IfaSflowIngSwTable 1 sampleRate=4294967296 sample=\n"
        "IfaVectorMtch 1\n"
        "corvaneint::ifavectormtch 1\n",
        "v.conf", ranges);
    ADD_FAILURE() << "accepted";
  } catch (ConfigError const& e) {
    std::string found;  // "[field] FILE:LINE:COLUMN: message", one a line
    for (Problem const& p : e.problems()) {
      EXPECT_EQ(p.text(), p.file + ":" + std::to_string(p.line) + ":" + std::to_string(p.column) +
                              ": " + p.message);
      found += "[" + p.field + "] " + p.text() + "\n";
    }
    EXPECT_EQ(
        found,
        R"x([index] v.conf:2:16: IfaVectorMatch: field "index": 0 given twice (first at line 1)
[valid] v.conf:3:58: IfaVectorMatch 2: field "valid": value 2 is out of range 0..1 (at column 58)
[index] v.conf:4:16: IfaVectorMatch: field "index": 99 is outside the table's range 0..63
[reqVector] v.conf:5:61: IfaVectorMatch 3: field "reqVector": expected field name "reqVector" at column 61, found "baseHdr=3)"
[baseHd] v.conf:6:43: IfaVectorMatch 3: field "baseHd": unknown field (did you mean "baseHdr"?)
[valid] v.conf:7:26: IfaVectorMatch 4: field "valid": given twice (first at column 18)
[bogus] v.conf:7:34: IfaVectorMatch 4: field "bogus": unknown field (fields: valid, reqVector, baseHdr)
[baseHdr] v.conf:8:26: IfaVectorMatch 5: field "baseHdr": value 8 is out of range 0..7 (at column 26)
[reqVector] v.conf:8:38: IfaVectorMatch 5: field "reqVector": "4096," is not an unsigned number (decimal or 0x hex)
[valid] v.conf:8:44: IfaVectorMatch 5: field "valid": no "=" after the name (fields are NAME=VALUE)
[SwitchID] v.conf:9:15: IfaSwitchId 0: field "SwitchID": unknown field (did you mean "switchId"?)
[x] v.conf:10:28: IfaMetadataSelectProfile 2: field "x": unknown field (the table has no fields)
[sampleRate] v.conf:11:33: IfaSflowIngSwTable 1: field "sampleRate": value 4294967296 is out of range 0..4294967295 (at column 33)
[sample] v.conf:11:51: IfaSflowIngSwTable 1: field "sample": "" is not an unsigned number (decimal or 0x hex)
[table] v.conf:12:1: field "table": unknown table "IfaVectorMtch" (did you mean "IfaVectorMatch"?)
[table] v.conf:13:1: field "table": unknown table "corvaneint::ifavectormtch" (did you mean "CorvaneInt::IfaVectorMatch"?)
)x");
    EXPECT_STREQ(e.what(), e.problems().front().text().c_str());
    EXPECT_EQ(e.total(), 16u);
  }
  // Excerpts of bad text stop at their limit, escaped, marked only when cut.
  EXPECT_EQ(IfaAgent::excerpt(std::string(24, '7')), std::string(24, '7'));
  EXPECT_EQ(IfaAgent::excerpt(std::string(25, '7')), std::string(24, '7') + "...");
  EXPECT_EQ(IfaAgent::excerpt("a\"\\\x1b\xff", 3), "a\\\"\\\\...");
  EXPECT_EQ(IfaAgent::excerpt("\x1b\xff"), "\\x1b\\xff");
  // Past Config::kMaxProblems problems the rest are only counted.
  std::string many;
  for (int i = 0; i < 150; ++i) many += "Nope 1\n";
  try {
    Config::parse(many, "m.conf", ranges);
    ADD_FAILURE() << "accepted";
  } catch (ConfigError const& e) {
    ASSERT_EQ(e.problems().size(), Config::kMaxProblems);
    EXPECT_EQ(e.problems()[99].text().rfind(
                  "m.conf:100:1: field \"table\": unknown table \"Nope\" (tables: "
                  "IfaActionProfile, IfaActionVector, ",
                  0),
              0u);
    EXPECT_EQ(e.total(), 150u);
    EXPECT_EQ(e.unlisted(), 50u);
  }
}

TEST(AgentConfig, ClosestNameIsAPlausibleTypoOrNothing) {
  std::vector<std::string_view> const fields = {"valid", "reqVector", "baseHdr"};
  EXPECT_EQ(closestName("vaild", fields), "valid");      // two letters swapped
  EXPECT_EQ(closestName("BASEHDR", fields), "baseHdr");  // case alone
  EXPECT_EQ(closestName("reqVec", fields), "");          // 3 edits in 6 letters
  EXPECT_EQ(closestName("", {"a"}), "");
  EXPECT_EQ(closestName("x", {"y"}), "y");  // one edit is always allowed
  // A quarter of the given name's length, rounded down, is the limit.
  EXPECT_EQ(closestName("abcdefgh", {"abcdefXY"}), "abcdefXY");
  EXPECT_EQ(closestName("abcdefgh", {"abcdeXYZ"}), "");
  EXPECT_EQ(closestName("abcdefghijk", {"abcdefghXYZ"}), "");
  // The nearest wins; among equally near ones, the first.
  EXPECT_EQ(closestName("abcdefgh", {"abcdefXY", "abcdefgX", "abcdefgY"}), "abcdefgX");
}

}  // namespace
