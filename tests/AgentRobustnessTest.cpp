// ifa-agent under misuse and faults, run as a process: configurations that
// are not regular files or have no end, images that are not regular files,
// symbolic links and long names, a full disk, a storage fault under the
// mapping, file names that are not UTF-8, and agents running at once on one
// image. In each case the agent ends with a message naming what is wrong and
// an exit status of its own, and the image holds a whole configuration.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "AgentProcessSupport.h"
#include "agent/ImageLock.h"
#include "chip/AsicImage.h"
#include "chip/SimChip.h"

namespace {

using namespace AgentTest;
namespace fs = std::filesystem;

constexpr int kConfigRejected = 1, kImageRefused = 3, kIoFailure = 5, kImageBusy = 6;

std::string const kRejected = "ifa-agent: configuration rejected (1 problem); nothing written\n";

// A directory with an image holding the base configuration.
struct ImageRig {
  ImageRig() {
    EXPECT_EQ(
        agent("apply " + quote(example("base.conf")) + " --create --image " + quote(image)).status,
        0);
    bytes = contents(image);
  }
  TempDir dir;
  std::string image = dir.file("chip.img");
  std::string bytes;
};

// 64-bit FNV-1a of `text` in 16 lower-case hex digits.
std::string hashHex(std::string_view text) {
  std::uint64_t hash = 14695981039346656037u;
  for (unsigned char c : text) hash = (hash ^ c) * 1099511628211u;
  char out[17];
  std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(hash));
  return out;
}

std::set<std::string> entriesOf(std::string const& directory) {
  std::set<std::string> out;
  for (auto const& e : fs::directory_iterator(directory)) out.insert(e.path().filename());
  return out;
}

TEST(AgentRobustness, ConfigurationsAreReadOnlyFromRegularFilesOrStandardInputWithinTheLimit) {
  ImageRig rig;
  std::string const image = " --image " + quote(rig.image);
  std::string const fifo = rig.dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  std::string const big = rig.dir.file("big.conf");
  write(big, std::string(IfaAgent::Config::kMaxBytes + 1, '#'));
  struct Case {
    std::string args;
    std::string err;
  };
  std::string const dir = rig.dir.file("");
  std::string const why = "; a configuration is a regular file, or standard input given as -\n";
  std::string const limit = "the configuration is larger than the limit of 16777216 bytes\n";
  for (Case const& c : std::vector<Case>{
           {"apply " + quote(dir), dir + ": not a regular file (a directory)" + why},
           {"plan " + quote(dir), dir + ": not a regular file (a directory)" + why},
           {"apply " + quote(fifo), fifo + ": not a regular file (a FIFO)" + why},
           {"plan " + quote(fifo), fifo + ": not a regular file (a FIFO)" + why},
           {"apply /dev/zero", "/dev/zero: not a regular file (a character device)" + why},
           {"apply - </dev/zero", "standard input: " + limit},
           {"plan " + quote(big), big + ": " + limit},
           {"apply " + quote(rig.dir.file("none.conf")),
            rig.dir.file("none.conf") +
                ": cannot read the configuration: No such file or directory\n"},
       }) {
    Result const r = agent(c.args + image);
    EXPECT_EQ(r.status, kConfigRejected) << c.args;
    EXPECT_EQ(r.err, c.err + kRejected) << c.args;
    EXPECT_EQ(contents(rig.image), rig.bytes) << c.args;
  }
  // Standard input as a configuration, its byte-order mark skipped.
  write(rig.dir.file("bom.conf"), "\xEF\xBB\xBF" + contents(example("changed.conf")));
  Result const piped = agent("apply -" + image + " <" + quote(rig.dir.file("bom.conf")));
  ASSERT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(agent("show" + image).out, shownExample("changed.conf"));
}

TEST(AgentRobustness, BadInputIsQuotedAsABoundedEscapedExcerpt) {
  ImageRig rig;
  std::string const conf = rig.dir.file("bad.conf");
  // An 8 MB token after a table name that holds ESC and NUL bytes.
  write(conf, std::string("Ifa\x1b[31mSwitch\0Id 0\n", 20) + "IfaSwitchId 0 " +
                  std::string(8 << 20, '7') + "\n");
  Result const r = agent("apply " + quote(conf) + " --image " + quote(rig.image));
  EXPECT_EQ(r.status, kConfigRejected);
  EXPECT_EQ(r.err, conf +
                       ":1:1: field \"table\": unknown table \"Ifa\\x1b[31mSwitch\\x00Id\" "
                       "(tables: IfaActionProfile, IfaActionVector, IfaEpRecircProfile, "
                       "IfaEpRecirc, IfaMetadataConstructProfile, IfaMetadataProfile, "
                       "IfaMetadataSelectProfile, IfaMonIngRedirectPktProfile, IfaPktDetection, "
                       "IfaPortSwTable, IfaSflowIngSwTable, IfaSwitchId, IfaTimeOfDay, "
                       "IfaVectorMatch)\n" +
                       conf +
                       ":2:15: IfaSwitchId 0: field \"switchId\": value "
                       "777777777777777777777777... is out of range 0..4294967295 (at column "
                       "15)\n"
                       "ifa-agent: configuration rejected (2 problems); nothing written\n");
  EXPECT_EQ(contents(rig.image), rig.bytes);
}

TEST(AgentRobustness, JsonReportsAreUtf8WhateverTheImageName) {
  TempDir dir;
  // "caf\xc3\xa9" is UTF-8 and kept; \xff and a lone \xc3 are not; a quote is
  // escaped.
  std::string const name = "$(printf 'caf\\303\\251-\\377-\\303-\\042.img')";
  Result const r = agent("apply " + quote(example("base.conf")) + " --create --json --image \"" +
                         dir.file(name) + "\"");
  ASSERT_EQ(r.status, 0) << r.err;
  // The document parses, and the bytes that are not UTF-8 read as U+FFFD.
  EXPECT_EQ(json(r.out)["image"], dir.file("caf\xc3\xa9-\xef\xbf\xbd-\xef\xbf\xbd-\".img"))
      << r.out;
}

TEST(AgentRobustness, OnlyRegularFilesAreImagesAndLinksAndLongNamesWork) {
  TempDir dir;
  std::string const base = " " + quote(example("base.conf"));
  // Something that is not a regular file at the image path is refused, at
  // once, by every command.
  std::string const fifo = dir.file("fifo.img");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  for (std::string const& command : {std::string("show"), "plan" + base, "apply" + base}) {
    Result const r = agent(command + " --image " + quote(fifo));
    EXPECT_EQ(r.status, kImageRefused) << command;
    EXPECT_EQ(r.err, "ifa-agent: image " + fifo +
                         ": not a regular file (a FIFO); an image is a regular file\n")
        << command;
  }
  fs::create_directory(dir.file("dir.img"));
  for (std::string const& command : {std::string("show"), "plan" + base, "apply" + base}) {
    Result const directory = agent(command + " --image " + quote(dir.file("dir.img")));
    EXPECT_EQ(directory.status, kImageRefused) << command;
    EXPECT_NE(directory.err.find("not a regular file (a directory)"), std::string::npos);
  }
  // Nothing is made beside what was refused, nor beside a missing image by
  // the commands that only read.
  for (std::string const& command : {std::string("show"), "plan" + base}) {
    agent(command + " --image " + quote(dir.file("missing.img")));
  }
  EXPECT_EQ(entriesOf(dir.file("")), (std::set<std::string>{"fifo.img", "dir.img"}));
  EXPECT_TRUE(fs::is_empty(dir.file("dir.img")));
  Result const device = agent("show --image /dev/null");
  EXPECT_EQ(device.err,
            "ifa-agent: image /dev/null: not a regular file (a character device); an image is a "
            "regular file\n");
  EXPECT_FALSE(fs::exists(IfaAgent::ImageLock::lockPath("/dev/null")));

  // A cold start through a dangling link creates its target; the link stays.
  // Errors name the link, as given, never the target or the temporary file
  // the image is made in; without --create nothing is made, not even a lock
  // file.
  fs::create_directory(dir.file("real"));
  fs::create_symlink("real/target.img", dir.file("link.img"));
  Result const missing = agent("apply" + base + " --image " + quote(dir.file("link.img")));
  EXPECT_EQ(missing.status, kImageRefused);
  EXPECT_EQ(missing.err, "ifa-agent: no image at " + dir.file("link.img") +
                             "; nothing was created (--create to cold-start one)\n");
  EXPECT_TRUE(fs::is_empty(dir.file("real")));
  std::string const temporary = SimChip::AsicImage::temporaryPath(dir.file("real/target.img"));
  fs::create_directory(temporary);  // cannot be removed as a file
  Result const stuck = agent("apply" + base + " --create --image " + quote(dir.file("link.img")));
  EXPECT_EQ(stuck.status, kIoFailure);
  EXPECT_EQ(stuck.err, "ifa-agent: image " + dir.file("link.img") +
                           ": cannot remove the temporary file an interrupted run left beside it: "
                           "Is a directory; no image was created\n");
  EXPECT_FALSE(fs::exists(dir.file("real/target.img")));
  fs::remove(temporary);
  ASSERT_EQ(agent("apply" + base + " --create --image " + quote(dir.file("link.img"))).status, 0);
  EXPECT_TRUE(fs::is_symlink(dir.file("link.img")));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir.file("real/target.img"))));
  EXPECT_EQ(agent("show --image " + quote(dir.file("real/target.img"))).out,
            shownExample("base.conf"));
  Result const warm =
      agent("apply " + quote(example("changed.conf")) + " --image " + quote(dir.file("link.img")));
  EXPECT_EQ(warm.out.rfind("warm restart of " + dir.file("link.img"), 0), 0u) << warm.out;
  EXPECT_TRUE(fs::is_symlink(dir.file("link.img")));
  // plan and show name the link too.
  std::string damaged = contents(dir.file("real/target.img"));
  damaged[1] = 'X';
  write(dir.file("real/target.img"), damaged);
  for (std::string const& command : {std::string("show"), "plan" + base}) {
    EXPECT_EQ(agent(command + " --image " + quote(dir.file("link.img"))).err,
              "ifa-agent: image " + dir.file("link.img") +
                  ": not an IFA ASIC image (no \"IFAASIC\" magic in a 4096-byte header)\n")
        << command;
  }

  // Names up to the file-name limit; a temporary file left by a run that
  // died is removed by the next writer, which leaves only the image and its
  // lock file.
  for (std::size_t length : {246, 255}) {
    std::string const name = std::string(length - 4, 'n') + ".img";
    fs::create_directory(dir.file(std::to_string(length)));
    std::string const image = dir.file(std::to_string(length) + "/" + name);
    write(SimChip::AsicImage::temporaryPath(image), "left by a killed cold start");
    Result const cold = agent("apply" + base + " --create --image " + quote(image));
    ASSERT_EQ(cold.status, 0) << cold.err;
    // The lock files are named after the image; past the file-name limit, as
    // much of the name as fits and a hash of all of it.
    std::string const lock = length == 246
                                 ? "." + name + ".lock"
                                 : "." + name.substr(0, 232) + "~" + hashHex(name) + ".lock";
    std::string const owner = length == 246
                                  ? "." + name + ".owner"
                                  : "." + name.substr(0, 231) + "~" + hashHex(name) + ".owner";
    EXPECT_EQ(entriesOf(dir.file(std::to_string(length))),
              (std::set<std::string>{name, lock, owner}));
    EXPECT_EQ(agent("show --image " + quote(image)).out, shownExample("base.conf"));
  }
}

// Runs `script` as root of a user and mount namespace of its own, where
// `mount -t tmpfs` makes a small disk; "skip" when namespaces are not allowed.
std::string inMountNamespace(std::string const& script, TempDir const& io) {
  std::string const probe = "unshare --user --map-root-user --mount true 2>/dev/null";
  if (std::system(probe.c_str()) != 0) return "skip";
  write(io.file("script"), script);
  std::string const command = "unshare --user --map-root-user --mount sh " +
                              quote(io.file("script")) + " >" + io.file("log") + " 2>&1";
  std::system(command.c_str());
  return contents(io.file("log"));
}

TEST(AgentRobustness, AFullDiskIsAnErrorOfItsOwnAndLeavesNoHalfMadeImage) {
  TempDir io;
  // A sparse image: the header's page only (no rows yet, all holes).
  std::string const sparse = io.file("sparse.img");
  write(io.file("empty.conf"), "");
  ASSERT_EQ(
      agent("apply " + quote(io.file("empty.conf")) + " --create --image " + quote(sparse)).status,
      0);
  std::string const program = IFA_AGENT_PROGRAM;
  std::string const disk = io.file("disk");
  fs::create_directory(disk);
  std::string const run = "env -u IFA_CHIP_PROFILE timeout -k 5 120 " + program + " apply " +
                          quote(example("base.conf")) + " --create --image ";
  std::string const log = inMountNamespace(
      "mount -t tmpfs -o size=256k none " + quote(disk) + " || exit\n" + "cp --sparse=always " +
          quote(sparse) + " " + quote(disk + "/sparse.img") + "\n" +
          "dd if=/dev/zero of=" + quote(disk + "/fill") + " bs=4k 2>/dev/null\n" +
          "echo \"sparse: $(stat -c %b " + quote(disk + "/sparse.img") + ")\"\n" + run +
          quote(disk + "/new.img") + "\necho \"cold: $?\"\n" + run + quote(disk + "/sparse.img") +
          "\necho \"warm: $?\"\ncmp " + quote(sparse) + " " + quote(disk + "/sparse.img") +
          " && echo unchanged\nLC_ALL=C ls -A " + quote(disk) + "\nrm " + quote(disk + "/fill") +
          "\n" + run + quote(disk + "/sparse.img") + " >/dev/null\necho \"room again: $?\"\n",
      io);
  if (log == "skip") GTEST_SKIP() << "no user and mount namespaces here";
  std::string const bytes =
      std::to_string(SimChip::imageLayout(SimChip::profile("corvane-sim-a")).imageBytes);
  std::set<std::string> const left = {
      "fill",
      "sparse.img",
      fs::path(IfaAgent::ImageLock::lockPath(disk + "/new.img")).filename().string(),
      fs::path(IfaAgent::ImageLock::lockPath(disk + "/sparse.img")).filename().string(),
      fs::path(IfaAgent::ImageLock::ownerPath(disk + "/new.img")).filename().string(),
      fs::path(IfaAgent::ImageLock::ownerPath(disk + "/sparse.img")).filename().string()};
  std::string listing;
  for (std::string const& name : left) listing += name + "\n";
  EXPECT_EQ(log,
            "sparse: 8\n"
            "ifa-agent: image " +
                disk + "/new.img: cannot allocate its " + bytes +
                " bytes: No space left on device; no image was created\n"
                "cold: 5\n"
                "ifa-agent: image " +
                disk + "/sparse.img: cannot allocate the blocks of its " + bytes +
                " bytes: No space left on device; nothing was written\n"
                "warm: 5\n"
                "unchanged\n" +
                listing + "room again: 0\n");
}

// The base configuration's image on both chip profiles, byte for byte as
// kept in tests/golden (header, row packing, region layout). A replay of the
// same configuration writes nothing; after another configuration and the
// base again, rewrites and purges bring back exactly the same bytes.
TEST(AgentRobustness, TheBaseConfigurationGivesTheGoldenImageOnEveryProfile) {
  TempDir dir;
  for (std::string const profile : {"corvane-sim-a", "corvane-sim-small"}) {
    SCOPED_TRACE(profile);
    std::string const env = "IFA_CHIP_PROFILE=" + profile;
    std::string const image = dir.file(profile + ".img");
    std::string const golden = contents(std::string(IFA_GOLDEN_DIR) + "/base." + profile + ".img");
    ASSERT_FALSE(golden.empty());
    auto apply = [&](std::string const& conf) {
      Result const r =
          agent("apply " + quote(example(conf)) + " --create --json --image " + quote(image), env);
      EXPECT_EQ(r.status, 0) << r.err;
      return r.out;
    };
    apply("base.conf");
    EXPECT_TRUE(contents(image) == golden) << "cold start";
    for (auto const& [table, f] : figures(apply("base.conf"))) {
      EXPECT_EQ(f.matched, f.entries) << table;
      EXPECT_EQ(f.mismatched + f.missing + f.stale, 0u) << table;
    }
    EXPECT_TRUE(contents(image) == golden) << "replay of the same configuration";
    apply("changed.conf");
    EXPECT_FALSE(contents(image) == golden);
    apply("base.conf");
    EXPECT_TRUE(contents(image) == golden) << "back to the base configuration";
    // The same configuration as show prints it, in the short form (in either
    // base) and in the full form, gives the same image.
    for (std::string const how : {"", "--base hex", "--format full"}) {
      Result const shownNow = agent("show " + how + " --image " + quote(image), env);
      ASSERT_EQ(shownNow.status, 0) << shownNow.err;
      write(dir.file("shown.conf"), shownNow.out);
      std::string const second = dir.file(profile + ".shown.img");
      fs::remove(second);
      Result const cold = agent(
          "apply " + quote(dir.file("shown.conf")) + " --create --image " + quote(second), env);
      ASSERT_EQ(cold.status, 0) << cold.err;
      EXPECT_TRUE(contents(second) == golden) << "show " << how;
    }
  }
}

// Polls until the file at `path` differs from `bytes` (an agent paused after
// its first row write has written it); false after ten seconds.
bool changes(std::string const& path, std::string const& bytes) {
  for (int i = 0; i < 1000; ++i) {
    if (contents(path) != bytes) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(AgentRobustness, AStorageFaultUnderTheMappingEndsTheRunWithStatus5NotASignal) {
  ImageRig rig;
  std::string const image = quote(rig.image);
  std::string const out = rig.dir.file("paused");
  std::string const message =
      "image " + rig.image +
      ": its storage failed under a row access (SIGBUS: an I/O error, or the file was cut short); "
      "the image is as an interrupted apply leaves it";
  for (bool const asJson : {false, true}) {
    write(rig.image, rig.bytes);
    fs::remove(out);
    // An apply paused after its first row write; meanwhile the image is cut
    // to its header, so that its next row write falls outside the file.
    std::string const command = "(env IFA_CHIP_PAUSE_AFTER_WRITES=1:1500 timeout -k 5 120 " +
                                std::string(IFA_AGENT_PROGRAM) + " apply " +
                                quote(example("changed.conf")) + (asJson ? " --json" : "") +
                                " --image " + image + " >" + quote(out + ".out") + " 2>" +
                                quote(out + ".err") + "; echo $? >" + quote(out) + ") &";
    ASSERT_EQ(std::system(command.c_str()), 0);
    ASSERT_TRUE(changes(rig.image, rig.bytes));
    fs::resize_file(rig.image, 4096);
    for (int i = 0; i < 1000 && contents(out).empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(contents(out), std::to_string(kIoFailure) + "\n");
    if (!asJson) {
      EXPECT_EQ(contents(out + ".err"), "ifa-agent: " + message + "\n");
      continue;
    }
    // With --json, one error document as for every other failure.
    EXPECT_EQ(contents(out + ".err"), "");
    EXPECT_EQ(json(contents(out + ".out")),
              (nlohmann::json{
                  {"formatVersion", 2},
                  {"command", "apply"},
                  {"error", {{"status", kIoFailure}, {"kind", "storage"}, {"message", message}}}}));
  }
}

// Two applies of different configurations and a show, started together on
// one image, one apply slowed half-way, twenty times over, from a cold start
// and from an existing image. Each waits for the lock: every run succeeds,
// the image ends as exactly one of the two configurations, and the show sees
// a whole configuration (or no image yet), never a row of a half-done apply.
TEST(AgentRobustness, AppliesOnOneImageNeverInterleaveAndShowSeesWholeConfigurations) {
  TempDir dir;
  std::string const image = quote(dir.file("chip.img"));
  std::string const a = shownExample("base.conf"), b = shownExample("changed.conf");
  std::string const program = std::string("timeout -k 5 120 ") + IFA_AGENT_PROGRAM;
  auto job = [&](std::string const& name, std::string const& env, std::string const& args) {
    return "(env -u IFA_CHIP_PROFILE " + env + " " + program + " " + args + " --image " + image +
           " --lock-timeout 60 >" + quote(dir.file(name + ".out")) + " 2>" +
           quote(dir.file(name + ".err")) + "; echo $? >" + quote(dir.file(name)) + ") & ";
  };
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    if (round % 4 == 0) fs::remove(dir.file("chip.img"));
    std::string const slow = "IFA_CHIP_PAUSE_AFTER_WRITES=15:150";
    bool const slowFirst = round % 2 == 0;
    std::string const script =
        job("w1", slowFirst ? slow : "", "apply --create " + quote(example("base.conf"))) +
        job("w2", slowFirst ? "" : slow, "apply --create " + quote(example("changed.conf"))) +
        job("r", "", "show") + "wait";
    ASSERT_EQ(std::system(script.c_str()), 0);
    EXPECT_EQ(contents(dir.file("w1")), "0\n") << contents(dir.file("w1.err"));
    EXPECT_EQ(contents(dir.file("w2")), "0\n") << contents(dir.file("w2.err"));
    std::string const seen = contents(dir.file("r.out"));
    if (contents(dir.file("r")) == "3\n") {
      EXPECT_EQ(seen, "");  // the show came before the first cold start
    } else {
      EXPECT_EQ(contents(dir.file("r")), "0\n") << contents(dir.file("r.err"));
      EXPECT_TRUE(seen == a || seen == b) << seen;
    }
    std::string const final = agent("show --image " + image).out;
    EXPECT_TRUE(final == a || final == b) << final;
  }

  // Without --lock-timeout a second agent gives up at once with status 6,
  // naming the image and the lock file; with it, it waits for the first. The
  // first pauses long enough for the two that give up to run meanwhile.
  std::string const bytes = contents(dir.file("chip.img"));
  std::string const other = agent("show --image " + image).out == a ? "changed.conf" : "base.conf";
  ASSERT_EQ(std::system(("(env IFA_CHIP_PAUSE_AFTER_WRITES=1:4000 " + program + " apply " +
                         quote(example(other)) + " --image " + image + " >/dev/null; echo $? >" +
                         quote(dir.file("slow")) + ") &")
                            .c_str()),
            0);
  ASSERT_TRUE(changes(dir.file("chip.img"), bytes));
  // apply and plan meet the owner lock, show the rows lock; the owner lock
  // names the apply that holds it.
  auto const holder =
      IfaAgent::ImageLock::holderOf(IfaAgent::ImageLock::ownerPath(dir.file("chip.img")));
  ASSERT_TRUE(holder.has_value());
  EXPECT_EQ(holder->command, "apply");
  for (std::string const& command : {"apply " + quote(example("base.conf")),
                                     "plan " + quote(example("base.conf")), std::string("show")}) {
    std::string const lock = command == "show"
                                 ? IfaAgent::ImageLock::lockPath(dir.file("chip.img"))
                                 : IfaAgent::ImageLock::ownerPath(dir.file("chip.img"));
    Result const r = agent(command + " --image " + image);
    EXPECT_EQ(r.status, kImageBusy) << command;
    EXPECT_EQ(r.err, "ifa-agent: image " + dir.file("chip.img") +
                         " is in use by another ifa-agent (lock file " + lock +
                         "); try again, or wait for it with --lock-timeout SECONDS\n");
  }
  Result const waited = agent("show --lock-timeout 60 --image " + image);
  EXPECT_EQ(waited.status, 0) << waited.err;
  EXPECT_EQ(waited.out, shownExample(other));
  // The lock goes with the process, a moment before its status is written.
  for (int i = 0; i < 500 && contents(dir.file("slow")).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(contents(dir.file("slow")), "0\n");
  // It empties the owner lock as it goes: no holder is named any more.
  EXPECT_EQ(contents(IfaAgent::ImageLock::ownerPath(dir.file("chip.img"))), "");
}

}  // namespace
