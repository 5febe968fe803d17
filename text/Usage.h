// Usage errors of both programs' command lines: how they are raised, what
// they print, and the suggestion for an option that is not one.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace IfaText {

// A command line that cannot be used (exit status 64, EX_USAGE).
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr int kUsageStatus = 64;

// What a usage error prints on standard error: "PROGRAM: MESSAGE" and
// "(PROGRAM --help for usage)", each on its line.
std::string usageText(std::string_view program, std::string_view message);

// "WORD is not an option of this command", with a suggestion among
// `options` ("--image", ...); a value given as --opt=value is left out of
// both.
std::string unknownOption(std::string_view word, std::vector<std::string> const& options);

}  // namespace IfaText
