// How the agent walks the tables and records what the engine did to a key:
// the helpers its cold start, warm restart, read-back and descriptions share.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <utility>
#include <vector>

#include "Asic/ChipRegistry.h"
#include "agent/Config.h"
#include "agent/Report.h"
#include "tables/IfaTables.h"

namespace IfaAgent {

// Calls f.template operator()<Table>(slot) for each table with its catalogue
// position.
template <class F>
void forEachTable(F&& f) {
  std::size_t slot = 0;
  IfaRuntime::AllTables::forEach([&]<class Table>() { f.template operator()<Table>(slot++); });
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
inline void appendInKeyOrder(std::vector<Change>& to, std::vector<Change> from) {
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

// Commits `entry` at `key` during a replay and appends to `changes` what the
// engine did: the reconciliation counter the commit moved tells a rewrite
// (mismatched) from a write (missing) and from a row left alone (matched, not
// listed). A rewrite lists the fields that differ between the row read back
// and the entry; when none does, the row held bits outside the fields, and it
// lists the row's bytes before and after.
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

}  // namespace IfaAgent
