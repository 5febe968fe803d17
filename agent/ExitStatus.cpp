#include "agent/ExitStatus.h"

namespace IfaAgent {

std::string exitStatusHelp(std::size_t columns) {
  constexpr std::size_t kIndent = 6;  // "  64  "
  std::string out;
  for (ExitStatusRow const& row : kExitStatuses) {
    std::string line = "  " + std::to_string(row.status);
    line.resize(kIndent, ' ');
    std::size_t width = kIndent;
    std::string_view rest = row.meaning;
    while (!rest.empty()) {
      std::size_t const space = rest.find(' ');
      std::string word(rest.substr(0, space));
      rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
      std::erase(word, '`');
      if (width > kIndent && width + 1 + word.size() > columns) {
        out += line + '\n';
        line = std::string(kIndent, ' ');
        width = kIndent;
      }
      if (width > kIndent) {
        line += ' ';
        ++width;
      }
      line += word;
      width += word.size();
    }
    out += line + '\n';
  }
  return out;
}

}  // namespace IfaAgent
