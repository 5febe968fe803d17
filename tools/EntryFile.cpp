#include "tools/EntryFile.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <utility>

#include "Kiva/CharRange.h"
#include "Orrin/RangeException.h"

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
