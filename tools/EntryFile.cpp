#include "tools/EntryFile.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Kiva/CharRange.h"
#include "Orrin/RangeException.h"
#include "text/Suggest.h"

namespace IfaInspect {
namespace {

using Orrin::Value;

// A message of the scalar reader, with the text it quotes bounded.
std::string boundQuotes(std::string message, std::string_view raw) {
  if (raw.empty()) return message;
  std::string const bounded = excerpt(raw);
  for (auto at = message.find(raw); at != std::string::npos;
       at = message.find(raw, at + bounded.size())) {
    message.replace(at, raw.size(), bounded);
  }
  return message;
}

// The entry reader's errors, rebuilt from their parts so that the text they
// quote is bounded; the place is the caller's FILE:LINE:COLUMN.
std::string describe(Kiva::DeserializeException const& e, std::string_view text) {
  std::string message = e.field().empty() ? "" : "field \"" + e.field() + "\": ";
  message += "expected " + e.expected();
  std::string_view const found = e.offset() < text.size() ? text.substr(e.offset()) : "";
  return message +
         (found.empty() ? ", found the end of the text" : ", found \"" + excerpt(found) + "\"");
}

std::string describe(Orrin::RangeException const& e) {
  std::string message = e.field().empty() ? "" : "field \"" + e.field() + "\": ";
  return message + "value " + excerpt(e.value()) + " is out of range 0.." +
         std::to_string(e.maxValue());
}

bool isNameStart(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) != 0 || c == '_';
}

bool isNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

// Whether an entry's text is in the short form: nothing, or NAME=VALUE
// tokens (a name directly followed by '='). The text form never is: it
// starts with the entry's type name and "(", or with a number.
bool isShortForm(std::string_view text) {
  if (text.empty()) return true;
  if (!isNameStart(text[0])) return false;
  std::size_t at = 0;
  while (at < text.size() && isNameChar(text[at])) ++at;
  return at < text.size() && text[at] == '=';
}

// An entry in the short form, rewritten to the entry's text form; per field,
// the column (0-based, in the entry's text) of its token, for errors.
struct Rewritten {
  std::string text;
  std::vector<std::pair<std::string, std::size_t>> columns;
};

// Rewrites the short form: every field of the entry type (its data
// attributes, in declaration order), those not given 0; a single field as
// its value alone; no field as nothing. `error` makes the error for a token
// at fault at a column of `text`.
template <class Error>
Rewritten rewriteShortForm(std::string_view text, Orrin::ModuleInspectData::TypeRef const& type,
                           Error const& error) {
  Orrin::ModuleInspectData::Type const* entry = Orrin::ModuleInspectData::type(type);
  if (entry == nullptr) throw error(0, "the entry type has no registered module");
  std::vector<Orrin::ModuleInspectData::Attribute const*> fields;
  for (auto const& a : entry->attributes) {
    if (a.fieldPosition >= 0) fields.push_back(&a);
  }
  std::sort(fields.begin(), fields.end(),
            [](auto const* a, auto const* b) { return a->fieldPosition < b->fieldPosition; });
  std::vector<std::string_view> names;
  for (auto const* f : fields) names.push_back(f->name);
  std::vector<std::string> values(fields.size(), "0");
  Rewritten out;
  std::size_t at = 0;
  while (at < text.size()) {
    at = std::min(text.find_first_not_of(" \t", at), text.size());
    if (at == text.size()) break;
    std::size_t const end = std::min(text.find_first_of(" \t", at), text.size());
    std::string_view const token = text.substr(at, end - at);
    std::size_t const equals = token.find('=');
    std::string_view const name = token.substr(0, equals);
    if (equals == std::string_view::npos) {
      throw error(
          at, "field \"" + excerpt(name) + "\": no \"=\" after the name (fields are NAME=VALUE)");
    }
    std::size_t const index =
        static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
    if (index == names.size()) {
      throw error(
          at, "field \"" + excerpt(name) + "\": unknown field" + IfaText::didYouMean(name, names));
    }
    for (auto const& [given, column] : out.columns) {
      if (given == name) {
        throw error(at, "field \"" + excerpt(name) + "\": given twice (first at column " +
                            std::to_string(column + 1) + ")");
      }
    }
    // Only a number goes into the text form: nothing a value holds can
    // stand for more of it.
    std::string_view const value = token.substr(equals + 1);
    if (value.empty() || !std::all_of(value.begin(), value.end(), isNameChar)) {
      throw error(at + equals + 1, "field \"" + excerpt(name) + "\": \"" + excerpt(value) +
                                       "\" is not an unsigned number (decimal or 0x hex)");
    }
    values[index] = std::string(value);
    out.columns.emplace_back(std::string(name), at);
    at = end;
  }
  if (fields.size() == 1) {
    out.text = values.front();
  } else if (!fields.empty()) {
    out.text = std::string(entry->name) + "(";
    for (std::size_t i = 0; i < fields.size(); ++i) {
      out.text += (i ? ", " : "") + std::string(names[i]) + "=" + values[i];
    }
    out.text += ")";
  }
  return out;
}

}  // namespace

EntryFileError::EntryFileError(std::string const& file, std::size_t line, std::size_t column,
                               std::string const& message)
    : std::runtime_error(file + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " +
                         message),
      line_(line),
      column_(column) {}

void readEntryFile(std::string_view text, std::string const& file,
                   Orrin::ModuleInspectData::TypeRef const& keyType,
                   Orrin::ModuleInspectData::TypeRef const& entryType,
                   std::function<void(FileEntry)> const& onEntry) {
  std::size_t lineNumber = 0;
  while (!text.empty()) {
    // Lines end at '\n'; a last line need not.
    std::size_t const end = std::min(text.find('\n'), text.size());
    std::string_view const line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    ++lineNumber;
    // KEY, white space, ENTRY-TEXT; white space around them is not part of
    // either but counts in the columns.
    auto const keyAt = line.find_first_not_of(" \t\r");
    if (keyAt == std::string_view::npos || line[keyAt] == '#') continue;
    std::string_view const content = line.substr(0, line.find_last_not_of(" \t\r") + 1);
    std::size_t const keyEnd = std::min(content.find_first_of(" \t", keyAt), content.size());
    std::size_t const entryAt = std::min(content.find_first_not_of(" \t", keyEnd), content.size());
    std::string_view const keyText = content.substr(keyAt, keyEnd - keyAt);
    std::string_view const entryText = content.substr(entryAt);
    auto const error = [&](std::size_t at, std::string const& message) {
      return EntryFileError(file, lineNumber, at + 1, message);
    };
    std::optional<Value> key, entry;
    try {
      key.emplace(Value::parse(keyType, keyText));
    } catch (std::exception const& e) {
      throw error(keyAt, "bad key: " + boundQuotes(e.what(), keyText));
    }
    if (isShortForm(entryText)) {
      // Rewritten to the text form, then read as any entry text is; an error
      // is placed at the token of the field it names.
      Rewritten const rewritten = rewriteShortForm(
          entryText, entryType,
          [&](std::size_t at, std::string const& message) { return error(entryAt + at, message); });
      auto const columnOf = [&](std::string const& field) {
        for (auto const& [name, column] : rewritten.columns) {
          if (name == field) return entryAt + column;
        }
        return entryAt;
      };
      try {
        entry.emplace(Value::parse(entryType, rewritten.text));
      } catch (Kiva::DeserializeException const& e) {
        throw error(columnOf(e.field()), "bad entry text: " + describe(e, rewritten.text));
      } catch (Orrin::RangeException const& e) {
        throw error(columnOf(e.field()), "bad entry text: " + describe(e));
      } catch (std::exception const& e) {
        throw error(entryAt, std::string("bad entry text: ") + e.what());
      }
      onEntry(FileEntry{std::move(*key), std::move(*entry), lineNumber, keyAt + 1});
      continue;
    }
    try {
      entry.emplace(Value::parse(entryType, entryText));
    } catch (Kiva::DeserializeException const& e) {
      throw error(entryAt + e.offset(), "bad entry text: " + describe(e, entryText));
    } catch (Orrin::RangeException const& e) {
      std::size_t const at = e.offset() == Orrin::RangeException::kNoOffset ? 0 : e.offset();
      throw error(entryAt + at, "bad entry text: " + describe(e));
    } catch (std::exception const& e) {
      throw error(entryAt, std::string("bad entry text: ") + e.what());
    }
    onEntry(FileEntry{std::move(*key), std::move(*entry), lineNumber, keyAt + 1});
  }
}

}  // namespace IfaInspect
