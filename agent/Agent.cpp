#include "agent/Agent.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <tuple>

#include "agent/ImageLock.h"

namespace IfaAgent {
namespace {

// Calls f.template operator()<Table>(slot) for each table with its catalogue
// position.
template <class F>
void forEachTable(F&& f) {
  std::size_t slot = 0;
  IfaRuntime::AllTables::forEach([&]<class Table>() { f.template operator()<Table>(slot++); });
}

// The chip plug-ins' search path: SIDECAR_PLUGIN_PATH, or the directory
// installed with the library.
std::vector<std::string> pluginSearchPath() {
  char const* path = std::getenv("SIDECAR_PLUGIN_PATH");
  if (path == nullptr) return {IfaHost::pluginDirectory()};
  std::vector<std::string> directories;
  std::string_view rest(path);
  while (true) {
    std::size_t const colon = rest.find(':');
    directories.emplace_back(rest.substr(0, colon));
    if (colon == std::string_view::npos) return directories;
    rest.remove_prefix(colon + 1);
  }
}

// Adds up the steady-clock time of the spans it is started and stopped
// around.
class PhaseClock {
 public:
  void start() { since_ = std::chrono::steady_clock::now(); }
  void stop() { total_ += std::chrono::steady_clock::now() - since_; }
  std::uint64_t micros() const {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(total_).count());
  }

 private:
  std::chrono::steady_clock::time_point since_;
  std::chrono::steady_clock::duration total_{};
};

// Whether anything is at the resolved image path (a FIFO or a directory
// there is found, and refused when attached).
bool imageExists(std::string const& resolvedImage) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(resolvedImage, ec));
}

AgentError noImage(std::string const& image) {
  return AgentError(AgentError::Kind::image,
                    "no image at " + image + "; nothing was created (--create to cold-start one)");
}

template <class Entry>
std::vector<FieldValue> fieldValues(Entry const& entry) {
  std::vector<FieldValue> out;
  IfaRuntime::forEachField<Entry>([&](auto const& f) { out.push_back({f.name, f.get(entry)}); });
  return out;
}

// The fields whose values differ, in declaration order.
template <class Entry>
std::vector<FieldChange> fieldChanges(Entry const& before, Entry const& after) {
  std::vector<FieldChange> out;
  IfaRuntime::forEachField<Entry>([&](auto const& f) {
    if (f.get(before) != f.get(after)) out.push_back({f.name, f.get(before), f.get(after)});
  });
  return out;
}

template <class Table>
TableFigures figuresOf() {
  TableFigures figures;
  figures.table = Table::kName;
  figures.qualified = Table::kQualifiedName;
  return figures;
}

template <class Table>
Change changeOf(Change::Op op, std::uint32_t key) {
  Change change;
  change.op = op;
  change.table = Table::kName;
  change.qualified = Table::kQualifiedName;
  change.key = key;
  return change;
}

// Appends one table's changes to the report's, in key order.
void appendInKeyOrder(std::vector<Change>& to, std::vector<Change> from) {
  std::stable_sort(from.begin(), from.end(),
                   [](Change const& a, Change const& b) { return a.key < b.key; });
  to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

// `changes` with a write of every configured entry of the table.
template <class Table>
std::vector<Change> writesOf(Config const& config, std::vector<Change> changes) {
  std::vector<Change> table;
  for (auto const& item : config.table<Table>().items) {
    Change change = changeOf<Table>(Change::Op::write, item.key);
    change.entry = fieldValues(item.entry);
    table.push_back(std::move(change));
  }
  appendInKeyOrder(changes, std::move(table));
  return changes;
}

// Commits `entry` at `key` and appends to `changes` what the engine did: the
// reconciliation counter the commit moved tells a rewrite (mismatched) from a
// write (missing) and from a row left alone (matched, not listed). A rewrite
// lists the fields that differ between the row read back and the entry; when
// none does, the row held bits outside the fields, and it lists the row's
// bytes before and after.
template <class Table>
std::vector<Change> observedCommit(Table& table, Asic::ChipDevice const& device, std::uint32_t key,
                                   typename Table::Entry const& entry,
                                   std::vector<Change> changes) {
  auto const synced = table.syncedEntryGet(key);
  std::vector<FieldChange> fields;
  std::vector<std::uint8_t> rowBefore;
  if (synced.hasValue()) {
    fields = fieldChanges(*synced, entry);
    if (fields.empty()) rowBefore = device.rowBytes(Table::kQualifiedName, key);
  }
  auto const before = table.statistics();
  table.entryCommit(key, entry);
  auto const& after = table.statistics();
  if (after.entryMismatched != before.entryMismatched) {
    Change change = changeOf<Table>(Change::Op::rewrite, key);
    change.fields = std::move(fields);
    if (change.fields.empty()) {
      change.rowBefore = std::move(rowBefore);
      change.rowAfter = device.rowBytes(Table::kQualifiedName, key);
    }
    changes.push_back(std::move(change));
  } else if (after.entryMissing != before.entryMissing) {
    Change change = changeOf<Table>(Change::Op::write, key);
    change.entry = fieldValues(entry);
    changes.push_back(std::move(change));
  }
  return changes;
}

}  // namespace

Report Agent::newReport(Report::Mode mode, bool plan, std::string const& image, bool listed) const {
  Report report;
  report.mode = mode;
  report.plan = plan;
  report.image = image;
  report.profile = profileName();
  report.listed = listed;
  return report;
}

Agent::Agent() : chip_(pluginSearchPath()) {
  forEachTable([&]<class Table>(std::size_t) {
    auto const& util = chip_.template util<Table>();
    ranges_[std::string(Table::kQualifiedName)] = {util->minIndex(), util->maxIndex()};
  });
}

Agent::~Agent() = default;

Report Agent::apply(Config const& config, std::string const& image, ApplyOptions const& options,
                    Progress const& progress) {
  std::string const target = resolveImagePath(image);
  // A path where nothing is is refused before the lock is taken, so that a
  // mistyped path leaves no lock file behind either.
  if (!options.create && !imageExists(target)) throw noImage(image);
  ImageLock const lock(target, ImageLock::Mode::exclusive, lockWait_, image);
  if (imageExists(target)) return warmRestart(config, image, target, false, options, progress);
  if (!options.create) throw noImage(image);  // removed while the lock was awaited
  return coldStart(config, image, target, options.verbose, progress);
}

Report Agent::coldStart(Config const& config, std::string const& image, std::string const& target,
                        bool verbose, Progress const& progress) {
  IfaHost::TableSet run(chip_, target, Asic::ChipDevice::Mode::create, image);
  Report report = newReport(Report::Mode::cold, false, image, verbose);
  std::size_t done = 0;
  std::size_t const total = config.size();
  PhaseClock commits;  // the progress reports excluded
  forEachTable([&]<class Table>(std::size_t) {
    Table& table = run.table<Table>();
    table.doInitComplete();
    TableFigures figures = figuresOf<Table>();
    commits.start();
    for (auto const& item : config.table<Table>().items) {
      table.entryCommit(item.key, item.entry);
      ++figures.entries;
      if (progress) {
        commits.stop();
        progress(++done, total);
        commits.start();
      }
    }
    commits.stop();
    report.tables.push_back(figures);
    if (verbose) report.changes = writesOf<Table>(config, std::move(report.changes));
  });
  report.phases = Phases{0, commits.micros(), 0};
  run.sync();
  return report;
}

Report Agent::plan(Config const& config, std::string const& image, bool verbose) {
  std::string const target = resolveImagePath(image);
  ImageLock const lock(target, ImageLock::Mode::shared, lockWait_, image);
  if (imageExists(target)) {
    return warmRestart(config, image, target, true, {.allowPurgeAll = true, .verbose = verbose},
                       {});
  }
  Report report = newReport(Report::Mode::cold, true, image, verbose);
  forEachTable([&]<class Table>(std::size_t) {
    TableFigures figures = figuresOf<Table>();
    figures.entries = static_cast<std::uint32_t>(config.table<Table>().items.size());
    report.tables.push_back(figures);
    if (verbose) report.changes = writesOf<Table>(config, std::move(report.changes));
  });
  return report;
}

Report Agent::warmRestart(Config const& config, std::string const& image, std::string const& target,
                          bool plan, ApplyOptions const& options, Progress const& progress) {
  IfaHost::TableSet run(chip_, target,
                        plan ? Asic::ChipDevice::Mode::openPrivate : Asic::ChipDevice::Mode::open,
                        image);
  Asic::ChipDevice const& device = chip_.device();
  bool const verbose = options.verbose;
  Report report = newReport(Report::Mode::warm, plan, image, verbose);
  // Each clock times its phase's library calls only, not the report's
  // bookkeeping, the per-key listing or the progress reports.
  PhaseClock sync, replay, purge;
  // Read back.
  forEachTable([&]<class Table>(std::size_t) {
    Table& table = run.table<Table>();
    sync.start();
    table.syncEntries();
    sync.stop();
    TableFigures figures = figuresOf<Table>();
    figures.entries = static_cast<std::uint32_t>(config.table<Table>().items.size());
    figures.readBack = table.syncedEntrys();
    report.tables.push_back(figures);
  });
  // A configuration that claims none of the rows read back would purge them
  // all: more likely the wrong configuration or image than a wish. Refused
  // here, before the replay writes anything.
  // A plan only says so.
  std::uint32_t const rows = report.total().readBack;
  bool claimed = false;
  forEachTable([&]<class Table>(std::size_t) {
    Table& table = run.table<Table>();
    for (auto const& item : config.table<Table>().items) {
      if (claimed) return;
      claimed = table.syncedEntryGet(item.key).hasValue();
    }
  });
  report.purgesAll = rows > 0 && !claimed;
  if (!plan && !options.allowPurgeAll) {
    if (report.purgesAll) {
      std::string const count = std::to_string(rows) + (rows == 1 ? " row" : " rows");
      throw AgentError(AgentError::Kind::image,
                       "image " + image + ": the configuration claims none of the " + count +
                           " the image holds, so the apply would purge all " + count +
                           "; nothing was written (--allow-purge-all to purge them)");
    }
  }
  // Replay. With `verbose`, each key's outcome is the engine's own: the
  // reconciliation counter its commit moved.
  std::vector<std::vector<Change>> changes(verbose ? IfaRuntime::kTableCount : 0);
  std::size_t done = 0;
  std::size_t const total = config.size();
  replay.start();
  forEachTable([&]<class Table>(std::size_t slot) {
    Table& table = run.table<Table>();
    for (auto const& item : config.table<Table>().items) {
      if (!verbose) {
        table.entryCommit(item.key, item.entry);
      } else {
        replay.stop();
        changes[slot] =
            observedCommit<Table>(table, device, item.key, item.entry, std::move(changes[slot]));
        replay.start();
      }
      if (progress) {
        replay.stop();
        progress(++done, total);
        replay.start();
      }
    }
  });
  replay.stop();
  // End of replay, then the purge of what nobody claimed.
  purge.start();
  forEachTable([&]<class Table>(std::size_t) { run.table<Table>().doInitComplete(); });
  purge.stop();
  forEachTable([&]<class Table>(std::size_t slot) {
    Table& table = run.table<Table>();
    if (verbose) {
      // The purge deletes the read-back rows no replayed key claimed.
      for (auto it = table.syncedEntryColl().begin(); !it.atEnd(); it.advance()) {
        std::uint32_t const key = it.staleNode()->key.value;
        if (table.resolvedEntryColl()[key] != nullptr) continue;
        Change change = changeOf<Table>(Change::Op::purge, key);
        change.entry = fieldValues(table.syncedEntry(key));
        changes[slot].push_back(std::move(change));
      }
    }
    purge.start();
    table.purgeStaleEntries();
    purge.stop();
    auto const& s = table.statistics();
    TableFigures& figures = report.tables[slot];
    figures.matched = s.entryMatched;
    figures.mismatched = s.entryMismatched;
    figures.missing = s.entryMissing;
    figures.stale = s.entryStale;
    if (verbose) appendInKeyOrder(report.changes, std::move(changes[slot]));
  });
  if (!plan) report.phases = Phases{sync.micros(), replay.micros(), purge.micros()};
  run.sync();
  return report;
}

std::string_view Agent::knownTable(std::string_view name) const {
  std::string_view found;
  std::vector<std::string_view> names;
  forEachTable([&]<class Table>(std::size_t) {
    if (name == Table::kName || name == Table::kQualifiedName) found = Table::kQualifiedName;
    names.push_back(Table::kName);
  });
  if (!found.empty()) return found;
  std::string message = "unknown table \"" + excerpt(name, 48) + "\"";
  std::string const near = closestName(name, names);
  if (!near.empty()) {
    throw AgentError(AgentError::Kind::usage, message + " (did you mean \"" + near + "\"?)");
  }
  std::string list;
  for (std::string_view n : names) list += (list.empty() ? "" : ", ") + std::string(n);
  throw AgentError(AgentError::Kind::usage, message + " (tables: " + list + ")");
}

std::vector<ShownRow> Agent::show(std::string const& image, std::string_view tableName,
                                  LineForm form) {
  std::string_view const only = tableName.empty() ? std::string_view() : knownTable(tableName);
  std::string const target = resolveImagePath(image);
  ImageLock const lock(target, ImageLock::Mode::shared, lockWait_, image);
  if (!imageExists(target)) throw AgentError(AgentError::Kind::image, "no image at " + image);
  IfaHost::TableSet run(chip_, target, Asic::ChipDevice::Mode::openPrivate, image);
  std::vector<ShownRow> rows;
  forEachTable([&]<class Table>(std::size_t) {
    if (!only.empty() && only != Table::kQualifiedName) return;
    Table& table = run.table<Table>();
    table.syncEntries();
    std::vector<std::uint32_t> keys;
    for (auto it = table.syncedEntryColl().begin(); !it.atEnd(); it.advance()) {
      keys.push_back(it.staleNode()->key.value);
    }
    std::sort(keys.begin(), keys.end());
    for (std::uint32_t key : keys) {
      auto const entry = table.syncedEntry(key);
      rows.push_back({Table::kName, Table::kQualifiedName, key, fieldValues(entry),
                      configLine<Table>(key, entry, form)});
    }
  });
  return rows;
}

std::vector<TableDescription> Agent::describe(std::string_view tableName) const {
  std::string_view const only = tableName.empty() ? std::string_view() : knownTable(tableName);
  std::vector<TableDescription> out;
  forEachTable([&]<class Table>(std::size_t) {
    if (!only.empty() && only != Table::kQualifiedName) return;
    TableDescription d{
        Table::kName, Table::kQualifiedName, ranges_.at(std::string(Table::kQualifiedName)), {}};
    IfaRuntime::forEachField<typename Table::Entry>([&](auto const& f) {
      d.fields.push_back({f.name, f.kBits, f.kMax});
    });
    out.push_back(std::move(d));
  });
  return out;
}

}  // namespace IfaAgent
