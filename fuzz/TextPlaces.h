// Places in a text as the readers report them: 1-based lines ending at '\n'
// (a last line need not), 1-based columns up to one past the line's end.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <vector>

namespace IfaFuzz {

class TextPlaces {
 public:
  explicit TextPlaces(std::string_view text) {
    while (!text.empty()) {
      std::size_t const end = std::min(text.find('\n'), text.size());
      lengths_.push_back(end);
      text.remove_prefix(std::min(end + 1, text.size()));
    }
  }

  std::size_t lines() const { return lengths_.size(); }

  bool inside(std::size_t line, std::size_t column) const {
    return line >= 1 && line <= lengths_.size() && column >= 1 && column <= lengths_[line - 1] + 1;
  }

 private:
  std::vector<std::size_t> lengths_;
};

}  // namespace IfaFuzz
