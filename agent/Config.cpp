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

char const* fileType(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

std::string tooLarge(std::string const& name) {
  return name + ": the configuration is larger than the limit of " +
         std::to_string(Config::kMaxBytes) + " bytes";
}

// Reads all of `fd` (at most Config::kMaxBytes).
std::string readAll(int fd, std::string const& name) {
  std::string text;
  char buffer[65536];
  for (;;) {
    ssize_t const n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      throw ConfigError({name + ": cannot read the configuration: " + std::strerror(errno)});
    }
    if (n == 0) return text;
    if (text.size() + static_cast<std::size_t>(n) > Config::kMaxBytes) {
      throw ConfigError({tooLarge(name)});
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

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
    problems.push_back(line.at(e.offset() + 1) + subject + describe(e, blanked));
    return;
  } catch (Orrin::RangeException const& e) {
    std::size_t const column =
        e.offset() == Orrin::RangeException::kNoOffset ? entryAt + 1 : e.offset() + 1;
    problems.push_back(line.at(column) + subject + describe(e));
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

ConfigError::ConfigError(std::vector<std::string> problems, std::size_t total)
    : std::runtime_error(problems.empty() ? std::string() : problems.front()),
      problems_(std::move(problems)),
      total_(std::max(total, problems_.size())) {}

std::string excerpt(std::string_view text, std::size_t limit) {
  std::string out;
  for (char c : text.substr(0, limit)) {
    auto const byte = static_cast<unsigned char>(c);
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte >= 0x7F) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  return text.size() > limit ? out + "..." : out;
}

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

  // A byte-order mark, as some editors write at the start of UTF-8 text.
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
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
                         excerpt(name, 48) + "\" (tables: " + known + ")");
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
                         excerpt(indexText) +
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
  if (problems.size() > kMaxProblems) {
    std::size_t const total = problems.size();
    problems.resize(kMaxProblems);
    problems.push_back(file + ": " + std::to_string(total - kMaxProblems) +
                       " more problems not listed");
    throw ConfigError(std::move(problems), total);
  }
  if (!problems.empty()) throw ConfigError(std::move(problems));
  return config;
}

Config Config::read(std::string const& path, IndexRanges const& ranges) {
  if (path == "-") return parse(readAll(STDIN_FILENO, "standard input"), "-", ranges);
  // Without O_NONBLOCK, opening a FIFO would wait for a writer.
  int const fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    throw ConfigError({path + ": cannot read the configuration: " + std::strerror(errno)});
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } const closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    throw ConfigError({path + ": cannot read the configuration: " + std::strerror(errno)});
  }
  if (!S_ISREG(st.st_mode)) {
    throw ConfigError({path + ": not a regular file (" + fileType(st.st_mode) +
                       "); a configuration is a regular file, or standard input given as -"});
  }
  if (static_cast<std::uint64_t>(st.st_size) > kMaxBytes) throw ConfigError({tooLarge(path)});
  return parse(readAll(fd, path), path, ranges);
}

}  // namespace IfaAgent
