#include "agent/WarmRestart.h"

#include "agent/Agent.h"
#include "agent/TableChanges.h"

namespace IfaAgent {

WarmRestart::WarmRestart(IfaHost::TableSet& run, Asic::ChipDevice const& device,
                         Config const& config, Report& report)
    : run_(run), device_(device), config_(config), report_(report) {
  if (report_.listed) changes_.resize(IfaRuntime::kTableCount);
}

void WarmRestart::readBack() {
  PhaseClock clock;
  forEachTable([&]<class Table>(std::size_t) {
    Table& table = run_.table<Table>();
    clock.start();
    table.syncEntries();
    clock.stop();
    TableFigures figures = figuresOf<Table>();
    figures.entries = static_cast<std::uint32_t>(config_.table<Table>().items.size());
    figures.readBack = table.syncedEntrys();
    report_.tables.push_back(figures);
  });
  phases_.syncUs += clock.micros();
  bool claimed = false;
  forEachTable([&]<class Table>(std::size_t) {
    Table& table = run_.table<Table>();
    for (auto const& item : config_.table<Table>().items) {
      if (claimed) return;
      claimed = table.syncedEntryGet(item.key).hasValue();
    }
  });
  report_.purgesAll = report_.total().readBack > 0 && !claimed;
}

void WarmRestart::refusePurgeAll(std::string const& image) const {
  if (!report_.purgesAll) return;
  std::uint32_t const rows = report_.total().readBack;
  std::string const count = std::to_string(rows) + (rows == 1 ? " row" : " rows");
  throw AgentError(AgentError::Kind::image,
                   "image " + image + ": the configuration claims none of the " + count +
                       " the image holds, so the apply would purge all " + count +
                       "; nothing was written (--allow-purge-all to purge them)");
}

void WarmRestart::replay(Progress const& progress) {
  bool const listed = report_.listed;
  std::size_t done = 0;
  std::size_t const total = config_.size();
  PhaseClock clock;
  clock.start();
  forEachTable([&]<class Table>(std::size_t slot) {
    Table& table = run_.table<Table>();
    for (auto const& item : config_.table<Table>().items) {
      if (!listed) {
        table.entryCommit(item.key, item.entry);
      } else {
        clock.stop();
        changes_[slot] =
            observedCommit<Table>(table, device_, item.key, item.entry, std::move(changes_[slot]));
        clock.start();
      }
      if (progress) {
        clock.stop();
        progress(++done, total);
        clock.start();
      }
    }
  });
  clock.stop();
  phases_.replayUs += clock.micros();
}

void WarmRestart::purge() {
  bool const listed = report_.listed;
  PhaseClock clock;
  clock.start();
  forEachTable([&]<class Table>(std::size_t) { run_.table<Table>().doInitComplete(); });
  clock.stop();
  forEachTable([&]<class Table>(std::size_t slot) {
    Table& table = run_.table<Table>();
    if (listed) {
      // The purge deletes the read-back rows no replayed key claimed.
      for (auto it = table.syncedEntryColl().begin(); !it.atEnd(); it.advance()) {
        std::uint32_t const key = it.staleNode()->key.value;
        if (table.resolvedEntryColl()[key] != nullptr) continue;
        Change change = changeOf<Table>(Change::Op::purge, key);
        change.entry = fieldValues(table.syncedEntry(key));
        changes_[slot].push_back(std::move(change));
      }
    }
    clock.start();
    table.purgeStaleEntries();
    clock.stop();
    auto const& s = table.statistics();
    TableFigures& figures = report_.tables[slot];
    figures.matched = s.entryMatched;
    figures.mismatched = s.entryMismatched;
    figures.missing = s.entryMissing;
    figures.stale = s.entryStale;
    if (listed) appendInKeyOrder(report_.changes, std::move(changes_[slot]));
  });
  phases_.purgeUs += clock.micros();
}

Phases WarmRestart::phases() const {
  return phases_;
}

}  // namespace IfaAgent
