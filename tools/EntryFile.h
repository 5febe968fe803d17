// The entry files of `ifa-inspect table NAME FILE`: one entry per line,
//
//     # comment
//     KEY ENTRY-TEXT
//
// KEY is read as the table's key type and ENTRY-TEXT as its entry type,
// through the runtime's reflection hooks (Orrin::Value::parse). ENTRY-TEXT in
// the agent's short form (nothing, or NAME=VALUE tokens; a field left out is
// 0) is first rewritten to the entry's text form, each value a number. White space
// around them is part of neither; blank lines and lines whose first non-blank
// character is '#' are skipped. The first bad line ends the reading with
// "FILE:LINE:COLUMN: message", LINE and COLUMN 1-based, COLUMN counted from
// the start of the line; messages quote the text at fault as a bounded excerpt.
#pragma once

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Orrin/ModuleInspectData.h"
#include "text/Excerpt.h"

namespace IfaInspect {

// A bad line of an entry file (or an entry its reader's caller refused).
class EntryFileError : public std::runtime_error {
 public:
  // "FILE:LINE:COLUMN: message".
  EntryFileError(std::string const& file, std::size_t line, std::size_t column,
                 std::string const& message);
  std::size_t line() const { return line_; }
  std::size_t column() const { return column_; }

 private:
  std::size_t line_;
  std::size_t column_;
};

// One entry read.
struct FileEntry {
  Orrin::Value key;
  Orrin::Value entry;
  std::size_t line;       // 1-based
  std::size_t keyColumn;  // 1-based
};

// Reads the entries of `text`, named `file` in errors, and passes each to
// `onEntry` in file order. Raises EntryFileError at the first bad line (an
// error `onEntry` raises passes on as it is).
void readEntryFile(std::string_view text, std::string const& file,
                   Orrin::ModuleInspectData::TypeRef const& keyType,
                   Orrin::ModuleInspectData::TypeRef const& entryType,
                   std::function<void(FileEntry)> const& onEntry);

using IfaText::excerpt;

}  // namespace IfaInspect
