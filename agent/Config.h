// The agent's configuration: the entries the feature wants in hardware, one
// per line.
//
//     # comment
//     IfaVectorMatch  3  CorvaneInt::IfaVectorMatch::Entry(valid=1, reqVector=4096, baseHdr=3)
//     IfaVectorMatch  4  valid=1 baseHdr=0x3
//     IfaSwitchId     0  0x0a000001
//     IfaSwitchId     1  switchId=0x0a000002
//     IfaMetadataSelectProfile 2
//
// A line names the table (its name, or its qualified name), the index (the key,
// unsigned, decimal or 0x hex) and the entry, in one of two forms:
//  - full: the library's text form of the entry (a bare value for a table of
//    one field; nothing for a table without fields);
//  - named: the fields as NAME=VALUE tokens separated by white space, in any
//    order, each at most once; a field not given is 0. Nothing after the
//    index leaves every field out: the entry whose fields are all 0.
// The text after the index is in the named form when it starts with an
// identifier directly followed by '='. Values are unsigned, decimal or 0x
// hex, in both forms. A '#' starts a comment; blank lines are ignored.
//
// The whole text is validated before anything is used: an unknown table, a
// missing or malformed index, an index outside the table's range, a key given
// twice and malformed entry text are each reported as "FILE:LINE:COLUMN: ...",
// naming the field where one is at fault; an unknown table or field name that
// looks like a typo of a real one is answered with "did you mean" (see
// closestName). A UTF-8 byte-order mark at the start is skipped. Messages
// quote at most a short excerpt of the text at fault, with control and
// non-ASCII bytes escaped, and list at most kMaxProblems problems.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "KivaOrrin/ValueToStrep.h"
#include "runtime/EntryFields.h"
#include "tables/IfaTables.h"
#include "text/Excerpt.h"
#include "text/Suggest.h"

namespace IfaAgent {

struct IndexRange {
  std::uint32_t minIndex = 0;
  std::uint32_t maxIndex = 0xFFFFFFFFu;
};
// Index ranges by qualified table name; a table not listed takes any index.
using IndexRanges = std::map<std::string, IndexRange, std::less<>>;

template <class Table>
struct TableConfig {
  struct Item {
    std::uint32_t key;
    typename Table::Entry entry;
    std::size_t line;  // where it was given (1-based)
  };
  std::vector<Item> items;  // in the order given
};

// One problem of a configuration.
struct Problem {
  std::string file;
  // 1-based; 0 when the problem concerns the whole file (unreadable, too
  // large).
  std::size_t line = 0;
  // 1-based, counted from the start of the line; 0 when line is 0.
  std::size_t column = 0;
  // "table", "index", the name of the entry field at fault (for an unknown
  // one, as given and quoted as in messages), or empty.
  std::string field;
  // What text() prints after the place.
  std::string message;

  // "FILE:LINE:COLUMN: message", or "FILE: message" when line is 0.
  std::string text() const;
  friend bool operator==(Problem const&, Problem const&) = default;
};

// Every problem of a configuration; past kMaxProblems the rest are only
// counted. what() is the first problem's text.
class ConfigError : public std::runtime_error {
 public:
  explicit ConfigError(std::vector<Problem> problems, std::size_t total = 0);
  std::vector<Problem> const& problems() const { return problems_; }
  // Problems found, listed or not.
  std::size_t total() const { return total_; }
  // Problems found and not listed.
  std::size_t unlisted() const { return total_ - problems_.size(); }

 private:
  std::vector<Problem> problems_;
  std::size_t total_;
};

using IfaText::closestName;
using IfaText::excerpt;

class Config {
 public:
  // The largest configuration read, in bytes.
  static constexpr std::size_t kMaxBytes = std::size_t{16} << 20;
  // Problems listed by one ConfigError.
  static constexpr std::size_t kMaxProblems = 100;

  // Reads and validates `text`, named `file` in messages. Raises ConfigError
  // with every problem found.
  static Config parse(std::string_view text, std::string const& file, IndexRanges const& ranges);
  // The same, from a regular file, or from standard input for "-". A path
  // that is not a regular file (a directory, a FIFO, a device), cannot be
  // read or holds more than kMaxBytes is a ConfigError too, raised before
  // anything is parsed; nothing waits for a writer or reads without end.
  static Config read(std::string const& path, IndexRanges const& ranges);
  // The text `read` parses, with the same checks.
  static std::string readText(std::string const& path);

  template <class Table>
  TableConfig<Table> const& table() const {
    return std::get<TableConfig<Table>>(tables_);
  }
  template <class Table>
  TableConfig<Table>& table() {
    return std::get<TableConfig<Table>>(tables_);
  }
  // Number of entries over all tables.
  std::size_t size() const;

 private:
  IfaRuntime::AllTables::Tuple<TableConfig> tables_;
};

enum class LineForm {
  full,   // the entry in the library's text form
  named,  // the fields that are not 0 as NAME=VALUE, in declaration order
};

// How values print: decimal, or 0x and lower-case hex digits.
enum class Base { dec, hex };
std::string valueText(std::uint64_t value, Base base = Base::dec);

// One configuration line of an entry, as `show` prints it and `parse` reads it;
// `base` is that of the named form's values (the full form's are decimal).
template <class Table>
std::string configLine(std::uint32_t key, typename Table::Entry const& entry,
                       LineForm form = LineForm::full, Base base = Base::dec) {
  std::string line = std::string(Table::kName) + " " + std::to_string(key);
  if (form == LineForm::named) {
    IfaRuntime::forEachField<typename Table::Entry>([&](auto const& f) {
      if (f.get(entry) == 0) return;  // a field left out is 0
      line += ' ';
      line += f.name;
      line += '=';
      line += valueText(f.get(entry), base);
    });
    return line;
  }
  std::string const text(KivaOrrin::Impl::valueToStrep(entry).view());
  if (!text.empty()) line += " " + text;
  return line;
}

}  // namespace IfaAgent
