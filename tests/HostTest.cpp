// The host: a chip plug-in built for another release is refused, naming both
// releases; table sets attach the hardware and, when they go, leave the rows
// in it for the next run, on an error path too.
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "AgentProcessSupport.h"
#include "Sidecar/Loader.h"
#include "host/IfaHost.h"

namespace {

using CorvaneInt::IfaVectorMatch;
using Mode = Asic::ChipDevice::Mode;

class Host : public testing::Test {
 protected:
  // The search path goes back to SIDECAR_PLUGIN_PATH for the other tests.
  ~Host() override { Sidecar::Core::Loader::Singleton::searchPathIs(std::nullopt); }
};

TEST_F(Host, RefusesAChipPluginBuiltForAnotherRelease) {
  std::string const other = OTHER_RELEASE_PLUGIN_DIR;
  std::string const refusal = "chip plug-in " + other +
                              "/other-release-chip.so refused: built for ifa-swtables 99.0.0, "
                              "this is ifa-swtables " +
                              std::string(IfaHost::kRelease);
  try {
    IfaHost::Chip const chip({other});
    ADD_FAILURE() << "a chip answered";
  } catch (IfaHost::ChipError const& e) {
    EXPECT_EQ(std::string(e.what()),
              "no chip plug-in answered (search path: " + other + "); " + refusal);
  }
  // Searched before the plug-in of this release, it stays refused.
  IfaHost::Chip const chip({other, IFA_SIM_CHIP_PLUGIN_DIR});
  EXPECT_EQ(chip.refused(), std::vector<std::string>{refusal});
  EXPECT_EQ(chip.profileName(), "corvane-sim-a");
}

TEST_F(Host, TableSetsLeaveTheRowsInHardware) {
  IfaHost::Chip const chip({IFA_SIM_CHIP_PLUGIN_DIR});
  AgentTest::TempDir dir;
  std::string const image = dir.file("chip.img");
  IfaVectorMatch::Entry entry;
  entry.valid = 1;
  entry.reqVector = 4096;
  {
    IfaHost::TableSet run(chip, image, Mode::create);
    run.table<IfaVectorMatch>().doInitComplete();
    run.table<IfaVectorMatch>().entryCommit(3, entry);
    run.sync();
  }
  EXPECT_FALSE(chip.device().attached());
  // A run that ends in an error, half-way through the replay of the key.
  try {
    IfaHost::TableSet run(chip, image, Mode::open);
    run.table<IfaVectorMatch>().syncEntries();
    run.table<IfaVectorMatch>().entryCommit(3, entry);
    throw std::runtime_error("stop");
  } catch (std::runtime_error const&) {
  }
  EXPECT_FALSE(chip.device().attached());
  EXPECT_THROW(IfaHost::TableSet(chip, dir.file("missing.img"), Mode::open),
               Asic::ChipDevice::Error);
  EXPECT_FALSE(chip.device().attached());

  IfaHost::TableSet run(chip, image, Mode::openPrivate);
  IfaVectorMatch& table = run.table<IfaVectorMatch>();
  EXPECT_EQ(table.minIndex(), 0u);
  EXPECT_EQ(table.maxIndex(), 63u);
  table.syncEntries();
  EXPECT_EQ(table.syncedEntrys(), 1u);
  EXPECT_EQ(table.syncedEntry(3), entry);
  // One run at a time over the hardware.
  EXPECT_THROW(IfaHost::TableSet(chip, image, Mode::openPrivate), std::logic_error);
}

}  // namespace
