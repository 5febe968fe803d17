// Support for the engine tests: a Util that records every call the engine
// makes, an observer that records every publication, and a fixture that
// builds a table with a hardware table and captures the trace lines.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Asic/HwTable.h"
#include "Asic/SwTable.h"
#include "Kiva/Trace.h"
#include "KivaOrrin/ValueToStrep.h"
#include "Orrin/Publisher.h"
#include "TestTables.h"

namespace IfaTest {

template <class Entry>
std::string text(Entry const& e) {
  return std::string(KivaOrrin::Impl::valueToStrep(e).view());
}

// A Util that logs every call in order, e.g. "tracker 5 0", "write 5 <text>",
// "write 5 -" (empty value), "del 5", "compare 5 <text>", "sync". Rows written
// are kept as "hardware", which syncEntries reads back.
template <class Table>
class RecordingUtil : public Table::Util {
 public:
  using Entry = typename Table::Entry;
  using Index = Asic::SwTableBase::Index;

  RecordingUtil() : Table::Util(Orrin::String("RecordingUtil")) {}

  std::uint32_t minIndex() const override { return 0; }
  std::uint32_t maxIndex() const override { return 4095; }

  void hwTableEntryIs(Table const*, Index key, Kiva::Optional<Entry> const& entry) const override {
    log.push_back("write " + std::to_string(key.value) + " " +
                  (entry.hasValue() ? text(*entry) : std::string("-")));
    rows[key.value] = entry.hasValue() ? *entry : Entry();
  }
  void hwTableEntryDel(Table const*, Index key) const override {
    if (failDeletes) throw std::runtime_error("row delete failed");
    log.push_back("del " + std::to_string(key.value));
    rows.erase(key.value);
  }
  // Logs the update and applies it to the hardware table's tracker, which
  // refuses (raises) an update that breaks its use counts.
  void updateHwIndexRefCountTracker(Asic::HwTable* hwTable, Index key,
                                    Asic::IndexUserTracker::OpType op) const override {
    log.push_back("tracker " + std::to_string(key.value) + " " +
                  std::to_string(static_cast<int>(op)));
    if (applyTracker) Asic::IndexUserTracker::Stub::update(hwTable, 0, key, op);
  }
  // The row matches when the synced entry (what hardware holds) equals it,
  // unless a test forces the answer.
  bool compareHwEntries(Table const* swTable, Index key, Entry const& resolved) const override {
    log.push_back("compare " + std::to_string(key.value) + " " + text(resolved));
    if (forcedCompare) return *forcedCompare;
    Entry const synced = swTable->syncedEntry(key);
    return Entry::isEq(&synced, &resolved);
  }
  // Reads the rows back; their indices are in use from then on.
  void syncEntries(Asic::HwTable* hwTable, Orrin::Ptr<Table> const& swTable) const override {
    log.push_back("sync");
    for (auto const& [key, entry] : rows) {
      if (applyTracker) hwTable->indexUserTracker()->recover(key);
      swTable->syncedEntryIs(key, entry);
    }
  }

  std::vector<std::string> take() {
    std::vector<std::string> out;
    out.swap(log);
    return out;
  }

  mutable std::vector<std::string> log;
  mutable std::map<std::uint32_t, Entry> rows;
  std::optional<bool> forcedCompare;
  // Whether row deletes raise, as a failing chip might.
  bool failDeletes = false;
  // Whether tracker calls reach the hardware table's tracker (which refuses
  // updates that break its use counts) or are only logged.
  bool applyTracker = true;
};

// Records the publications of one table: field id, key, previous value text
// ("-" for an empty optional, "none" for no previous value).
template <class Table>
class PublicationRecorder : public Orrin::Observer {
 public:
  using Entry = typename Table::Entry;
  void onChange(Orrin::Publisher const&, std::uint32_t field, void const* key, void const* previous,
                Orrin::KeyEqualFn) override {
    std::string prev = "none";
    if (previous != nullptr) {
      if (field == Table::kResolvedEntryFieldId) {
        auto const& opt = *static_cast<Kiva::Optional<Entry> const*>(previous);
        prev = opt.hasValue() ? text(*opt) : "-";
      } else {
        prev = text(*static_cast<Entry const*>(previous));
      }
    }
    log.push_back(std::to_string(field) + " " +
                  std::to_string(static_cast<Asic::SwTableBase::Index const*>(key)->value) + " " +
                  prev);
  }
  std::vector<std::string> take() {
    std::vector<std::string> out;
    out.swap(log);
    return out;
  }
  std::vector<std::string> log;
};

}  // namespace IfaTest
