// ifa-agent run as a process over the simulated chip plug-in: the demo's
// exact output, cold start then warm restarts with exact figures, plan
// agreeing with the apply that follows, the phases an apply reports, the
// corpus of bad configurations, refused images, and an agent killed at random
// points of an apply.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "AgentProcessSupport.h"
#include "TestTables.h"
#include "agent/Config.h"
#include "chip/ChipProfile.h"

namespace {

using namespace AgentTest;
namespace fs = std::filesystem;

struct Phases {
  std::uint64_t syncUs, replayUs, purgeUs;
};
std::optional<Phases> phases(std::string const& json) {
  std::smatch m;
  if (!std::regex_search(json, m,
                         std::regex(",\"phases\":\\{\"syncUs\":(\\d+),\"replayUs\":(\\d+),"
                                    "\"purgeUs\":(\\d+)\\}\\}\n$"))) {
    return std::nullopt;
  }
  auto n = [&](int i) { return static_cast<std::uint64_t>(std::stoull(m[i])); };
  return Phases{n(1), n(2), n(3)};
}

// The report without its phases: what a plan of the same run prints.
std::string withoutPhases(std::string json) {
  return std::regex_replace(json, std::regex(",\"phases\":\\{[^}]*\\}"), "");
}

TEST(AgentProcess, DemoPrintsTheColdStartAndTheWarmRestartWithExactFigures) {
  TempDir dir;
  std::string const image = dir.file("demo.img");
  Result const r = agent("demo --image " + quote(image));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  // The report's exact text, kept in tests/golden with IMAGE for the path.
  std::string expected = contents(std::string(IFA_GOLDEN_DIR) + "/demo.txt");
  for (std::size_t at; (at = expected.find("IMAGE")) != std::string::npos;) {
    expected.replace(at, 5, image);
  }
  EXPECT_EQ(r.out, expected);
  // The hardware holds the changed configuration.
  auto const changed = IfaAgent::Config::read(example("changed.conf"), ranges("corvane-sim-a"));
  EXPECT_EQ(agent("show --image " + quote(image)).out, shown(changed));
  // Without --image the demo leaves nothing behind.
  Result const again = agent("demo");
  EXPECT_EQ(again.status, 0) << again.err;
}

TEST(AgentProcess, PlanPredictsTheApplyThatFollowsAndAReplayOfTheSameConfigurationMatchesAll) {
  TempDir dir;
  std::string const image = quote(dir.file("chip.img"));
  std::string const base = quote(example("base.conf")), changed = quote(example("changed.conf"));

  Result const coldPlan = agent("plan " + base + " --json --image " + image);
  ASSERT_EQ(coldPlan.status, 0) << coldPlan.err;
  EXPECT_FALSE(fs::exists(dir.file("chip.img")));
  Result const cold = agent("apply " + base + " --create --json --image " + image);
  ASSERT_EQ(cold.status, 0) << cold.err;
  EXPECT_NE(cold.out.find("\"mode\":\"cold\""), std::string::npos);
  // An apply reports its phases (a cold start neither reads back nor
  // purges); a plan reports none.
  auto const coldPhases = phases(cold.out);
  ASSERT_TRUE(coldPhases) << cold.out;
  EXPECT_EQ(coldPhases->syncUs + coldPhases->purgeUs, 0u);
  EXPECT_EQ(coldPlan.out.find("phases"), std::string::npos);
  EXPECT_EQ(figures(cold.out).size(), 14u);
  EXPECT_EQ(figures(coldPlan.out).size(), 14u);
  for (auto const& [table, f] : figures(cold.out)) {
    EXPECT_EQ(f.entries, figures(coldPlan.out)[table].entries) << table;
  }

  std::string const before = contents(dir.file("chip.img"));
  Result const plan = agent("plan " + changed + " --json --image " + image);
  ASSERT_EQ(plan.status, 0) << plan.err;
  EXPECT_EQ(contents(dir.file("chip.img")), before) << "plan wrote to the image";
  Result const warm = agent("apply " + changed + " --json --image " + image);
  ASSERT_EQ(warm.status, 0) << warm.err;
  ASSERT_TRUE(phases(warm.out)) << warm.out;
  std::string planned = plan.out;
  planned.replace(planned.find("\"plan\""), 6, "\"apply\"");
  EXPECT_EQ(withoutPhases(warm.out), planned);
  auto const totals = [](std::string const& json) {
    std::smatch m;
    std::regex_search(json, m, std::regex("\"total\":\\{[^}]*\\}"));
    return m.str();
  };
  EXPECT_EQ(totals(warm.out),
            "\"total\":{\"entries\":29,\"readBack\":29,\"matched\":15,\"mismatched\":9,"
            "\"missing\":5,\"stale\":5,\"written\":14,\"deleted\":5}");

  // Per key, the verbose plan of going back names each action.
  Result const verbose = agent("plan " + base + " --verbose --image " + image);
  ASSERT_EQ(verbose.status, 0);
  for (char const* line :
       {"  IfaActionVector 1: write\n", "  IfaActionProfile 0: leave alone\n",
        "  IfaActionProfile 2: purge, hardware holds CorvaneInt::IfaActionProfile::Entry(",
        "  IfaMetadataConstructProfile 2: purge, hardware holds an entry without fields\n",
        "  IfaSwitchId 0: rewrite, hardware holds 167772162\n"}) {
    EXPECT_NE(verbose.out.find(line), std::string::npos) << line;
  }

  std::string const applied = contents(dir.file("chip.img"));
  Result const replay = agent("apply " + changed + " --json --image " + image);
  ASSERT_EQ(replay.status, 0);
  EXPECT_EQ(totals(replay.out),
            "\"total\":{\"entries\":29,\"readBack\":29,\"matched\":29,\"mismatched\":0,"
            "\"missing\":0,\"stale\":0,\"written\":0,\"deleted\":0}");
  EXPECT_EQ(contents(dir.file("chip.img")), applied) << "a replay of the same configuration wrote";
  // Show one table, by either name.
  Result const one = agent("show IfaSwitchId --image " + image);
  EXPECT_EQ(one.out, "IfaSwitchId 0 167772162\n");
  EXPECT_EQ(agent("show CorvaneInt::IfaSwitchId --image " + image).out, one.out);
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
      EXPECT_EQ(agent("plan " + quote(file.string()) + " --image " + quote(target)).status, 1);
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
  EXPECT_NE(badProfile.err.find("unknown chip profile \"nope\""), std::string::npos);
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
  }
  Result const purged = agent("apply " + quote(dir.file("empty.conf")) +
                              " --allow-purge-all --json --image " + quote(image));
  ASSERT_EQ(purged.status, 0) << purged.err;
  EXPECT_NE(purged.out.find("\"total\":{\"entries\":0,\"readBack\":29,\"matched\":0,"
                            "\"mismatched\":0,\"missing\":0,\"stale\":29,"),
            std::string::npos)
      << purged.out;
  EXPECT_EQ(agent("show --image " + quote(image)).out, "");
  // An image without rows has nothing to lose: any configuration is applied.
  Result const refill =
      agent("apply " + quote(dir.file("other.conf")) + " --image " + quote(image));
  EXPECT_EQ(refill.status, 0) << refill.err;
  EXPECT_EQ(agent("show --image " + quote(image)).out, "IfaPortSwTable 7 1\n");
}

TEST(AgentProcess, CommandLineHelpUsageErrorsAndTrace) {
  for (std::string const command : {"apply", "plan", "show", "demo"}) {
    Result const r = agent(command + " --help");
    EXPECT_EQ(r.status, 0) << command;
    EXPECT_EQ(r.out.rfind("usage: ifa-agent " + command + " ", 0), 0u) << command;
  }
  for (std::string const general : {"--help", "help", "help --help"}) {
    Result const r = agent(general);
    EXPECT_EQ(r.status, 0) << general;
    EXPECT_EQ(r.out.rfind("usage: ifa-agent COMMAND", 0), 0u) << general;
  }
  EXPECT_EQ(agent("").status, 2);
  Result const unknown = agent("frobnicate");
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.err,
            "ifa-agent: unknown command \"frobnicate\"\n(ifa-agent --help for usage)\n");
  EXPECT_EQ(agent("apply").status, 2);
  EXPECT_EQ(agent("show --json").status, 2);
  EXPECT_EQ(agent("apply x --image").status, 2);
  EXPECT_EQ(agent("apply x --trace 'Foo=99'").status, 2);
  Result const notPlans = agent("plan x --create");
  EXPECT_EQ(notPlans.status, 2);
  EXPECT_EQ(notPlans.err,
            "ifa-agent: plan: --create is not an option of this command\n(ifa-agent --help for "
            "usage)\n");
  EXPECT_EQ(agent("show --allow-purge-all").status, 2);

  TempDir dir;
  // A search path without the chip.
  Result const noChip = agent("show", "SIDECAR_PLUGIN_PATH=" + quote(dir.file("")));
  EXPECT_EQ(noChip.status, 4);
  EXPECT_EQ(noChip.err,
            "ifa-agent: no chip plug-in answered (search path: " + dir.file("") + ")\n");

  std::string const image = quote(dir.file("chip.img"));
  ASSERT_EQ(agent("apply " + quote(example("base.conf")) + " --create --image " + image).status, 0);
  Result const traced = agent("apply " + quote(example("changed.conf")) + " --image " + image +
                              " --trace SwTableStat=0");
  ASSERT_EQ(traced.status, 0);
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
