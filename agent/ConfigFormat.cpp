#include "agent/ConfigFormat.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <vector>

#include "agent/TableChanges.h"

namespace IfaAgent {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string_view trimRight(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::string_view trimLeft(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  return s;
}

bool identifierChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

// The value of a number as the configuration writes it (decimal, or 0x hex),
// or none.
std::optional<std::uint64_t> numberOf(std::string_view literal) {
  int base = 10;
  if (literal.size() > 2 && literal[0] == '0' && (literal[1] == 'x' || literal[1] == 'X')) {
    base = 16;
    literal.remove_prefix(2);
  }
  if (literal.empty() || literal.size() > 16) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : literal) {
    int const digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                      : std::isxdigit(static_cast<unsigned char>(c))
                          ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                          : 99;
    if (digit >= base) return std::nullopt;
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
  }
  return value;
}

// The numbers of an entry's text as written: by field name where the text
// names them (NAME=VALUE, in either form), else in the order they stand.
struct Literals {
  std::map<std::string, std::string, std::less<>> named;
  std::vector<std::string> positional;
};

Literals literalsOf(std::string_view text) {
  Literals out;
  std::size_t i = 0;
  while (i < text.size()) {
    char const c = text[i];
    if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      std::size_t const start = i;
      while (i < text.size() && identifierChar(text[i])) ++i;
      std::string_view const name = text.substr(start, i - start);
      std::size_t j = i;
      while (j < text.size() && text[j] == ' ') ++j;
      if (j < text.size() && text[j] == '=') {
        ++j;
        while (j < text.size() && text[j] == ' ') ++j;
        std::size_t const value = j;
        while (j < text.size() && identifierChar(text[j])) ++j;
        out.named.emplace(std::string(name), std::string(text.substr(value, j - value)));
        i = j;
      }
    } else if (std::isdigit(static_cast<unsigned char>(c))) {
      std::size_t const start = i;
      while (i < text.size() && identifierChar(text[i])) ++i;
      out.positional.emplace_back(text.substr(start, i - start));
    } else {
      ++i;
    }
  }
  return out;
}

// `value` as `written` wrote it when that is how it reads, else in decimal.
std::string asWritten(std::uint64_t value, std::string_view written) {
  auto const read = numberOf(written);
  if (read && *read == value) return std::string(written);
  return std::to_string(value);
}

// One entry line of the text, formatted, with what goes with it.
struct Entry {
  std::size_t table = 0;  // catalogue position
  std::uint32_t key = 0;
  std::string line;                   // formatted, without its end comment
  std::string endComment;             // "# ..." or empty
  std::vector<std::string> comments;  // the comment lines above it
};

// The entry on `line` (an entry line of a valid configuration).
Entry entryOf(std::string_view line, std::string const& file, IndexRanges const& ranges) {
  Config const one = Config::parse(line, file, ranges);
  std::string_view rest = trimLeft(line);
  std::size_t const tableEnd = rest.find_first_of(" \t");
  rest = trimLeft(rest.substr(tableEnd));
  std::size_t const keyEnd = std::min(rest.find_first_of(" \t"), rest.size());
  std::string_view const keyText = rest.substr(0, keyEnd);
  Literals const literals = literalsOf(rest.substr(keyEnd));
  Entry out;
  forEachTable([&]<class Table>(std::size_t slot) {
    auto const& items = one.table<Table>().items;
    if (items.empty()) return;
    auto const& item = items.front();
    out.table = slot;
    out.key = item.key;
    out.line = std::string(Table::kName) + " " + asWritten(item.key, keyText);
    std::size_t position = 0;
    IfaRuntime::forEachField<typename Table::Entry>([&](auto const& f) {
      std::uint64_t const value = f.get(item.entry);
      std::string_view written;
      if (auto const it = literals.named.find(f.name); it != literals.named.end()) {
        written = it->second;
      } else if (literals.named.empty() && position < literals.positional.size()) {
        written = literals.positional[position];
      }
      if (value != 0) out.line += " " + std::string(f.name) + "=" + asWritten(value, written);
      ++position;
    });
  });
  return out;
}

}  // namespace

std::string formatConfig(std::string_view text, std::string const& file,
                         IndexRanges const& ranges) {
  Config::parse(text, file, ranges);  // every problem, before anything else
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    text.remove_prefix(kByteOrderMark.size());
  }
  std::vector<std::string> leading;  // the top's comment lines, blank lines as ""
  std::vector<std::string> pending;  // comment lines not yet placed
  std::vector<Entry> entries;
  while (!text.empty()) {
    std::size_t const end = text.find('\n');
    std::string_view const raw = trimRight(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    std::string_view const content = trimLeft(raw);
    if (content.empty()) {
      // A blank line before the first entry closes the top's comments.
      if (entries.empty() && !pending.empty()) {
        if (!leading.empty()) leading.emplace_back();
        leading.insert(leading.end(), pending.begin(), pending.end());
        pending.clear();
      }
      continue;
    }
    if (content.front() == '#') {
      pending.emplace_back(content);
      continue;
    }
    std::size_t const hash = raw.find('#');
    Entry entry = entryOf(raw.substr(0, hash), file, ranges);
    if (hash != std::string_view::npos) entry.endComment = std::string(raw.substr(hash));
    entry.comments = std::move(pending);
    pending.clear();
    entries.push_back(std::move(entry));
  }
  std::stable_sort(entries.begin(), entries.end(), [](Entry const& a, Entry const& b) {
    return a.table != b.table ? a.table < b.table : a.key < b.key;
  });
  std::string out;
  auto separate = [&] {
    if (!out.empty()) out += '\n';
  };
  for (std::string const& line : leading) out += line + '\n';
  std::size_t table = IfaRuntime::kTableCount;
  for (Entry const& e : entries) {
    if (e.table != table) separate();
    table = e.table;
    for (std::string const& c : e.comments) out += c + '\n';
    out += e.line + (e.endComment.empty() ? "" : "  " + e.endComment) + '\n';
  }
  if (!pending.empty()) {
    separate();
    for (std::string const& c : pending) out += c + '\n';
  }
  return out;
}

std::size_t firstDifferentLine(std::string_view a, std::string_view b) {
  std::size_t line = 1;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
    if (a[i] != b[i]) return line;
    if (a[i] == '\n') ++line;
  }
  return a.size() == b.size() ? 0 : line;
}

}  // namespace IfaAgent
