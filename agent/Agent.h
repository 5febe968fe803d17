// The agent: drives the fourteen tables over the chip that a plug-in provides,
// through a cold start, a warm restart, a plan of one, and a read-back.
//
// A cold start (no image yet, and the caller asked for one to be created)
// creates the chip's image, ends the replay at once and commits every
// configured entry. A warm restart (an image exists)
// reads every table's rows back (syncEntries), replays the configuration
// (entryCommit), ends the replay (doInitComplete) and deletes what no
// replayed entry claimed (purgeStaleEntries); each table's reconciliation
// statistics give the report. A plan makes the same warm restart on a private
// copy of the image, so it writes nothing and reports the figures the
// following apply reports.
//
// An apply also times its phases on the steady clock (Phases); a plan does
// not, since its figures are a prediction of the apply's and nothing else.
//
// Each run is an IfaHost::TableSet: at its end the Utils are detached before
// the tables go, so that the tables' teardown leaves the hardware rows in
// place for the next run.
//
// Two guard rails keep a mistyped image path or configuration from costing
// the chip its rows: an apply creates no image unless asked to, and refuses a
// warm restart whose configuration claims none of the rows the image holds
// (it would purge them all) unless allowed to.
//
// A warm restart runs in named phases (agent/WarmRestart.h).
//
// Every run resolves the image path (symbolic links followed), refuses
// something there that is not a regular file before making anything beside
// it, and holds the image's locks (agent/ImageLock.h) throughout: apply both
// exclusively, plan the owner lock shared, show the rows lock shared. Its errors name the image as
// the caller gave it, never the path it resolves to nor the temporary file of a new image: the lock
// and the chip's device take that name for their messages.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "agent/Config.h"
#include "agent/Report.h"
#include "agent/WarmRestart.h"
#include "host/IfaHost.h"

namespace IfaAgent {

// A run that cannot start or finish (no chip, image refused, ...).
class AgentError : public std::runtime_error {
 public:
  // busy: another agent holds the image's lock; stale: the image is not
  // the one a saved plan was made for; noAgent: no agent answers a status
  // query.
  enum class Kind { usage, chip, image, busy, stale, noAgent };
  AgentError(Kind kind, std::string const& message) : std::runtime_error(message), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// Nothing at the image path, and nothing made there (no --create).
AgentError noImageError(std::string const& image);

// What an apply may do beyond reconciling an existing image.
struct ApplyOptions {
  bool create = false;         // cold-start when nothing is at the image path
  bool allowPurgeAll = false;  // purge every row of a configuration claiming none
  bool verbose = false;        // list the change of every key (Report::changes)
  // A saved plan's apply: the image as planned, checked under the lock
  // before anything is written. The SHA-256 of its bytes, or none when the
  // plan was made with no image (then there must still be none).
  bool planned = false;
  std::optional<std::string> plannedImageSha256{};
};

class Agent {
 public:
  // Finds the chip (IfaHost::Chip): the plug-ins of SIDECAR_PLUGIN_PATH when
  // it is set, otherwise those installed with the library
  // (IfaHost::pluginDirectory()). Raises IfaHost::ChipError when something
  // is missing.
  Agent();
  ~Agent();

  std::string profileName() const { return chip_.profileName(); }
  // Plug-ins of the search path refused (IfaHost::Chip::refused).
  std::vector<std::string> const& pluginsRefused() const { return chip_.refused(); }
  // The index range of every table, by qualified name.
  IndexRanges const& ranges() const { return ranges_; }
  // How long a run waits for an image locked by another agent (default: not
  // at all).
  void lockWaitIs(std::chrono::milliseconds wait) { lockWait_ = wait; }

  // Raises AgentError (image), having written nothing, when nothing is at
  // `image` and options.create is not given, or when the configuration
  // claims none of the rows a non-empty image holds and
  // options.allowPurgeAll is not given; AgentError (stale), having written
  // nothing, when options.planned and the image is not the one planned.
  Report apply(Config const& config, std::string const& image, ApplyOptions const& options,
               Progress const& progress = {});
  // What an apply of `config` would do, found by making it on a private
  // copy of the image; with `verbose`, per key. The report holds the
  // SHA-256 of the image's bytes as planned (imageSha256).
  Report plan(Config const& config, std::string const& image, bool verbose);
  // The valid rows of every table (or of the one named), in key order, with
  // their fields and configuration lines in the full form. Raises AgentError
  // (usage) for an unknown table.
  std::vector<ShownRow> show(std::string const& image, std::string_view table);
  // Every table (or the one named) with its index range and fields.
  std::vector<TableDescription> describe(std::string_view table) const;

 private:
  // The image path resolved (ImageLock.h), refused when something other than
  // a regular file is there.
  std::string imageTarget(std::string const& image) const;
  // `image` is the path as given, for messages; `target` the resolved one.
  Report warmRestart(Config const& config, std::string const& image, std::string const& target,
                     bool plan, ApplyOptions const& options, Progress const& progress);
  Report coldStart(Config const& config, std::string const& image, std::string const& target,
                   bool verbose, Progress const& progress);
  // The same two on a run the caller keeps (a long-running agent's); the
  // writes are synced.
  Report warmRestartOn(IfaHost::TableSet& run, Config const& config, std::string const& image,
                       bool plan, ApplyOptions const& options, Progress const& progress);
  Report coldStartOn(IfaHost::TableSet& run, Config const& config, std::string const& image,
                     bool verbose, Progress const& progress);
  Report newReport(Report::Mode mode, bool plan, std::string const& image, bool listed) const;
  // The table named `name` (name or qualified name) as the qualified name;
  // raises AgentError (usage) for an unknown one.
  std::string_view knownTable(std::string_view name) const;

  // The long-running agent starts as apply does, on a run it keeps.
  friend class Service;

  IfaHost::Chip chip_;
  IndexRanges ranges_;
  std::chrono::milliseconds lockWait_{0};
};

}  // namespace IfaAgent
