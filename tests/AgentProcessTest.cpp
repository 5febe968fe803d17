// ifa-agent run as a process over the simulated chip plug-in: the demo's
// exact output, cold start then warm restarts with exact figures, plan
// agreeing with the apply that follows, the phases an apply reports, the
// corpus of bad configurations, refused images, and an agent killed at random
// points of an apply.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "AgentProcessSupport.h"
#include "TestTables.h"
#include "agent/Config.h"
#include "agent/ExitStatus.h"
#include "chip/AsicImage.h"
#include "chip/ChipProfile.h"
#include "chip/SimChip.h"
#include "host/IfaHost.h"

namespace {

using namespace AgentTest;
namespace fs = std::filesystem;

// The golden text `name` with IMAGE replaced by `image`.
std::string golden(std::string const& name, std::string const& image) {
  std::string text = contents(std::string(IFA_GOLDEN_DIR) + "/" + name);
  for (std::size_t at; (at = text.find("IMAGE")) != std::string::npos;) text.replace(at, 5, image);
  return text;
}

TEST(AgentProcess, DemoPrintsTheColdStartAndTheWarmRestartWithExactFigures) {
  TempDir dir;
  std::string const image = dir.file("demo.img");
  Result const r = agent("demo --image " + quote(image));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  // The report's exact text, kept in tests/golden with IMAGE for the path.
  EXPECT_EQ(r.out, golden("demo.txt", image));
  // The hardware holds the changed configuration.
  auto const changed = IfaAgent::Config::read(example("changed.conf"), ranges("corvane-sim-a"));
  EXPECT_EQ(agent("show --image " + quote(image)).out, shown(changed));
  // Without --image the demo leaves nothing behind; --json prints both
  // reports as one document.
  Result const again = agent("demo --json");
  EXPECT_EQ(again.status, 0) << again.err;
  auto const both = json(again.out);
  EXPECT_EQ(both["command"], "demo");
  EXPECT_EQ(both["coldStart"]["summary"]["written"], 29);
  EXPECT_EQ(both["warmRestart"]["summary"],
            (nlohmann::json{{"written", 5}, {"rewritten", 9}, {"purged", 5}, {"unchanged", 15}}));
}

TEST(AgentProcess, PlanPredictsTheApplyThatFollowsAndListsEachChangeTheEngineMakes) {
  TempDir dir;
  std::string const path = dir.file("chip.img"), image = quote(path);
  std::string const base = quote(example("base.conf")), changed = quote(example("changed.conf"));

  Result const coldPlan = agent("plan " + base + " --json --image " + image);
  ASSERT_EQ(coldPlan.status, 0) << coldPlan.err;
  EXPECT_FALSE(fs::exists(path));
  Result const cold = agent("apply " + base + " --create --json --image " + image);
  ASSERT_EQ(cold.status, 0) << cold.err;
  auto const coldReport = json(cold.out), coldPlanned = json(coldPlan.out);
  EXPECT_EQ(coldReport["formatVersion"], 2);
  EXPECT_EQ(coldReport["mode"], "cold");
  // An apply reports its phases (a cold start neither reads back nor
  // purges); a plan reports none.
  EXPECT_EQ(coldReport["phases"]["syncUs"], 0);
  EXPECT_EQ(coldReport["phases"]["purgeUs"], 0);
  EXPECT_FALSE(coldPlanned.contains("phases"));
  EXPECT_EQ(figures(coldReport).size(), 14u);
  EXPECT_EQ(coldPlanned["total"], coldReport["total"]);
  EXPECT_EQ(coldPlanned["summary"],
            (nlohmann::json{{"written", 29}, {"rewritten", 0}, {"purged", 0}, {"unchanged", 0}}));

  // The plan of the changed configuration: every change as the engine makes
  // it, the fields that change and the summary, exactly; "changes present"
  // under --detailed-exitcode. It writes nothing, and the apply that follows
  // reports the same figures.
  std::string const before = contents(path);
  Result const text = agent("plan " + changed + " --verbose --detailed-exitcode --image " + image);
  EXPECT_EQ(text.status, 2) << text.err;
  EXPECT_EQ(text.out, golden("plan-changed.txt", path));
  // --wide keeps the line the listing cuts at 100 columns whole: here the
  // write a cold start would make of IfaActionProfile 0.
  auto const config = IfaAgent::Config::read(example("base.conf"), ranges("corvane-sim-a"));
  auto const& profiles = config.table<CorvaneInt::IfaActionProfile>().items;
  auto const zero =
      std::find_if(profiles.begin(), profiles.end(), [](auto& i) { return i.key == 0; });
  ASSERT_NE(zero, profiles.end());
  std::string const whole =
      IfaAgent::configLine<CorvaneInt::IfaActionProfile>(0, zero->entry, IfaAgent::LineForm::named);
  std::string const line = "\n  + IfaActionProfile 0: " + whole.substr(19) + "\n";
  ASSERT_GT(line.size(), 102u);
  std::string const absent = quote(dir.file("absent.img"));
  EXPECT_NE(agent("plan " + base + " -v --wide --image " + absent).out.find(line),
            std::string::npos);
  EXPECT_NE(agent("plan " + base + " -v --image " + absent).out.find(line.substr(0, 98) + "...\n"),
            std::string::npos);
  Result const plan = agent("plan " + changed + " --json --image " + image);
  ASSERT_EQ(plan.status, 0) << plan.err;
  EXPECT_EQ(contents(path), before) << "plan wrote to the image";
  Result const warm = agent("apply " + changed + " --json --image " + image);
  ASSERT_EQ(warm.status, 0) << warm.err;
  auto warmReport = json(warm.out), planned = json(plan.out);
  ASSERT_TRUE(warmReport.contains("phases")) << warm.out;
  warmReport.erase("phases");
  planned["command"] = "apply";
  EXPECT_EQ(warmReport, planned);
  EXPECT_EQ(warmReport["total"], (nlohmann::json{{"entries", 29},
                                                 {"readBack", 29},
                                                 {"matched", 15},
                                                 {"mismatched", 9},
                                                 {"missing", 5},
                                                 {"stale", 5},
                                                 {"rowsWritten", 14},
                                                 {"rowsPurged", 5}}));

  // Going back: per key, the JSON listing holds one change per figure.
  Result const back = agent("plan " + base + " --verbose --json --image " + image);
  ASSERT_EQ(back.status, 0) << back.err;
  auto const listed = json(back.out);
  std::map<std::string, int> ops;
  for (auto const& c : listed["details"]) ++ops[c["op"]];
  EXPECT_EQ(ops["write"], listed["total"]["missing"]);
  EXPECT_EQ(ops["rewrite"], listed["total"]["mismatched"]);
  EXPECT_EQ(ops["purge"], listed["total"]["stale"]);
  // The rewrite the text listing shows as "hoplimit: 32 -> 48", going back.
  auto const hoplimit =
      std::find_if(listed["details"].begin(), listed["details"].end(),
                   [](auto const& c) { return c["table"] == "IfaActionProfile" && c["key"] == 1; });
  ASSERT_NE(hoplimit, listed["details"].end()) << back.out;
  EXPECT_EQ((*hoplimit)["fields"], (nlohmann::json{{"hoplimit", {{"from", 48}, {"to", 32}}}}));

  // A replay of the same configuration changes nothing and writes nothing.
  std::string const applied = contents(path);
  Result const same = agent("plan " + changed + " --detailed-exitcode --image " + image);
  EXPECT_EQ(same.status, 0) << same.err;
  EXPECT_TRUE(same.out.ends_with("\nNo changes.\n")) << same.out;
  Result const replay = agent("apply " + changed + " --json --image " + image);
  ASSERT_EQ(replay.status, 0);
  EXPECT_EQ(json(replay.out)["total"]["matched"], 29);
  EXPECT_EQ(contents(path), applied) << "a replay of the same configuration wrote";
  // Show one table, by either name, in either form and base.
  Result const one = agent("show IfaSwitchId --image " + image);
  EXPECT_EQ(one.out, "IfaSwitchId 0 switchId=167772162\n");
  EXPECT_EQ(agent("show CorvaneInt::IfaSwitchId --image " + image).out, one.out);
  EXPECT_EQ(agent("show IfaSwitchId --format full --image " + image).out,
            "IfaSwitchId 0 167772162\n");
  EXPECT_EQ(agent("show IfaSwitchId --base hex --image " + image).out,
            "IfaSwitchId 0 switchId=0xa000002\n");
}

TEST(AgentProcess, ARowWithBitsOutsideItsFieldsIsARewriteInEveryListing) {
  TempDir dir;
  std::string const path = dir.file("chip.img"), image = quote(path);
  ASSERT_EQ(agent("apply " + quote(example("base.conf")) + " --create --image " + image).status, 0);
  // An IfaVectorMatch row is 37 bits in 5 bytes: set bit 38, outside every
  // field, of the row of key 2. Decoded, the row still equals its entry.
  SimChip::ImageLayout const layout = SimChip::imageLayout(SimChip::profile("corvane-sim-a"));
  std::size_t region = 0;
  while (layout.regions[region].table != "CorvaneInt::IfaVectorMatch") ++region;
  {
    SimChip::AsicImage chip(layout);
    chip.open(path, false);
    chip.rowToWrite(region, 2)[4] |= 0x40;
    chip.sync();
  }
  Result const plan =
      agent("plan " + quote(example("base.conf")) + " --verbose --json --image " + image);
  ASSERT_EQ(plan.status, 0) << plan.err;
  auto const report = json(plan.out);
  EXPECT_EQ(report["total"]["mismatched"], 1);
  ASSERT_EQ(report["details"].size(), 1u) << plan.out;
  auto const& change = report["details"][0];
  EXPECT_EQ(change["op"], "rewrite");
  EXPECT_EQ(change["key"], 2);
  EXPECT_EQ(change["fields"], nlohmann::json::object());
  std::string const before = change["rowBefore"], after = change["rowAfter"];
  EXPECT_EQ(before.substr(0, 4), "0x4" + after.substr(3, 1)) << before << " " << after;
  EXPECT_EQ(before.substr(4), after.substr(4));
  Result const text = agent("plan " + quote(example("base.conf")) + " --verbose --image " + image);
  EXPECT_NE(
      text.out.find("\n  ~ IfaVectorMatch 2: row " + before + " -> " + after +
                    " (no field differs)\n0 to write, 1 to rewrite, 0 to purge, 28 unchanged\n"),
      std::string::npos)
      << text.out;
  // The apply rewrites it, and says so with --verbose.
  Result const apply =
      agent("apply " + quote(example("base.conf")) + " --verbose --image " + image);
  EXPECT_NE(apply.out.find("  ~ IfaVectorMatch 2: row " + before + " -> " + after),
            std::string::npos)
      << apply.out;
  EXPECT_TRUE(agent("plan " + quote(example("base.conf")) + " --image " + image)
                  .out.ends_with("\nNo changes.\n"));
}

TEST(AgentProcess, EveryBadConfigurationIsRejectedWithItsPlaceAndTheImageIsUntouched) {
  TempDir dir;
  std::string const image = dir.file("chip.img");
  ASSERT_EQ(
      agent("apply " + quote(example("base.conf")) + " --create --image " + quote(image)).status,
      0);
  std::string const before = contents(image);
  std::vector<fs::path> files;
  for (auto const& e : fs::directory_iterator(IFA_BAD_CONFIG_DIR)) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  ASSERT_GE(files.size(), 10u);
  for (fs::path const& file : files) {
    std::string const text = contents(file.string());
    std::string const expect = text.substr(10, text.find('\n') - 10);  // after "# expect: "
    for (bool withImage : {true, false}) {
      std::string const target = withImage ? image : dir.file("absent.img");
      Result const r = agent("apply " + quote(file.string()) + " --image " + quote(target));
      EXPECT_EQ(r.status, 1) << file;
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, file.string() + ":" + expect +
                           "\nifa-agent: configuration rejected (1 problem); nothing written\n");
      // With --json, the problem's parts.
      Result const j = agent("plan " + quote(file.string()) + " --json --image " + quote(target));
      EXPECT_EQ(j.status, 1);
      auto const problem = json(j.out)["error"]["problems"][0];
      EXPECT_EQ(problem["file"], file.string());
      EXPECT_EQ(std::to_string(int(problem["line"])) + ":" +
                    std::to_string(int(problem["column"])) + ": " + std::string(problem["message"]),
                expect);
      EXPECT_EQ(expect.find("field \"" + std::string(problem.value("field", "")) + "\""),
                expect.find("field \""))
          << j.out;
    }
    EXPECT_EQ(contents(image), before) << file;
    EXPECT_FALSE(fs::exists(dir.file("absent.img"))) << file;
  }
  // All problems of a file are reported together.
  write(dir.file("many.conf"), "IfaFoo 1\nIfaSwitchId 9 1\n\n# fine\nIfaSwitchId 0 1\n");
  Result const many = agent("apply " + quote(dir.file("many.conf")) + " --image " + quote(image));
  EXPECT_EQ(many.status, 1);
  EXPECT_NE(many.err.find(dir.file("many.conf") + ":1:1: field \"table\""), std::string::npos);
  EXPECT_NE(many.err.find(dir.file("many.conf") + ":2:13: IfaSwitchId: field \"index\""),
            std::string::npos);
  EXPECT_NE(many.err.find("(2 problems)"), std::string::npos);
  EXPECT_EQ(contents(image), before);
}

TEST(AgentProcess, AnImageThatIsNotThisChipsIsRefusedAndLeftAlone) {
  TempDir dir;
  std::string const image = dir.file("chip.img");
  std::string const base = quote(example("base.conf"));
  ASSERT_EQ(agent("apply " + base + " --create --image " + quote(image)).status, 0);

  // Another chip profile.
  Result const other =
      agent("apply " + base + " --image " + quote(image), "IFA_CHIP_PROFILE=corvane-sim-small");
  // The base configuration fits the small profile too: the image is refused.
  EXPECT_EQ(other.status, 3);
  write(dir.file("small.conf"), "IfaSwitchId 0 5\n");
  std::string const before = contents(image);
  Result const refused =
      agent("apply " + quote(dir.file("small.conf")) + " --image " + quote(image),
            "IFA_CHIP_PROFILE=corvane-sim-small");
  EXPECT_EQ(refused.status, 3);
  EXPECT_EQ(refused.err, "ifa-agent: image " + image +
                             ": made for chip profile \"corvane-sim-a\", this chip is "
                             "\"corvane-sim-small\"\n");
  EXPECT_EQ(contents(image), before);

  // A damaged magic.
  std::string damaged = before;
  damaged[1] = 'X';
  write(image, damaged);
  for (std::string const& command : {"apply " + base, "plan " + base, std::string("show")}) {
    Result const r = agent(command + " --image " + quote(image));
    EXPECT_EQ(r.status, 3) << command;
    EXPECT_EQ(r.err, "ifa-agent: image " + image +
                         ": not an IFA ASIC image (no \"IFAASIC\" magic in a 4096-byte header)\n");
  }
  EXPECT_EQ(contents(image), damaged);
  Result const none = agent("show --image " + quote(dir.file("none.img")));
  EXPECT_EQ(none.status, 3);
  EXPECT_EQ(none.err, "ifa-agent: no image at " + dir.file("none.img") + "\n");
  Result const badProfile = agent("show --image " + quote(image), "IFA_CHIP_PROFILE=nope");
  EXPECT_EQ(badProfile.status, 4);
  // Reported once, as what it is.
  EXPECT_EQ(badProfile.err,
            "ifa-agent: IFA_CHIP_PROFILE: unknown chip profile \"nope\" (known: "
            "\"corvane-sim-a\", \"corvane-sim-small\")\n");
  Result const badJson = agent("tables --json", "IFA_CHIP_PROFILE=nope");
  EXPECT_EQ(badJson.err, "");
  EXPECT_EQ(json(badJson.out)["error"]["message"],
            "IFA_CHIP_PROFILE: unknown chip profile "
            "\"nope\" (known: \"corvane-sim-a\", "
            "\"corvane-sim-small\")");
}

// The guard rails of apply: a path where nothing is gets no image (nor a lock
// file) without --create, and a configuration that claims none of the rows an
// image holds is refused, the image's bytes untouched, without
// --allow-purge-all.
TEST(AgentProcess, ApplyCreatesOnlyWithCreateAndPurgesEveryRowOnlyWhenAllowed) {
  TempDir dir;
  std::string const image = dir.file("chip.img");
  std::string const base = quote(example("base.conf"));
  Result const missing = agent("apply " + base + " --image " + quote(image));
  EXPECT_EQ(missing.status, 3);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err, "ifa-agent: no image at " + image +
                             "; nothing was created (--create to cold-start one)\n");
  EXPECT_TRUE(fs::is_empty(dir.file("")))
      << "left behind: " << fs::directory_iterator(dir.file(""))->path();
  Result const plan = agent("plan " + base + " --image " + quote(image));
  ASSERT_EQ(plan.status, 0) << plan.err;
  EXPECT_EQ(plan.out.substr(0, plan.out.find('\n') + 1),
            "plan: no image at " + image +
                " yet: a cold start (apply --create) would create it and write every entry\n");
  Result const cold = agent("apply " + base + " --create --image " + quote(image));
  ASSERT_EQ(cold.status, 0) << cold.err;
  EXPECT_EQ(cold.out.rfind("cold start: created " + image, 0), 0u) << cold.out;

  // Neither an empty configuration nor one whose only key the image lacks
  // claims a row: both would purge all 29.
  std::string const bytes = contents(image);
  struct stat before;
  ASSERT_EQ(::stat(image.c_str(), &before), 0);
  write(dir.file("empty.conf"), "");
  write(dir.file("other.conf"), "IfaPortSwTable 7 1\n");
  for (std::string const conf : {"empty.conf", "other.conf"}) {
    Result const r = agent("apply " + quote(dir.file(conf)) + " --create --image " + quote(image));
    EXPECT_EQ(r.status, 3) << conf;
    EXPECT_EQ(r.out, "") << conf;
    EXPECT_EQ(r.err, "ifa-agent: image " + image +
                         ": the configuration claims none of the 29 rows the image holds, so the "
                         "apply would purge all 29 rows; nothing was written (--allow-purge-all "
                         "to purge them)\n")
        << conf;
    EXPECT_TRUE(contents(image) == bytes) << conf;
    // Not written at all: not even its blocks were touched.
    struct stat after;
    ASSERT_EQ(::stat(image.c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec) << conf;
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec) << conf;
  }
  // A plan says so.
  EXPECT_NE(agent("plan " + quote(dir.file("other.conf")) + " --image " + quote(image))
                .out.find("\nwarning: the configuration claims none of the 29 rows the image "
                          "holds;\n         apply refuses it without --allow-purge-all\n"),
            std::string::npos);
  Result const purged = agent("apply " + quote(dir.file("empty.conf")) +
                              " --allow-purge-all --json --image " + quote(image));
  ASSERT_EQ(purged.status, 0) << purged.err;
  EXPECT_EQ(json(purged.out)["total"]["stale"], 29);
  EXPECT_EQ(agent("show --image " + quote(image)).out, "");
  // An image without rows has nothing to lose: any configuration is applied.
  Result const refill =
      agent("apply " + quote(dir.file("other.conf")) + " --image " + quote(image));
  EXPECT_EQ(refill.status, 0) << refill.err;
  EXPECT_EQ(agent("show --image " + quote(image)).out, "IfaPortSwTable 7 ifaEnable=1\n");
}

TEST(AgentProcess, CommandLineConventionsHelpUsageErrorsAndTrace) {
  // Help on standard output, status 0: a command's by --help or by help.
  for (std::string const command :
       {"apply", "plan", "show", "run", "status", "tables", "demo", "help"}) {
    Result const r = agent(command + " --help");
    EXPECT_EQ(r.status, 0) << command;
    EXPECT_NE(r.out.find("\nUsage: ifa-agent " + command + " [OPTIONS]"), std::string::npos)
        << r.out;
    EXPECT_EQ(agent("help " + command).out, r.out);
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 100u) << line;
  }
  std::string const general = agent("--help").out;
  EXPECT_NE(general.find("\nUsage: ifa-agent [OPTIONS] [COMMAND]\n"), std::string::npos);
  // The exit statuses: one table, which the help lists and the operator's
  // guide and the troubleshooting page show row for row.
  EXPECT_NE(general.find("\nExit statuses:\n" + IfaAgent::exitStatusHelp() + "\n"),
            std::string::npos);
  for (std::string const page : {"docs/operator-guide.md", "docs/troubleshooting.md"}) {
    std::istringstream text(contents(IFA_SOURCE_DIR "/" + page));
    std::string line;
    while (std::getline(text, line) && line != "| status | meaning |") {
    }
    ASSERT_EQ(line, "| status | meaning |") << page << ": no exit status table";
    std::getline(text, line);  // |---|---|
    for (IfaAgent::ExitStatusRow const& row : IfaAgent::kExitStatuses) {
      ASSERT_TRUE(std::getline(text, line)) << page << ": no row for status " << row.status;
      EXPECT_EQ(line, "| " + std::to_string(row.status) + " | " + std::string(row.meaning) + " |")
          << page;
    }
    EXPECT_TRUE(!std::getline(text, line) || line.empty()) << page << ": extra row " << line;
  }
  EXPECT_EQ(agent("help").out, general);
  EXPECT_EQ(agent("--version").out,
            "ifa-agent (ifa-swtables) " + std::string(IfaHost::kRelease) + "\n");
  // Usage errors on standard error, status 64; nothing on standard output.
  Result const bare = agent("");
  EXPECT_EQ(bare.status, 64);
  EXPECT_EQ(bare.err, general);
  auto usage = [](std::string const& args, std::string const& message) {
    Result const r = agent(args);
    EXPECT_EQ(r.status, 64) << args;
    EXPECT_EQ(r.out, "") << args;
    EXPECT_EQ(r.err, "ifa-agent: " + message + "\n(ifa-agent --help for usage)\n") << args;
  };
  usage("frobnicate", "unknown command \"frobnicate\"");
  usage("aply x", "unknown command \"aply\" (did you mean \"apply\"?)");
  usage("help aply", "help: unknown command \"aply\" (did you mean \"apply\"?)");
  usage("apply", "apply: CONFIG is required");
  usage("plan x --create", "plan: --create is not an option of this command");
  usage("show --allow-purge-all", "show: --allow-purge-all is not an option of this command");
  // A misspelt option gets a suggestion, as a command, table or field does.
  usage("apply x --imgae f.img",
        "apply: --imgae is not an option of this command (did you mean \"--image\"?)");
  usage("show --fromat=full",
        "show: --fromat is not an option of this command (did you mean \"--format\"?)");
  usage("plan x y", "plan: unexpected argument \"y\"");
  usage("show --lock-timeout=-1",
        "--lock-timeout: \"-1\" is not a number of seconds from 0 to 86400");
  usage("tables IfaVectorMtch",
        "unknown table \"IfaVectorMtch\" (did you mean \"IfaVectorMatch\"?)");
  EXPECT_EQ(agent("apply x --image").status, 64);
  EXPECT_EQ(agent("apply x --trace 'Foo=99'").status, 64);

  // A table's fields, widths, index range and a template line.
  Result const table = agent("tables IfaVectorMatch", "IFA_CHIP_PROFILE=corvane-sim-small");
  EXPECT_EQ(table.out,
            "IfaVectorMatch (CorvaneInt::IfaVectorMatch), chip profile \"corvane-sim-small\": "
            "indices 0..7\n"
            "field                         bits  values\n"
            "valid                         1     0..1\n"
            "reqVector                     32    0..4294967295\n"
            "baseHdr                       3     0..7\n"
            "template: IfaVectorMatch 0 valid=0 reqVector=0 baseHdr=0\n");
  auto const listed = json(agent("tables --json").out);
  ASSERT_EQ(listed["tables"].size(), 14u);
  EXPECT_EQ(listed["tables"][9]["qualified"], "CorvaneInt::IfaPortSwTable");
  EXPECT_EQ(listed["tables"][9]["maxIndex"], 271);

  TempDir dir;
  // A search path without the chip.
  Result const noChip = agent("show", "SIDECAR_PLUGIN_PATH=" + quote(dir.file("")));
  EXPECT_EQ(noChip.status, 4);
  EXPECT_EQ(noChip.err,
            "ifa-agent: no chip plug-in answered (search path: " + dir.file("") + ")\n");
  // With --json an error is a JSON document on standard output.
  Result const missing = agent("show --json --image=" + quote(dir.file("none.img")));
  EXPECT_EQ(missing.status, 3);
  EXPECT_EQ(
      json(missing.out)["error"],
      (nlohmann::json{
          {"status", 3}, {"kind", "image"}, {"message", "no image at " + dir.file("none.img")}}));

  // Options as --opt=value, a configuration from standard input, and "--"
  // before an operand.
  std::string const image = quote(dir.file("chip.img"));
  ASSERT_EQ(agent("apply --create --image=" + image + " -- " + quote(example("base.conf"))).status,
            0);
  Result const traced = agent("apply --image " + image + " --trace=SwTableStat=0 - <" +
                              quote(example("changed.conf")));
  ASSERT_EQ(traced.status, 0) << traced.err;
  EXPECT_NE(traced.err.find("SwTableStat[0] CorvaneInt::IfaVectorMatch : purgeStaleEntries "
                            "Asic::SwTable::ReconciliationStatistics(entryMatched=1, "
                            "entryMismatched=1, entryMissing=1, entryStale=1)\n"),
            std::string::npos)
      << traced.err;
}

// A random configuration for the profile: a few keys in every table.
std::string randomConfig(std::mt19937_64& rng, std::string_view profile) {
  std::string text = "# random configuration\n";
  auto const& p = SimChip::profile(profile);
  IfaRuntime::AllTables::forEach([&]<class Table>() {
    auto const* range = p.range(Table::kQualifiedName);
    std::uint64_t const span = std::uint64_t{range->maxIndex} - range->minIndex + 1;
    std::set<std::uint32_t> keys;
    std::size_t const n = rng() % (std::min<std::uint64_t>(span, 5) + 1);
    while (keys.size() < n) keys.insert(static_cast<std::uint32_t>(range->minIndex + rng() % span));
    for (std::uint32_t key : keys) {
      auto const entry = rng() % 3 == 0 ? typename Table::Entry()
                                        : IfaTest::randomEntry<typename Table::Entry>(rng);
      text += IfaAgent::configLine<Table>(key, entry) + "\n";
    }
  });
  return text;
}

// Kills the agent after a random number of row writes, in cold starts and in
// warm restarts; the next apply of the same configuration must bring the
// hardware to exactly that configuration, with figures that add up.
TEST(AgentProcess, AnAgentKilledAtAnyPointOfAnApplyIsRepairedByTheNextApply) {
  TempDir dir;
  std::mt19937_64 rng(2026);
  std::string const image = dir.file("chip.img"), conf = dir.file("next.conf");
  auto const r = ranges("corvane-sim-small");
  int kills = 0;
  for (int round = 0; round < 24; ++round) {
    if (round % 6 == 0) fs::remove(image);  // now and then from a cold start
    std::string const text = randomConfig(rng, "corvane-sim-small");
    write(conf, text);
    auto const config = IfaAgent::Config::parse(text, conf, r);
    std::string const env = "IFA_CHIP_PROFILE=corvane-sim-small";
    std::size_t const crashAfter = 1 + rng() % (2 * config.size() + 2);
    // A random configuration may well claim none of the previous one's rows.
    std::string const apply = "apply " + quote(conf) + " --create --allow-purge-all";
    Result const crashed =
        agent(apply + " --image " + quote(image),
              env + " IFA_CHIP_CRASH_AFTER_WRITES=" + std::to_string(crashAfter));
    ASSERT_TRUE(crashed.killed() || crashed.status == 0) << crashed.status << crashed.err;
    kills += crashed.killed();
    if (!fs::exists(image)) continue;  // killed before the image was made: nothing to repair

    Result const before = agent("show --image " + quote(image), env);
    ASSERT_EQ(before.status, 0) << before.err;
    std::size_t const rowsBefore = std::count(before.out.begin(), before.out.end(), '\n');
    Result const repaired = agent(apply + " --json --image " + quote(image), env);
    ASSERT_EQ(repaired.status, 0) << repaired.err;
    unsigned readBack = 0;
    for (auto const& [table, f] : figures(repaired.out)) {
      EXPECT_EQ(f.matched + f.mismatched + f.missing, f.entries) << table << " round " << round;
      EXPECT_EQ(f.matched + f.mismatched + f.stale, f.readBack) << table << " round " << round;
      readBack += f.readBack;
    }
    EXPECT_EQ(readBack, rowsBefore) << "round " << round;
    EXPECT_EQ(agent("show --image " + quote(image), env).out, shown(config)) << "round " << round;
  }
  EXPECT_GT(kills, 12);
}

}  // namespace
