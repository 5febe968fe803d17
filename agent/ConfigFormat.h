// fmt: a configuration rewritten in one canonical shape, for files kept in
// version control.
//
//  - Every entry in the short, named form: the table's short name, the
//    index, then NAME=VALUE for each field that is not 0, in declaration
//    order. Numbers keep the base they were written in (0x hex or decimal).
//  - Entries grouped by table in catalogue order, a blank line between
//    groups, sorted by key within a group.
//  - Comments stay with their entry: the comment lines right above an entry
//    (blank lines between them allowed) move with it, and a comment at the
//    end of an entry's line stays there. The comment lines at the top of the
//    file, up to the last blank line before its first entry, stay at the top;
//    those after the last entry stay at the end.
//
// The result reads back to the same entries and is its own format (fmt of
// it changes nothing).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "agent/Config.h"

namespace IfaAgent {

// The text in that shape. Raises ConfigError, as Config::parse does, when
// the text is not a valid configuration: nothing is formatted then.
std::string formatConfig(std::string_view text, std::string const& file, IndexRanges const& ranges);

// The 1-based number of the first line where `a` and `b` differ, or 0 when
// they are equal.
std::size_t firstDifferentLine(std::string_view a, std::string_view b);

}  // namespace IfaAgent
