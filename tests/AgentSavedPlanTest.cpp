// Saved plans (plan -o, apply FILE, plan FILE) and validate, through the
// built program; the plan file's reader and its SHA-256 directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "AgentProcessSupport.h"
#include "agent/Config.h"
#include "agent/PlanFile.h"
#include "agent/Sha256.h"

namespace {

using namespace AgentTest;

TEST(AgentSavedPlan, Sha256OfTheStandardVectors) {
  EXPECT_EQ(IfaAgent::sha256Hex(""),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(IfaAgent::sha256Hex("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(IfaAgent::sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  // Fed in pieces that straddle the 64-byte blocks, a million 'a's.
  IfaAgent::Sha256 h;
  std::string const piece(999, 'a');
  for (int i = 0; i < 1001; ++i) h.update(piece);
  h.update("a");
  EXPECT_EQ(h.hex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(AgentSavedPlan, TheFileReadsBackAndEveryDamageIsRefusedByName) {
  IfaAgent::SavedPlan const plan{"corvane-sim-a",
                                 "chip.img",
                                 "ab12",
                                 "my.conf",
                                 "plan: warm restart\n\n  + IfaSwitchId 1: switchId=7\n",
                                 "# mine\nIfaSwitchId 1 switchId=7\n"};
  std::string const text = IfaAgent::planFileText(plan);
  EXPECT_TRUE(IfaAgent::isPlanText(text));
  EXPECT_FALSE(IfaAgent::isPlanText("IfaSwitchId 1 7\n"));
  // The rest of the file is a configuration: the listing as comments, then
  // the text as planned.
  EXPECT_EQ(text.substr(text.find('\n') + 1),
            "# plan: warm restart\n#\n#   + IfaSwitchId 1: switchId=7\n# mine\n"
            "IfaSwitchId 1 switchId=7\n");
  IfaAgent::SavedPlan const back = IfaAgent::readPlanText(text, "p.plan");
  EXPECT_EQ(back.profile, plan.profile);
  EXPECT_EQ(back.image, plan.image);
  EXPECT_EQ(back.imageSha256, plan.imageSha256);
  EXPECT_EQ(back.configurationName, plan.configurationName);
  EXPECT_EQ(back.listing, plan.listing);
  EXPECT_EQ(back.configuration, plan.configuration);
  IfaAgent::SavedPlan cold = plan;
  cold.imageSha256.reset();
  EXPECT_FALSE(IfaAgent::readPlanText(IfaAgent::planFileText(cold), "p").imageSha256);

  auto refusal = [](std::string const& damaged) {
    try {
      IfaAgent::readPlanText(damaged, "p.plan");
    } catch (IfaAgent::ConfigError const& e) {
      return e.problems().front().text();
    }
    return std::string("accepted");
  };
  std::string edited = text;
  edited[edited.size() - 3] = '8';  // switchId=7 -> 8
  EXPECT_EQ(refusal(edited),
            "p.plan: damaged saved plan: its contents do not match the SHA-256 in its first line "
            "(edited or cut short?)");
  EXPECT_EQ(refusal(text.substr(0, text.size() - 1)), refusal(edited));
  std::string version = text;
  version.replace(version.find("\"ifaAgentPlan\":1"), 16, "\"ifaAgentPlan\":2");
  EXPECT_EQ(refusal(version),
            "p.plan:1:1: a saved plan of format version 2; this ifa-agent reads 1");
  EXPECT_EQ(refusal("{\"name\": 1}\nIfaSwitchId 1 7\n"),
            "p.plan:1:1: not a saved plan: its first line is a JSON object without "
            "\"ifaAgentPlan\"");
  EXPECT_EQ(refusal("{ IfaSwitchId 1 7\n"),
            "p.plan:1:1: not a saved plan (its first line opens a JSON object that does not "
            "parse) and not a configuration");
  std::string noProfile = text;
  noProfile.replace(noProfile.find("\"profile\""), 9, "\"profiel\"");
  EXPECT_EQ(refusal(noProfile),
            "p.plan:1:1: damaged saved plan: \"profile\" is missing or not a string");
  // Every key of the first line is covered by the checksum too.
  for (auto [from, to] : {std::pair{"\"listingLines\":3", "\"listingLines\":4"},
                          std::pair{"\"image\":\"chip.img\"", "\"image\":\"chip.imh\""},
                          std::pair{"\"imageSha256\":\"ab12\"", "\"imageSha256\":\"ab13\""}}) {
    std::string header = text;
    header.replace(header.find(from), std::string_view(from).size(), to);
    EXPECT_EQ(refusal(header), refusal(edited)) << to;
  }
}

TEST(AgentSavedPlan, ASavedPlanAppliesExactlyWhatWasReviewedOnTheImageItWasMadeOn) {
  TempDir dir;
  std::string const image = quote(dir.file("chip.img"));
  std::string const plan = quote(dir.file("changed.plan"));
  ASSERT_EQ(agent("apply " + quote(example("base.conf")) + " --create --image " + image).status, 0);
  std::string const before = contents(dir.file("chip.img"));
  // The saved plan lists each change even without -v; plan FILE shows it as
  // plan -v printed it.
  Result const made =
      agent("plan " + quote(example("changed.conf")) + " -o " + plan + " --image " + image);
  ASSERT_EQ(made.status, 0) << made.err;
  Result const verbose =
      agent("plan " + quote(example("changed.conf")) + " -v --wide --image " + image);
  EXPECT_EQ(agent("plan " + plan).out, verbose.out);
  EXPECT_EQ(made.out + "",
            agent("plan " + quote(example("changed.conf")) + " --image " + image).out);
  EXPECT_TRUE(contents(dir.file("chip.img")) == before);

  // Another apply changes the image meanwhile: the plan is stale, and
  // refused with the image's bytes left as they are.
  write(dir.file("one.conf"), contents(example("base.conf")) + "IfaPortSwTable 9 1\n");
  ASSERT_EQ(agent("apply " + quote(dir.file("one.conf")) + " --image " + image).status, 0);
  std::string const changed = contents(dir.file("chip.img"));
  Result const stale = agent("apply " + plan);
  EXPECT_EQ(stale.status, 8);
  EXPECT_EQ(stale.err, "ifa-agent: image " + dir.file("chip.img") +
                           ": the chip changed since the plan was made; nothing was written "
                           "(plan again)\n");
  EXPECT_TRUE(contents(dir.file("chip.img")) == changed);
  EXPECT_EQ(json(agent("apply " + plan + " --json").out)["error"]["kind"], "stale-plan");

  // Planned again, it applies, to the image named in the plan, and leaves
  // nothing more to do; the image equals a plain apply's.
  ASSERT_EQ(
      agent("plan " + quote(example("changed.conf")) + " -o " + plan + " --image " + image).status,
      0);
  Result const applied = agent("apply " + plan + " --json");
  ASSERT_EQ(applied.status, 0) << applied.err;
  EXPECT_EQ(json(applied.out)["summary"]["purged"], 6);
  EXPECT_EQ(
      agent("plan " + quote(example("changed.conf")) + " --detailed-exitcode --image " + image)
          .status,
      0);
  write(dir.file("copy.img"), changed);
  ASSERT_EQ(
      agent("apply " + quote(example("changed.conf")) + " --image " + quote(dir.file("copy.img")))
          .status,
      0);
  EXPECT_TRUE(contents(dir.file("copy.img")) == contents(dir.file("chip.img")));
  // Once applied, the same plan is stale.
  EXPECT_EQ(agent("apply " + plan).status, 8);
  // A damaged plan applies nothing.
  std::string damaged = contents(dir.file("changed.plan"));
  damaged[damaged.size() / 2] ^= 1;
  write(dir.file("damaged.plan"), damaged);
  std::string const now = contents(dir.file("chip.img"));
  Result const bad = agent("apply " + quote(dir.file("damaged.plan")));
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("damaged saved plan"), std::string::npos) << bad.err;
  EXPECT_TRUE(contents(dir.file("chip.img")) == now);
}

TEST(AgentSavedPlan, AColdStartPlanNeedsCreateAndAnImageStillMissing) {
  TempDir dir;
  std::string const image = quote(dir.file("new.img"));
  std::string const plan = quote(dir.file("cold.plan"));
  ASSERT_EQ(
      agent("plan " + quote(example("base.conf")) + " -o " + plan + " --image " + image).status, 0);
  Result const without = agent("apply " + plan);
  EXPECT_EQ(without.status, 3);
  EXPECT_EQ(without.err, "ifa-agent: no image at " + dir.file("new.img") +
                             "; nothing was created (--create to cold-start one)\n");
  Result const cold = agent("apply " + plan + " --create");
  ASSERT_EQ(cold.status, 0) << cold.err;
  EXPECT_EQ(agent("show --image " + image).out,
            shown(IfaAgent::Config::read(example("base.conf"), ranges("corvane-sim-a"))));
  Result const again = agent("apply " + plan + " --create");
  EXPECT_EQ(again.status, 8);
  EXPECT_EQ(again.err, "ifa-agent: image " + dir.file("new.img") +
                           ": the plan was made with no image there, and one exists now; nothing "
                           "was written (plan again)\n");
}

TEST(AgentSavedPlan, ValidateChecksAConfigurationAgainstAProfileWithoutAnImage) {
  TempDir dir;
  Result const good = agent("validate " + quote(example("base.conf")));
  EXPECT_EQ(good.status, 0) << good.err;
  EXPECT_EQ(good.out,
            example("base.conf") + ": valid for chip profile \"corvane-sim-a\" (29 entries)\n");
  EXPECT_TRUE(fs::is_empty(dir.file("")));
  // The problems apply lists, and status 1.
  std::string const bad = std::string(IFA_BAD_CONFIG_DIR) + "/index-out-of-range.conf";
  Result const refused = agent("validate " + quote(bad));
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, agent("apply " + quote(bad) + " --image " + quote(dir.file("x.img"))).err);
  // An index within one profile's range and outside the other's.
  write(dir.file("wide.conf"), "IfaPortSwTable 200 1\n");
  EXPECT_EQ(agent("validate " + quote(dir.file("wide.conf")) + " --profile corvane-sim-a").status,
            0);
  Result const small =
      agent("validate " + quote(dir.file("wide.conf")) + " --profile corvane-sim-small");
  EXPECT_EQ(small.status, 1);
  EXPECT_NE(small.err.find(":1:16: "), std::string::npos) << small.err;
}

}  // namespace

namespace {

std::vector<std::string> commentLines(std::string const& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::size_t const hash = line.find('#');
    if (hash != std::string::npos) out.push_back(line.substr(hash));
  }
  std::sort(out.begin(), out.end());
  return out;
}

TEST(AgentFmt, TheCanonicalFormReadsBackIsAFixedPointAndKeepsEveryComment) {
  TempDir dir;
  // Out of order, both forms, hex kept as written, comments above, at the
  // end of a line and at the top and bottom.
  write(dir.file("mixed.conf"),
        "# Site config.\n"
        "\n"
        "IfaSwitchId 0 0x0A000001   # the loopback\n"
        "# second profile\n"
        "IfaActionProfile 0x1 hoplimit=0x20 maxLength=128\n"
        "\n"
        "IfaVectorMatch 3 CorvaneInt::IfaVectorMatch::Entry(valid=1, reqVector=0x1000, baseHdr=3)\n"
        "IfaActionProfile 0 hoplimit=64\n"
        "IfaMetadataProfile 1 mdSelectProfileId=0\n"
        "# end\n");
  Result const r = agent("fmt " + quote(dir.file("mixed.conf")));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "# Site config.\n"
            "\n"
            "IfaActionProfile 0 hoplimit=64\n"
            "# second profile\n"
            "IfaActionProfile 0x1 hoplimit=0x20 maxLength=128\n"
            "\n"
            "IfaMetadataProfile 1\n"
            "\n"
            "IfaSwitchId 0 switchId=0x0A000001  # the loopback\n"
            "\n"
            "IfaVectorMatch 3 valid=1 reqVector=0x1000 baseHdr=3\n"
            "\n"
            "# end\n");
  // The examples: the same entries, every comment kept, a fixed point, and
  // --check and -w agree.
  for (std::string const name : {"base.conf", "changed.conf"}) {
    std::string const original = contents(example(name));
    write(dir.file(name), original);
    Result const formatted = agent("fmt " + quote(dir.file(name)));
    ASSERT_EQ(formatted.status, 0) << formatted.err;
    auto const profile = ranges("corvane-sim-a");
    EXPECT_EQ(shown(IfaAgent::Config::parse(formatted.out, name, profile)),
              shown(IfaAgent::Config::parse(original, name, profile)));
    EXPECT_EQ(commentLines(formatted.out), commentLines(original)) << name;
    Result const check = agent("fmt --check " + quote(dir.file(name)));
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.out.rfind(dir.file(name) + ":", 0), 0u) << check.out;
    ASSERT_EQ(agent("fmt -w " + quote(dir.file(name))).status, 0);
    EXPECT_EQ(contents(dir.file(name)), formatted.out);
    EXPECT_EQ(agent("fmt " + quote(dir.file(name))).out, formatted.out);
    Result const clean = agent("fmt --check " + quote(dir.file(name)));
    EXPECT_EQ(clean.status, 0);
    EXPECT_EQ(clean.out, "");
  }
  // A configuration with problems is not formatted, and -w leaves it alone.
  write(dir.file("bad.conf"), "IfaSwitchId 0 7\nIfaSwitchId 0 8\n");
  Result const bad = agent("fmt -w " + quote(dir.file("bad.conf")));
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(contents(dir.file("bad.conf")), "IfaSwitchId 0 7\nIfaSwitchId 0 8\n");
}

}  // namespace
