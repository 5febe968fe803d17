#include "agent/Config.h"

#include <cctype>
#include <fstream>
#include <functional>
#include <sstream>

#include "Kiva/CharRange.h"
#include "Orrin/RangeException.h"

namespace IfaAgent {
namespace {

bool isSpace(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Reads an unsigned 32-bit number, decimal or 0x hex, taking all of `token`.
bool readIndex(std::string_view token, std::uint32_t& out) {
  int base = 10;
  if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
    base = 16;
    token.remove_prefix(2);
  }
  if (token.empty()) return false;
  std::uint64_t value = 0;
  for (char c : token) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c))) {
      digit = std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    } else {
      return false;
    }
    value = value * base + digit;
    if (value > 0xFFFFFFFFu) return false;
  }
  out = static_cast<std::uint32_t>(value);
  return true;
}

// What is known of one line while it is read.
struct Line {
  std::string const& file;
  std::size_t number;
  std::string_view text;  // without comment and line end

  std::string at(std::size_t column) const {
    return file + ":" + std::to_string(number) + ":" + std::to_string(column) + ": ";
  }
};

using LineReader =
    std::function<void(Config&, Line const&, std::size_t indexColumn, std::uint32_t key,
                       std::size_t entryAt, std::vector<std::string>& problems)>;

// Reads the entry of one line into the table's configuration.
template <class Table>
void readLine(Config& config, Line const& line, std::size_t indexColumn, std::uint32_t key,
              std::size_t entryAt, std::vector<std::string>& problems,
              std::map<std::uint32_t, std::size_t>& seen) {
  using Entry = typename Table::Entry;
  // The entry is read from the whole line with the table and index blanked,
  // so that the reader's columns are the line's.
  std::string blanked(line.text);
  for (std::size_t i = 0; i < entryAt; ++i) blanked[i] = ' ';
  std::string const subject = std::string(Table::kName) + " " + std::to_string(key) + ": ";
  Entry entry;
  try {
    Kiva::CharRange range(blanked);
    entry = Entry(range);
    Kiva::CharRangeCheckAllDataConsumed(range);
  } catch (Kiva::DeserializeException const& e) {
    problems.push_back(line.at(e.offset() + 1) + subject + e.what());
    return;
  } catch (Orrin::RangeException const& e) {
    std::size_t const column =
        e.offset() == Orrin::RangeException::kNoOffset ? entryAt + 1 : e.offset() + 1;
    problems.push_back(line.at(column) + subject + e.what());
    return;
  }
  auto const [it, fresh] = seen.emplace(key, line.number);
  if (!fresh) {
    problems.push_back(line.at(indexColumn) + std::string(Table::kName) +
                       ": field \"index\": " + std::to_string(key) +
                       " given twice (first at line " + std::to_string(it->second) + ")");
    return;
  }
  config.table<Table>().items.push_back({key, entry, line.number});
}

}  // namespace

ConfigError::ConfigError(std::vector<std::string> problems)
    : std::runtime_error(problems.empty() ? std::string() : problems.front()),
      problems_(std::move(problems)) {}

std::size_t Config::size() const {
  std::size_t n = 0;
  IfaRuntime::AllTables::forEach([&]<class Table>() { n += table<Table>().items.size(); });
  return n;
}

Config Config::parse(std::string_view text, std::string const& file, IndexRanges const& ranges) {
  Config config;
  std::vector<std::string> problems;
  // Readers by name and qualified name, with the keys seen per table.
  struct TableInfo {
    std::string name;
    IndexRange range;
    LineReader reader;
  };
  std::map<std::string, TableInfo, std::less<>> tables;
  // Keys seen so far and their lines, per table (map nodes stay in place).
  std::map<std::string_view, std::map<std::uint32_t, std::size_t>> seen;
  std::string known;
  IfaRuntime::AllTables::forEach([&]<class Table>() {
    auto* keys = &seen[Table::kName];
    TableInfo info{std::string(Table::kName), IndexRange{}, {}};
    if (auto const it = ranges.find(Table::kQualifiedName); it != ranges.end())
      info.range = it->second;
    info.reader = [keys](Config& c, Line const& l, std::size_t ic, std::uint32_t k, std::size_t at,
                         std::vector<std::string>& p) {
      readLine<Table>(c, l, ic, k, at, p, *keys);
    };
    tables.emplace(std::string(Table::kName), info);
    tables.emplace(std::string(Table::kQualifiedName), info);
    known += (known.empty() ? "" : ", ") + std::string(Table::kName);
  });

  std::size_t number = 0;
  while (!text.empty()) {
    std::size_t const end = text.find('\n');
    std::string_view raw = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    ++number;
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    if (std::size_t const hash = raw.find('#'); hash != std::string_view::npos) {
      raw = raw.substr(0, hash);
    }
    Line const line{file, number, raw};
    std::size_t pos = 0;
    auto skipSpace = [&] {
      while (pos < raw.size() && isSpace(raw[pos])) ++pos;
    };
    auto token = [&] {
      std::size_t const start = pos;
      while (pos < raw.size() && !isSpace(raw[pos])) ++pos;
      return raw.substr(start, pos - start);
    };
    skipSpace();
    if (pos == raw.size()) continue;
    std::size_t const tableColumn = pos + 1;
    std::string_view const name = token();
    auto const table = tables.find(name);
    if (table == tables.end()) {
      problems.push_back(line.at(tableColumn) + "field \"table\": unknown table \"" +
                         std::string(name) + "\" (tables: " + known + ")");
      continue;
    }
    TableInfo const& info = table->second;
    skipSpace();
    std::size_t const indexColumn = pos + 1;
    std::string_view const indexText = token();
    std::uint32_t key = 0;
    if (indexText.empty()) {
      problems.push_back(line.at(indexColumn) + info.name +
                         ": field \"index\": missing after the table name");
      continue;
    }
    if (!readIndex(indexText, key)) {
      problems.push_back(line.at(indexColumn) + info.name + ": field \"index\": \"" +
                         std::string(indexText) +
                         "\" is not an unsigned 32-bit number (decimal or 0x hex)");
      continue;
    }
    if (key < info.range.minIndex || key > info.range.maxIndex) {
      problems.push_back(line.at(indexColumn) + info.name +
                         ": field \"index\": " + std::to_string(key) +
                         " is outside the table's range " + std::to_string(info.range.minIndex) +
                         ".." + std::to_string(info.range.maxIndex));
      continue;
    }
    info.reader(config, line, indexColumn, key, pos, problems);
  }
  if (!problems.empty()) throw ConfigError(std::move(problems));
  return config;
}

Config Config::read(std::string const& path, IndexRanges const& ranges) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ConfigError({path + ": cannot read the configuration"});
  std::ostringstream text;
  text << in.rdbuf();
  return parse(text.str(), path, ranges);
}

}  // namespace IfaAgent
