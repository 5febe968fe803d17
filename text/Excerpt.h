// Quoting outside text in the programs' messages.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace IfaText {

// `text` as messages quote it: at most `limit` bytes, then "..."; a backslash
// and a double quote are escaped with a backslash, every byte outside
// printable ASCII is written \xNN. A message stays one bounded line whatever
// the input holds.
std::string excerpt(std::string_view text, std::size_t limit = 24);

}  // namespace IfaText
