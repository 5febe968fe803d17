// A saved plan: what `plan CONFIG -o FILE` writes and `apply FILE` applies.
//
// Its first line is one JSON object, which no configuration line can be:
//
//   {"ifaAgentPlan":1,"profile":"corvane-sim-a","image":"chip.img",
//    "imageSha256":"9f2c...","configuration":"base.conf","listingLines":7,
//    "sha256":"41d0..."}
//
// (on one line): the format version, the chip profile, the image as given
// and the SHA-256 of its bytes as planned (null for a plan made with no
// image: a cold-start plan), the configuration's name as given, the number
// of lines of the listing that follows, and a SHA-256 of the other keys'
// values (as written here) and of everything after the first line. Then the plan's report as `plan
// --verbose` printed it, each line behind "# ", and last the configuration's text exactly as it was
// read. So the rest of the file is itself a configuration, readable in review, and a byte changed
// anywhere in it is caught.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace IfaAgent {

inline constexpr int kPlanFormatVersion = 1;

struct SavedPlan {
  std::string profile;
  std::string image;                       // as given when planned
  std::optional<std::string> imageSha256;  // none: planned with no image
  std::string configurationName;           // as given when planned
  std::string listing;                     // the report of the plan
  std::string configuration;               // the text that was planned
};

// Whether `text` is meant as a saved plan: its first byte (after a UTF-8
// byte-order mark) opens a JSON object. Such a text is never a
// configuration.
bool isPlanText(std::string_view text);

std::string planFileText(SavedPlan const& plan);

// Reads a saved plan. Raises ConfigError naming `file` and what is wrong: a
// first line that is not a JSON object or not a saved plan's, another format
// version, a missing or ill-typed key, a listing longer than the file, or
// contents that do not match their SHA-256.
SavedPlan readPlanText(std::string_view text, std::string const& file);

}  // namespace IfaAgent
