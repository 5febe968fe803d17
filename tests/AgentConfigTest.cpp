// The agent's configuration reader: what `show` prints reads back as the
// same entries, the syntax around entries (comments, blank lines, CRLF, hex
// indices, qualified table names), and every problem of a text reported.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "TestTables.h"
#include "agent/Config.h"

namespace {

using IfaAgent::Config;
using IfaAgent::ConfigError;
using IfaAgent::IndexRanges;

TEST(AgentConfig, PrintedLinesReadBackAsTheSameEntriesForEveryTable) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 50; ++round) {
    std::string text;
    std::map<std::string, std::vector<std::uint64_t>> expected;  // "Table key" -> fields
    IfaRuntime::AllTables::forEach([&]<class Table>() {
      for (int i = 0; i < 3; ++i) {
        auto const key = static_cast<std::uint32_t>(rng() % 1000);
        auto const entry = IfaTest::randomEntry<typename Table::Entry>(rng);
        std::string const id = std::string(Table::kName) + " " + std::to_string(key);
        if (expected.count(id)) continue;
        expected[id] = IfaTest::fieldValues(entry);
        text += IfaAgent::configLine<Table>(key, entry) + (rng() % 2 ? "\n" : "  # note\r\n");
      }
    });
    Config const config = Config::parse(text, "t.conf", {});
    std::size_t seen = 0;
    IfaRuntime::AllTables::forEach([&]<class Table>() {
      for (auto const& item : config.table<Table>().items) {
        std::string const id = std::string(Table::kName) + " " + std::to_string(item.key);
        EXPECT_EQ(IfaTest::fieldValues(item.entry), expected[id]) << id;
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
      "IfaSwitchId 0 4294967295",
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
  EXPECT_EQ(config.size(), 4u);
}

TEST(AgentConfig, EveryProblemIsReportedWithFileLineAndColumn) {
  IndexRanges const ranges = {{"CorvaneInt::IfaVectorMatch", {0, 63}}};
  try {
    Config::parse(
        "IfaVectorMatch 0 CorvaneInt::IfaVectorMatch::Entry(valid=1, reqVector=2, baseHdr=3)\n"
        "IfaVectorMatch 0 CorvaneInt::IfaVectorMatch::Entry(valid=1, reqVector=2, baseHdr=3)\n"
        "IfaVectorMatch 2 CorvaneInt::IfaVectorMatch::Entry(valid=2, reqVector=2, baseHdr=3)\n"
        "IfaVectorMatch 99\n"
        "IfaVectorMatch 3 CorvaneInt::IfaVectorMatch::Entry(valid=1, baseHdr=3)\r\n",
        "v.conf", ranges);
    ADD_FAILURE() << "accepted";
  } catch (ConfigError const& e) {
    EXPECT_EQ([&] { std::vector<std::string> t; for (auto const& p : e.problems()) t.push_back(p.text()); return t; }(),
              (std::vector<std::string>{
                  "v.conf:2:16: IfaVectorMatch: field \"index\": 0 given twice (first at line 1)",
                  "v.conf:3:58: IfaVectorMatch 2: field \"valid\": value 2 is out of range 0..1 "
                  "(at column 58)",
                  "v.conf:4:16: IfaVectorMatch: field \"index\": 99 is outside the table's range "
                  "0..63",
                  "v.conf:5:61: IfaVectorMatch 3: field \"reqVector\": expected field name "
                  "\"reqVector\" at column 61, found \"baseHdr=3)\""}));
    EXPECT_STREQ(e.what(), e.problems().front().text().c_str());
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
    ASSERT_EQ(e.problems().size(), Config::kMaxProblems + 1);
    EXPECT_EQ(e.problems()[99].text().rfind("m.conf:100:1: field \"table\": unknown table \"Nope\"", 0),
              0u);
    EXPECT_EQ(e.problems().back().text(), "m.conf: 50 more problems not listed");
    EXPECT_EQ(e.total(), 150u);
  }
}

}  // namespace
