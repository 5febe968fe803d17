// ifa-embed IMAGE: the IFA tables embedded in a program, on the simulated
// chip installed with them. A cold start writes three rows; a warm restart
// over the same hardware reads them back, replays a changed configuration
// and prints how each row was reconciled. IMAGE, the chip's hardware, must
// not exist yet; it is left behind.
#include <cstdint>
#include <exception>
#include <iostream>

#include "host/IfaHost.h"

using CorvaneInt::IfaVectorMatch;
using Mode = Asic::ChipDevice::Mode;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: ifa-embed IMAGE\n";
    return 2;
  }
  try {
    IfaHost::Chip const chip({IfaHost::pluginDirectory()});
    std::cout << "chip profile " << chip.profileName() << '\n';
    IfaVectorMatch::Entry entry;
    entry.valid = 1;
    entry.reqVector = 4096;
    {
      // Cold start: no replay, so every commit writes its row at once.
      IfaHost::TableSet run(chip, argv[1], Mode::create);
      IfaVectorMatch& table = run.table<IfaVectorMatch>();
      table.doInitComplete();
      for (std::uint32_t key : {1, 2, 3}) table.entryCommit(key, entry);
      run.sync();
      std::cout << "cold start: " << table.resolvedEntrys() << " rows written\n";
    }  // the tables go; their rows stay in hardware

    // Warm restart: read the rows back, replay the configuration, then
    // delete the rows it no longer holds.
    IfaHost::TableSet run(chip, argv[1], Mode::open);
    IfaVectorMatch& table = run.table<IfaVectorMatch>();
    table.syncEntries();
    std::cout << "warm restart: " << table.syncedEntrys() << " rows read back\n";
    IfaVectorMatch::Entry changed = entry;
    changed.baseHdr = 5;
    table.entryCommit(1, entry);    // the same: left alone
    table.entryCommit(2, changed);  // different: rewritten in place
    table.entryCommit(4, entry);    // new: written
    table.doInitComplete();
    table.purgeStaleEntries();  // 3, no longer configured: deleted
    run.sync();
    auto const& s = table.statistics();
    std::cout << "matched " << s.entryMatched << ", mismatched " << s.entryMismatched
              << ", missing " << s.entryMissing << ", stale " << s.entryStale << '\n';
  } catch (std::exception const& e) {
    std::cerr << "ifa-embed: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
