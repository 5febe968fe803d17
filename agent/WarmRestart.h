// A warm restart over the tables of one run, in its four named phases:
//
//   readBack        every table reads its rows back (syncEntries);
//   refusePurgeAll  a configuration that claims none of the rows read back
//                   would purge them all: refused here, before anything is
//                   written, unless the caller allows it;
//   replay          every configured entry is committed (entryCommit), which
//                   leaves equal rows alone, rewrites different ones and
//                   writes missing ones;
//   purge           the replay ends (doInitComplete) and the rows no replayed
//                   key claimed are deleted (purgeStaleEntries).
//
// apply runs all four on the image, plan on a private copy of it (and only
// warns where apply would refuse), and a long-running agent runs them at its
// start before it takes changes one by one. The run (IfaHost::TableSet) is
// the caller's and outlives the restart, so that the tables stay for what
// comes after it.
//
// Each phase adds to the report it was given: per table the entries and rows
// read back, then the reconciliation figures, and with report.listed each
// key's change as the engine made it. Each phase's clock times the library's
// calls only, not the bookkeeping of the report.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "agent/Config.h"
#include "agent/Report.h"
#include "host/IfaHost.h"

namespace IfaAgent {

// Called during long runs with the entries done and to do.
using Progress = std::function<void(std::size_t done, std::size_t total)>;

class WarmRestart {
 public:
  // `report` must have been made for a warm restart (no tables yet).
  WarmRestart(IfaHost::TableSet& run, Asic::ChipDevice const& device, Config const& config,
              Report& report);

  // syncEntries of every table; sets report.purgesAll.
  void readBack();
  // Raises AgentError (image), naming the image as `image` and the number of
  // rows, when the configuration claims none of the rows read back (at least
  // one). Call after readBack, unless purging every row is allowed.
  void refusePurgeAll(std::string const& image) const;
  void replay(Progress const& progress = {});
  void purge();
  // The time each phase spent in the library.
  Phases phases() const;

 private:
  IfaHost::TableSet& run_;
  Asic::ChipDevice const& device_;
  Config const& config_;
  Report& report_;
  std::vector<std::vector<Change>> changes_;  // per table, while listing
  Phases phases_;
};

}  // namespace IfaAgent
