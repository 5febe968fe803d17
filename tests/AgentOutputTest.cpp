// What ifa-agent prints after each command, run as a process: entries with
// every field left out, the listings, the tables a report shows, the values'
// base, the JSON documents, errors and colour.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "AgentProcessSupport.h"

namespace {

using namespace AgentTest;

// An entry given by its table and index alone is the entry whose fields are
// all 0, in a plan and in an apply, for tables of many fields, of one field
// and of none; what is shown reads back as the same entries.
TEST(AgentOutput, AnEntryWithEveryFieldLeftOutIsTheAllZeroEntry) {
  TempDir dir;
  std::string const image = quote(dir.file("chip.img"));
  write(dir.file("empty.conf"),
        "IfaEpRecirc 0\nIfaSwitchId 0\t# one field\nIfaMetadataConstructProfile 1\n");
  std::string const conf = quote(dir.file("empty.conf"));
  Result const plan = agent("plan " + conf + " --json --image " + image);
  ASSERT_EQ(plan.status, 0) << plan.err;
  EXPECT_EQ(json(plan.out)["summary"]["written"], 3);
  Result const apply = agent("apply " + conf + " --create --image " + image);
  ASSERT_EQ(apply.status, 0) << apply.err;
  auto const config = IfaAgent::Config::read(dir.file("empty.conf"), ranges("corvane-sim-a"));
  EXPECT_EQ(config.table<CorvaneInt::IfaEpRecirc>().items.at(0).entry,
            CorvaneInt::IfaEpRecirc::Entry());
  EXPECT_EQ(agent("show --image " + image).out,
            "IfaEpRecirc 0\nIfaMetadataConstructProfile 1\nIfaSwitchId 0\n");
  EXPECT_EQ(agent("show --format full --image " + image).out,
            shown(config, IfaAgent::LineForm::full));
  // Applied again, nothing changes.
  Result const again = agent("plan " + conf + " --detailed-exitcode --image " + image);
  EXPECT_EQ(again.status, 0) << again.out << again.err;
}

// A text report shows the tables a configuration touches (--all-tables shows
// every one; the JSON document always does), lists a write by the fields that
// are not 0, in the base asked for, and says what a cold start created, even
// when it wrote nothing.
TEST(AgentOutput, ReportsShowTheTablesTouchedAndListTheFieldsSet) {
  TempDir dir;
  std::string const path = dir.file("chip.img"), image = quote(path);
  write(dir.file("two.conf"), "IfaSwitchId 0 switchId=0x0a000102\nIfaEpRecirc 3\n");
  std::string const two = quote(dir.file("two.conf"));
  Result const cold = agent("apply " + two + " --create -v --base hex --image " + image);
  ASSERT_EQ(cold.status, 0) << cold.err;
  EXPECT_EQ(cold.out, "cold start: created " + path +
                          " (chip profile \"corvane-sim-a\")\n"
                          "table                           entries    written\n"
                          "IfaEpRecirc                           1          1\n"
                          "IfaSwitchId                           1          1\n"
                          "total                                 2          2\n"
                          "  + IfaEpRecirc 3 (all fields 0)\n"
                          "  + IfaSwitchId 0: switchId=0xa000102\n"
                          "Created " +
                          path + ": 2 written, 0 rewritten, 0 purged, 0 unchanged\n");
  // A warm restart: a table with rows but no change is shown too.
  write(dir.file("one.conf"), "IfaSwitchId 0 switchId=0x0a000103\nIfaEpRecirc 3\n");
  Result const warm = agent("plan " + quote(dir.file("one.conf")) + " -v --image " + image);
  EXPECT_NE(warm.out.find("\nIfaEpRecirc                           1          1          1"),
            std::string::npos)
      << warm.out;
  EXPECT_NE(warm.out.find("\n  ~ IfaSwitchId 0: switchId: 167772418 -> 167772419\n"),
            std::string::npos)
      << warm.out;
  EXPECT_EQ(warm.out.find("IfaActionProfile"), std::string::npos) << warm.out;
  Result const all = agent("plan " + two + " --all-tables --image " + image);
  EXPECT_NE(all.out.find("\nIfaActionProfile                      0          0"), std::string::npos)
      << all.out;
  EXPECT_EQ(std::count(all.out.begin(), all.out.end(), '\n'), 2 + 1 + 14 + 1 + 1) << all.out;
  EXPECT_EQ(json(agent("plan " + two + " --json --image " + image).out)["tables"].size(), 14u);

  // An empty configuration creates an image and says so.
  write(dir.file("empty.conf"), "# nothing yet\n");
  std::string const fresh = dir.file("fresh.img");
  Result const none =
      agent("apply " + quote(dir.file("empty.conf")) + " --create --image " + quote(fresh));
  ASSERT_EQ(none.status, 0) << none.err;
  EXPECT_TRUE(none.out.ends_with("\nCreated " + fresh + ": no entries, nothing written\n"))
      << none.out;
}

// The JSON documents of version 2: the text's short table names with the
// qualified ones beside them, counts named for what they count, the phases
// last, and the problems not listed counted in a field of the error.
TEST(AgentOutput, JsonVersionTwoNamesWhatItCountsInTheDocumentedOrder) {
  TempDir dir;
  std::string const image = quote(dir.file("chip.img"));
  std::string const base = quote(example("base.conf")), changed = quote(example("changed.conf"));
  ASSERT_EQ(agent("apply " + base + " --create --image " + image).status, 0);
  Result const r = agent("apply " + changed + " -v --json --image " + image);
  ASSERT_EQ(r.status, 0) << r.err;
  nlohmann::ordered_json const doc = nlohmann::ordered_json::parse(r.out);
  std::vector<std::string> keys;
  for (auto const& item : doc.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"formatVersion", "command", "mode", "image", "profile",
                                            "tables", "total", "summary", "details", "phases"}));
  EXPECT_EQ(doc["formatVersion"], 2);
  EXPECT_EQ(doc["tables"][0]["table"], "IfaActionProfile");
  EXPECT_EQ(doc["tables"][0]["qualified"], "CorvaneInt::IfaActionProfile");
  // rowsWritten: the rows written whole, new (summary.written) or rewritten.
  EXPECT_EQ(doc["total"]["rowsWritten"], 14);
  EXPECT_EQ(doc["summary"]["written"], 5);
  EXPECT_EQ(doc["summary"]["rewritten"], 9);
  EXPECT_EQ(doc["total"]["rowsPurged"], doc["summary"]["purged"]);
  EXPECT_EQ(doc["details"][0]["table"], "IfaActionProfile");
  EXPECT_EQ(doc["details"][0]["qualified"], "CorvaneInt::IfaActionProfile");
  auto const shown = json(agent("show IfaSwitchId --json --image " + image).out);
  EXPECT_EQ(shown["entries"][0], (nlohmann::json{{"table", "IfaSwitchId"},
                                                 {"qualified", "CorvaneInt::IfaSwitchId"},
                                                 {"key", 0},
                                                 {"fields", {{"switchId", 167772162}}}}));
  auto const tables = json(agent("tables IfaSwitchId --json").out);
  EXPECT_EQ(tables["tables"][0]["table"], "IfaSwitchId");
  EXPECT_EQ(tables["tables"][0]["qualified"], "CorvaneInt::IfaSwitchId");

  // 150 problems: 100 listed, each with its place, and the rest counted.
  std::string many;
  for (int i = 0; i < 150; ++i) many += "Nope 1\n";
  write(dir.file("many.conf"), many);
  Result const bad = agent("plan " + quote(dir.file("many.conf")) + " --json --image " + image);
  EXPECT_EQ(bad.status, 1);
  auto const error = json(bad.out)["error"];
  EXPECT_EQ(error["total"], 150);
  EXPECT_EQ(error["unlisted"], 50);
  ASSERT_EQ(error["problems"].size(), 100u);
  for (auto const& p : error["problems"]) EXPECT_TRUE(p.contains("line")) << p;
  Result const text = agent("plan " + quote(dir.file("many.conf")) + " --image " + image);
  EXPECT_NE(text.err.find("\n" + dir.file("many.conf") + ": 50 more problems not listed\n"),
            std::string::npos);
}

// Colour on a terminal: "+" lines green, "~" yellow, "-" red, errors red;
// none when NO_COLOR is set, when the output is not a terminal, or with
// --color never; --color always colours a file too.
TEST(AgentOutput, ColourOnATerminalOnlyAndNotWithNoColor) {
  TempDir dir;
  std::string const image = quote(dir.file("chip.img"));
  ASSERT_EQ(agent("apply " + quote(example("base.conf")) + " --create --image " + image).status, 0);
  std::string const plan = "plan " + quote(example("changed.conf")) + " -v --image " + image;
  // script(1) gives the agent a pseudo-terminal for both outputs; what it
  // printed comes back on script's standard output.
  auto onTerminal = [&](std::string const& args, std::string const& env) {
    std::string const command = "env -u IFA_CHIP_PROFILE " + env + " script -qec " +
                                quote(std::string(IFA_AGENT_PROGRAM) + " " + args) +
                                " /dev/null >" + quote(dir.file("tty")) + " 2>&1 </dev/null";
    int const raw = std::system(command.c_str());
    Result r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = contents(dir.file("tty"));
    return r;
  };
  std::string const green = "\033[32m  + IfaActionProfile 2: updateUdpIpHdr=1 ifaGns=2";
  std::string const yellow = "\033[33m  ~ IfaActionProfile 1: hoplimit: 32 -> 48\033[0m";
  std::string const red = "\033[31m  - IfaActionVector 1: ifaVersion=2";
  Result const coloured = onTerminal(plan, "");
  EXPECT_EQ(coloured.status, 0) << coloured.out;
  for (std::string const& painted : {green, yellow, red}) {
    EXPECT_NE(coloured.out.find(painted), std::string::npos) << painted << "\n" << coloured.out;
  }
  EXPECT_EQ(onTerminal(plan, "NO_COLOR=1").out.find('\033'), std::string::npos);
  EXPECT_EQ(onTerminal(plan + " --color never", "").out.find('\033'), std::string::npos);
  EXPECT_EQ(agent(plan).out.find('\033'), std::string::npos);
  EXPECT_NE(agent(plan + " --color always").out.find(yellow), std::string::npos);
  // An error, red on a terminal.
  Result const error = onTerminal("show --image " + quote(dir.file("none.img")), "");
  EXPECT_NE(error.out.find("\033[31mifa-agent: no image at "), std::string::npos) << error.out;
  EXPECT_EQ(
      onTerminal("show --image " + quote(dir.file("none.img")), "NO_COLOR=1").out.find('\033'),
      std::string::npos);
}

}  // namespace
