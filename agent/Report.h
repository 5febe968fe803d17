// What an agent run did, or a plan would do: per table the reconciliation
// figures, per key the changes (when asked for), and how both are printed, as
// text that fits 100 columns or as one JSON object.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/Config.h"

namespace IfaAgent {

// JSON objects keep their keys in the order they are written.
using Json = nlohmann::ordered_json;

// The version of the JSON documents' layout ("formatVersion"): raised when a
// key changes meaning or goes, not when one is added.
inline constexpr int kJsonFormatVersion = 2;

// The start of every JSON document the agent prints.
Json jsonDocument(std::string_view command);

// The widest line of the text reports unless the caller asks for whole lines.
inline constexpr std::size_t kTextColumns = 100;

// How a text report is printed.
struct TextStyle {
  bool wide = false;       // lines whole, not cut at kTextColumns
  Base base = Base::dec;   // of the values listed
  bool allTables = false;  // every table, not only those with entries, rows or changes
  bool colour = false;     // "+" lines green, "~" yellow, "-" red
};

// `line` cut to `width` columns, ending in "..." when cut.
std::string elide(std::string line, std::size_t width = kTextColumns);

struct TableFigures {
  std::string_view table;        // name (a constant of the table's declaration)
  std::string_view qualified;    // qualified name
  std::uint32_t entries = 0;     // configured
  std::uint32_t readBack = 0;    // rows found in hardware
  std::uint32_t matched = 0;     // left alone
  std::uint32_t mismatched = 0;  // rewritten in place
  std::uint32_t missing = 0;     // written
  std::uint32_t stale = 0;       // purged

  TableFigures& operator+=(TableFigures const& o);
};

// Where the time of an apply went, in whole microseconds, over all tables.
// A cold start reads nothing back and purges nothing: its sync and purge are
// 0 and its replay is the time of its commits.
struct Phases {
  std::uint64_t syncUs = 0;    // syncEntries
  std::uint64_t replayUs = 0;  // the configuration's entryCommit calls
  std::uint64_t purgeUs = 0;   // doInitComplete and purgeStaleEntries
};

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

struct FieldValue {
  std::string_view name;
  std::uint32_t value = 0;
};

struct FieldChange {
  std::string_view name;
  std::uint32_t from = 0;
  std::uint32_t to = 0;
};

// What the engine did (or would do) with one key.
struct Change {
  enum class Op { write, rewrite, purge };
  Op op = Op::write;
  std::string_view table;      // name
  std::string_view qualified;  // qualified name
  std::uint32_t key = 0;
  // write: the entry written; purge: the row purged, decoded.
  std::vector<FieldValue> entry;
  // rewrite: the fields whose values differ, row before and entry after.
  std::vector<FieldChange> fields;
  // rewrite with no field differing (the row holds bits outside every
  // field): the row's bytes before and after, byte 0 first.
  std::vector<std::uint8_t> rowBefore;
  std::vector<std::uint8_t> rowAfter;
};

// The changes of a run in four numbers of keys.
struct Summary {
  std::uint32_t write = 0;
  std::uint32_t rewrite = 0;
  std::uint32_t purge = 0;
  std::uint32_t unchanged = 0;

  bool changes() const { return write + rewrite + purge != 0; }
};

// {"written", "rewritten", "purged", "unchanged"}: keys, as summaryLine
// counts them.
Json summaryJson(Summary const& summary);

struct Report {
  enum class Mode { cold, warm };
  Mode mode = Mode::cold;
  bool plan = false;
  std::string image;
  std::string profile;
  std::vector<TableFigures> tables;  // catalogue order
  // Per key, in catalogue order then key order, when the caller asked for
  // them (listed); matched keys are not listed.
  bool listed = false;
  std::vector<Change> changes;
  std::optional<Phases> phases;  // an apply's; none for a plan
  // A warm restart whose configuration claims none of the rows read back
  // (at least one), so that it purges them all: an apply refuses it unless
  // allowed to, a plan warns.
  bool purgesAll = false;
  // A plan's: the SHA-256 of the image's bytes it was made on (none when
  // there was no image).
  std::optional<std::string> imageSha256;

  TableFigures total() const;
  Summary summary() const;
  // The report as text: a heading, the figures of the tables that have
  // entries, rows or changes (of every table with style.allTables), the
  // listing and the summary line.
  std::string text(TextStyle const& style = {}) const;
  // The report as a JSON object (without formatVersion, which the document
  // holding it carries).
  Json json() const;
};

// One change as a line of text: "+ IfaVectorMatch 5: valid=1 baseHdr=3" (the
// fields that are not 0, or "(all fields 0)"), "~ IfaSwitchId 0: switchId: 1
// -> 2" (the fields that change), "- ..." as "+".
std::string changeLine(Change const& change, Base base = Base::dec);

// The per-key listing: each change's line indented by two, cut at
// kTextColumns unless style.wide, coloured by its kind when style.colour.
std::string listing(std::vector<Change> const& changes, TextStyle const& style);

// The last line of a report, and of any run that changes keys: "2 written,
// 1 rewritten, 1 purged, 3 unchanged" ("2 to write, ..." for a plan), or
// "No changes.". Without the line end.
std::string summaryLine(Summary const& summary, bool plan);

// A row's bytes as one hexadecimal number, its last byte first, so that bit
// n of the row is bit n of the number.
std::string rowHex(std::vector<std::uint8_t> const& row);

// One valid row of an image, decoded (show).
struct ShownRow {
  std::string_view table;
  std::string_view qualified;
  std::uint32_t key = 0;
  std::vector<FieldValue> fields;
  std::string line;  // as a configuration line in the full form
};

// show's output: one configuration line per row, whole, in `form` (the
// named form's values in `base`); and the JSON object's keys after
// "command".
std::string showText(std::vector<ShownRow> const& rows, LineForm form, Base base = Base::dec);
Json showJson(std::vector<ShownRow> const& rows, std::string const& image,
              std::string const& profile);

// A table as the chip profile gives it: its index range and its fields.
struct TableDescription {
  struct Field {
    std::string_view name;
    unsigned bits = 0;
    std::uint64_t max = 0;
  };
  std::string_view name;
  std::string_view qualified;
  IndexRange range;
  std::vector<Field> fields;
};

// A template configuration line of a table: its first index, every field 0.
std::string templateLine(TableDescription const& table);
// tables' output: every table in a line, or with `one`, the only table
// described with its fields and template line; and the JSON object's keys
// after "command".
std::string tablesText(std::vector<TableDescription> const& tables, std::string const& profile,
                       bool one);
Json tablesJson(std::vector<TableDescription> const& tables, std::string const& profile);

}  // namespace IfaAgent
