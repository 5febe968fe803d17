// Manual pages and bash completion written from a program's command line
// (CLI::App): the commands, options and help texts the program itself shows,
// so that the three never disagree.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

namespace CliDocs {

// The head of a manual page.
struct Page {
  std::string name;     // "ifa-agent"
  int section = 1;      // 1 programs, 5 file formats
  std::string summary;  // the NAME line after the dash
  std::string source;   // "ifa-swtables 0.2.0"
  std::string date;     // the release's, "2026-12-07"
  std::string manual;   // "User Commands"
};

// roff: `text` escaped for a text line (backslashes, hyphens, a leading
// period or quote), its line breaks turned into spaces.
std::string roffText(std::string_view text);
// .TH and the NAME section.
std::string roffHead(Page const& page);
// Preformatted help text: paragraphs split at empty lines; a line indented
// by spaces starts a block kept as it is (a list, an example); a paragraph
// whose first line ends with ':' and whose next lines are indented becomes a
// section (.SH, upper case) when `sections`, a bold heading otherwise.
std::string roffHelpText(std::string_view text, bool sections);

// The manual page of the program: synopsis, description, the program's
// options, each visible command with its operands, options and help, then
// the program's footer (its "Heading:" paragraphs as sections), and SEE ALSO.
std::string manPage(CLI::App const& app, Page const& page, std::vector<std::string> const& seeAlso);

// What an operand or an option's value completes to, by its name (TABLE,
// COMMAND) or its type name (FILE); FILE and CONFIG complete to file names
// unless listed here, and a type name "{a,b}" to its words.
struct Completion {
  std::string name;
  std::vector<std::string> words;
};

// A bash completion script for the program: its visible commands, each
// command's options, and the values of its operands and options.
std::string bashCompletion(CLI::App const& app, std::vector<Completion> const& values);

}  // namespace CliDocs
