#include "agent/Agent.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <tuple>

#include "agent/ImageLock.h"
#include "agent/Sha256.h"
#include "agent/TableChanges.h"

namespace IfaAgent {
namespace {

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

// The SHA-256 of the bytes of the image at `target` (named `image`).
std::string imageSha256(std::string const& target, std::string const& image) {
  int const fd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    throw AgentError(AgentError::Kind::image,
                     "image " + image + ": cannot read it: " + std::strerror(errno));
  }
  Sha256 hash;
  char buffer[1 << 16];
  for (;;) {
    ssize_t const n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int const error = errno;
      ::close(fd);
      throw AgentError(AgentError::Kind::image,
                       "image " + image + ": cannot read it: " + std::strerror(error));
    }
    if (n == 0) break;
    hash.update(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return hash.hex();
}

// Refuses, before anything is written, an image that is not the one a saved
// plan was made for.
void checkPlanned(std::string const& target, std::string const& image,
                  ApplyOptions const& options) {
  if (!options.planned) return;
  bool const exists = imageExists(target);
  std::string const again = "; nothing was written (plan again)";
  if (!options.plannedImageSha256) {
    if (exists) {
      throw AgentError(
          AgentError::Kind::stale,
          "image " + image + ": the plan was made with no image there, and one exists now" + again);
    }
    return;
  }
  if (!exists) {
    throw AgentError(AgentError::Kind::stale,
                     "image " + image + ": the plan was made on an image that is gone" + again);
  }
  if (imageSha256(target, image) != *options.plannedImageSha256) {
    throw AgentError(AgentError::Kind::stale,
                     "image " + image + ": the chip changed since the plan was made" + again);
  }
}

}  // namespace

AgentError noImageError(std::string const& image) {
  return AgentError(AgentError::Kind::image,
                    "no image at " + image + "; nothing was created (--create to cold-start one)");
}

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

std::string Agent::imageTarget(std::string const& image) const {
  std::string target = resolveImagePath(image);
  refuseIrregularImage(target, image);
  return target;
}

Report Agent::apply(Config const& config, std::string const& image, ApplyOptions const& options,
                    Progress const& progress) {
  std::string const target = imageTarget(image);
  if (options.planned && options.plannedImageSha256 && !imageExists(target)) {
    checkPlanned(target, image, options);  // gone since the plan
  }
  // A path where nothing is is refused before the lock is taken, so that a
  // mistyped path leaves no lock file behind either.
  if (!options.create && !imageExists(target)) throw noImageError(image);
  ImageLock owner(target, ImageLock::Mode::exclusive, lockWait_, image, ImageLock::Kind::owner);
  owner.holderIs("apply");
  ImageLock const rows(target, ImageLock::Mode::exclusive, lockWait_, image);
  checkPlanned(target, image, options);
  if (imageExists(target)) return warmRestart(config, image, target, false, options, progress);
  if (!options.create) throw noImageError(image);  // removed while the lock was awaited
  return coldStart(config, image, target, options.verbose, progress);
}

Report Agent::coldStart(Config const& config, std::string const& image, std::string const& target,
                        bool verbose, Progress const& progress) {
  IfaHost::TableSet run(chip_, target, Asic::ChipDevice::Mode::create, image);
  return coldStartOn(run, config, image, verbose, progress);
}

Report Agent::coldStartOn(IfaHost::TableSet& run, Config const& config, std::string const& image,
                          bool verbose, Progress const& progress) {
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
  std::string const target = imageTarget(image);
  // A plan changes no row: the owner lock alone keeps writers away.
  ImageLock const owner(target, ImageLock::Mode::shared, lockWait_, image, ImageLock::Kind::owner);
  if (imageExists(target)) {
    std::string fingerprint = imageSha256(target, image);
    Report report =
        warmRestart(config, image, target, true, {.allowPurgeAll = true, .verbose = verbose}, {});
    report.imageSha256 = std::move(fingerprint);
    return report;
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
  return warmRestartOn(run, config, image, plan, options, progress);
}

Report Agent::warmRestartOn(IfaHost::TableSet& run, Config const& config, std::string const& image,
                            bool plan, ApplyOptions const& options, Progress const& progress) {
  Report report = newReport(Report::Mode::warm, plan, image, options.verbose);
  WarmRestart restart(run, chip_.device(), config, report);
  restart.readBack();
  if (!plan && !options.allowPurgeAll) restart.refusePurgeAll(image);  // a plan only warns
  restart.replay(progress);
  restart.purge();
  if (!plan) report.phases = restart.phases();
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

std::vector<ShownRow> Agent::show(std::string const& image, std::string_view tableName) {
  std::string_view const only = tableName.empty() ? std::string_view() : knownTable(tableName);
  std::string const target = imageTarget(image);
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
                      configLine<Table>(key, entry)});
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
