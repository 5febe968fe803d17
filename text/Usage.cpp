#include "text/Usage.h"

#include "text/Excerpt.h"
#include "text/Suggest.h"

namespace IfaText {

std::string usageText(std::string_view program, std::string_view message) {
  std::string const name(program);
  return name + ": " + std::string(message) + "\n(" + name + " --help for usage)\n";
}

std::string unknownOption(std::string_view word, std::vector<std::string> const& options) {
  std::string_view const option = word.substr(0, word.find('='));
  std::vector<std::string_view> const names(options.begin(), options.end());
  return excerpt(option) + " is not an option of this command" + didYouMean(option, names);
}

}  // namespace IfaText
