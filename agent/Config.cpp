#include "agent/Config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#include "Kiva/CharRange.h"
#include "Orrin/RangeException.h"
#include "files/FilePaths.h"

namespace IfaAgent {
namespace {

bool isSpace(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

bool isNameStart(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) != 0 || c == '_';
}

bool isNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

// Whether the entry text at `pos` is in the named form: it starts with an
// identifier directly followed by '='. The full form never does (it starts
// with a qualified type name and "(", or with a number).
bool isNamedForm(std::string_view text, std::size_t pos) {
  if (pos >= text.size() || !isNameStart(text[pos])) return false;
  while (pos < text.size() && isNameChar(text[pos])) ++pos;
  return pos < text.size() && text[pos] == '=';
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

  Problem problem(std::size_t column, std::string field, std::string message) const {
    return {file, number, column, std::move(field), std::move(message)};
  }
};

// The problems of a text: the first Config::kMaxProblems kept, the rest only
// counted, so that a large text full of faults takes no more memory than a
// good one.
class Problems {
 public:
  void push_back(Problem problem) {
    if (kept_.size() < Config::kMaxProblems) kept_.push_back(std::move(problem));
    ++total_;
  }
  // Found, kept or not.
  std::size_t size() const { return total_; }
  std::vector<Problem>& kept() { return kept_; }

 private:
  std::vector<Problem> kept_;
  std::size_t total_ = 0;
};

using LineReader = std::function<void(Config&, Line const&, std::size_t indexColumn,
                                      std::uint32_t key, std::size_t entryAt, Problems& problems)>;

std::string joined(std::vector<std::string_view> const& names) {
  std::string out;
  for (std::string_view name : names) out += (out.empty() ? "" : ", ") + std::string(name);
  return out;
}

// The message of an entry reader's error, rebuilt from its parts so that the
// text it found is quoted as a bounded excerpt.
std::string describe(Kiva::DeserializeException const& e, std::string_view text) {
  std::string message;
  if (!e.field().empty()) message += "field \"" + e.field() + "\": ";
  message += "expected " + e.expected() + " at column " + std::to_string(e.offset() + 1);
  std::string_view const found = e.offset() < text.size() ? text.substr(e.offset()) : "";
  return message +
         (found.empty() ? ", found the end of the text" : ", found \"" + excerpt(found) + "\"");
}

std::string describe(Orrin::RangeException const& e) {
  std::string message;
  if (!e.field().empty()) message += "field \"" + e.field() + "\": ";
  message += "value " + excerpt(e.value()) + " is out of range 0.." + std::to_string(e.maxValue());
  if (e.offset() != Orrin::RangeException::kNoOffset) {
    message += " (at column " + std::to_string(e.offset() + 1) + ")";
  }
  return message;
}

Problem wholeFile(std::string const& name, std::string message) {
  return {name, 0, 0, {}, std::move(message)};
}

Problem tooLarge(std::string const& name) {
  return wholeFile(name, "the configuration is larger than the limit of " +
                             std::to_string(Config::kMaxBytes) + " bytes");
}

// Reads all of `fd` (at most Config::kMaxBytes).
std::string readAll(int fd, std::string const& name) {
  std::string text;
  char buffer[65536];
  for (;;) {
    ssize_t const n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      throw ConfigError(
          {wholeFile(name, std::string("cannot read the configuration: ") + std::strerror(errno))});
    }
    if (n == 0) return text;
    if (text.size() + static_cast<std::size_t>(n) > Config::kMaxBytes) {
      throw ConfigError({tooLarge(name)});
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

// Reads an entry in the named form, NAME=VALUE tokens from `at` on, into
// `entry`. Adds a problem for each token at fault, at the token's column (at
// the value's for a bad value), and returns whether there was none.
template <class Entry>
bool readNamed(Line const& line, std::string const& subject, std::size_t at, Entry& entry,
               Problems& problems) {
  std::vector<std::string_view> names;
  IfaRuntime::forEachField<Entry>([&](auto const& f) {
    names.push_back(f.name);
    f.set(entry, 0);
  });
  std::vector<std::size_t> givenAt(names.size(), 0);  // column of each field's token, 0 if none
  std::size_t const before = problems.size();
  std::string_view const text = line.text;
  std::size_t pos = at;
  for (;;) {
    while (pos < text.size() && isSpace(text[pos])) ++pos;
    if (pos == text.size()) break;
    std::size_t const start = pos;
    while (pos < text.size() && !isSpace(text[pos])) ++pos;
    std::string_view const token = text.substr(start, pos - start);
    std::size_t const equals = token.find('=');
    std::string_view const name = token.substr(0, equals);
    std::string const quoted = excerpt(name);
    std::string const prefix = subject + "field \"" + quoted + "\": ";
    if (equals == std::string_view::npos) {
      problems.push_back(line.problem(start + 1, quoted,
                                      prefix + "no \"=\" after the name (fields are NAME=VALUE)"));
      continue;
    }
    std::size_t const index =
        static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
    if (index == names.size()) {
      std::string const guess = closestName(name, names);
      problems.push_back(
          line.problem(start + 1, quoted,
                       prefix + "unknown field " +
                           (!guess.empty()  ? "(did you mean \"" + guess + "\"?)"
                            : names.empty() ? std::string("(the table has no fields)")
                                            : "(fields: " + joined(names) + ")")));
      continue;
    }
    if (givenAt[index] != 0) {
      problems.push_back(line.problem(
          start + 1, quoted,
          prefix + "given twice (first at column " + std::to_string(givenAt[index]) + ")"));
      continue;
    }
    givenAt[index] = start + 1;
    std::string_view const value = token.substr(equals + 1);
    std::size_t const valueAt = start + equals + 1;  // where the value starts in the line
    std::size_t i = 0;
    IfaRuntime::forEachField<Entry>([&](auto const& f) {
      if (i++ != index) return;
      bool number = false;
      try {
        Kiva::CharRange range(value);
        auto const v = static_cast<std::uint32_t>(range.readUnsigned(f.kMax, name));
        number = range.atEnd();  // "5," is not a number either
        if (number) f.set(entry, v);
      } catch (Kiva::DeserializeException const&) {
      } catch (Orrin::RangeException const& e) {
        // The value is a number: the range error's wording, with the line's column.
        Orrin::RangeException const inLine(e.value(), e.maxValue(), valueAt + e.offset(),
                                           std::string(name));
        problems.push_back(line.problem(valueAt + 1, quoted, subject + describe(inLine)));
        return;
      }
      if (!number) {
        problems.push_back(line.problem(
            valueAt + 1, quoted,
            prefix + "\"" + excerpt(value) + "\" is not an unsigned number (decimal or 0x hex)"));
      }
    });
  }
  return problems.size() == before;
}

// Reads the entry of one line into the table's configuration.
template <class Table>
void readLine(Config& config, Line const& line, std::size_t indexColumn, std::uint32_t key,
              std::size_t entryAt, Problems& problems, std::map<std::uint32_t, std::size_t>& seen) {
  using Entry = typename Table::Entry;
  std::string const subject = std::string(Table::kName) + " " + std::to_string(key) + ": ";
  Entry entry;
  std::size_t start = entryAt;
  while (start < line.text.size() && isSpace(line.text[start])) ++start;
  // Nothing after the index: every field left out, so every field is 0
  // (the full form would want the entry's type name, or a value).
  if (start == line.text.size() || isNamedForm(line.text, start)) {
    if (!readNamed(line, subject, start, entry, problems)) return;
  } else {
    // The entry is read from the whole line with the table and index
    // blanked, so that the reader's columns are the line's.
    std::string blanked(line.text);
    for (std::size_t i = 0; i < entryAt; ++i) blanked[i] = ' ';
    try {
      Kiva::CharRange range(blanked);
      entry = Entry(range);
      Kiva::CharRangeCheckAllDataConsumed(range);
    } catch (Kiva::DeserializeException const& e) {
      problems.push_back(line.problem(e.offset() + 1, e.field(), subject + describe(e, blanked)));
      return;
    } catch (Orrin::RangeException const& e) {
      std::size_t const column =
          e.offset() == Orrin::RangeException::kNoOffset ? entryAt + 1 : e.offset() + 1;
      problems.push_back(line.problem(column, e.field(), subject + describe(e)));
      return;
    }
  }
  auto const [it, fresh] = seen.emplace(key, line.number);
  if (!fresh) {
    problems.push_back(
        line.problem(indexColumn, "index",
                     std::string(Table::kName) + ": field \"index\": " + std::to_string(key) +
                         " given twice (first at line " + std::to_string(it->second) + ")"));
    return;
  }
  config.table<Table>().items.push_back({key, entry, line.number});
}

}  // namespace

std::string Problem::text() const {
  if (line == 0) return file + ": " + message;
  return file + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + message;
}

ConfigError::ConfigError(std::vector<Problem> problems, std::size_t total)
    : std::runtime_error(problems.empty() ? std::string() : problems.front().text()),
      problems_(std::move(problems)),
      total_(std::max(total, problems_.size())) {}

std::string valueText(std::uint64_t value, Base base) {
  if (base == Base::dec) return std::to_string(value);
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

std::size_t Config::size() const {
  std::size_t n = 0;
  IfaRuntime::AllTables::forEach([&]<class Table>() { n += table<Table>().items.size(); });
  return n;
}

Config Config::parse(std::string_view text, std::string const& file, IndexRanges const& ranges) {
  Config config;
  Problems problems;
  // Readers by name and qualified name, with the keys seen per table.
  struct TableInfo {
    std::string name;
    IndexRange range;
    LineReader reader;
  };
  std::map<std::string, TableInfo, std::less<>> tables;
  // Keys seen so far and their lines, per table (map nodes stay in place).
  std::map<std::string_view, std::map<std::uint32_t, std::size_t>> seen;
  std::vector<std::string_view> names;      // for the list of tables
  std::vector<std::string_view> spellings;  // names and qualified names, for a guess
  IfaRuntime::AllTables::forEach([&]<class Table>() {
    auto* keys = &seen[Table::kName];
    TableInfo info{std::string(Table::kName), IndexRange{}, {}};
    if (auto const it = ranges.find(Table::kQualifiedName); it != ranges.end())
      info.range = it->second;
    info.reader = [keys](Config& c, Line const& l, std::size_t ic, std::uint32_t k, std::size_t at,
                         Problems& p) { readLine<Table>(c, l, ic, k, at, p, *keys); };
    tables.emplace(std::string(Table::kName), info);
    tables.emplace(std::string(Table::kQualifiedName), info);
    names.push_back(Table::kName);
    spellings.push_back(Table::kName);
    spellings.push_back(Table::kQualifiedName);
  });

  // A byte-order mark, as some editors write at the start of UTF-8 text.
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  std::string const known = joined(names);
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
      std::string const guess = closestName(name, spellings);
      problems.push_back(line.problem(
          tableColumn, "table",
          "field \"table\": unknown table \"" + excerpt(name, 48) + "\" " +
              (guess.empty() ? "(tables: " + known + ")" : "(did you mean \"" + guess + "\"?)")));
      continue;
    }
    TableInfo const& info = table->second;
    skipSpace();
    std::size_t const indexColumn = pos + 1;
    std::string_view const indexText = token();
    std::uint32_t key = 0;
    if (indexText.empty()) {
      problems.push_back(line.problem(
          indexColumn, "index", info.name + ": field \"index\": missing after the table name"));
      continue;
    }
    if (!readIndex(indexText, key)) {
      problems.push_back(
          line.problem(indexColumn, "index",
                       info.name + ": field \"index\": \"" + excerpt(indexText) +
                           "\" is not an unsigned 32-bit number (decimal or 0x hex)"));
      continue;
    }
    if (key < info.range.minIndex || key > info.range.maxIndex) {
      problems.push_back(line.problem(indexColumn, "index",
                                      info.name + ": field \"index\": " + std::to_string(key) +
                                          " is outside the table's range " +
                                          std::to_string(info.range.minIndex) + ".." +
                                          std::to_string(info.range.maxIndex)));
      continue;
    }
    info.reader(config, line, indexColumn, key, pos, problems);
  }
  std::size_t const total = problems.size();
  if (total != 0) throw ConfigError(std::move(problems.kept()), total);
  return config;
}

Config Config::read(std::string const& path, IndexRanges const& ranges) {
  return parse(readText(path), path, ranges);
}

std::string Config::readText(std::string const& path) {
  if (path == "-") return readAll(STDIN_FILENO, "standard input");
  // Without O_NONBLOCK, opening a FIFO would wait for a writer.
  int const fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    throw ConfigError(
        {wholeFile(path, std::string("cannot read the configuration: ") + std::strerror(errno))});
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } const closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    throw ConfigError(
        {wholeFile(path, std::string("cannot read the configuration: ") + std::strerror(errno))});
  }
  if (!S_ISREG(st.st_mode)) {
    throw ConfigError(
        {wholeFile(path, std::string("not a regular file (") + IfaFiles::fileTypeName(st.st_mode) +
                             "); a configuration is a regular file, or standard "
                             "input given as -")});
  }
  if (static_cast<std::uint64_t>(st.st_size) > kMaxBytes) throw ConfigError({tooLarge(path)});
  return readAll(fd, path);
}

}  // namespace IfaAgent
