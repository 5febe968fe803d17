// Colour on a terminal: the choice a program's --color option makes, and text
// painted with the terminal's escape sequences.
#pragma once

#include <string>
#include <string_view>

namespace IfaText {

// --color auto|always|never.
enum class ColourChoice { automatic, always, never };

// Reads "auto", "always" or "never"; false for anything else.
bool readColourChoice(std::string_view word, ColourChoice& choice);

// Whether output to `fd` is painted: always or never as chosen; with auto,
// when `fd` is a terminal and NO_COLOR is unset or empty.
bool colourOn(ColourChoice choice, int fd);

enum class Colour { green, yellow, red, boldRed };

// `text` between the colour's escape sequence and the reset, or `text` as it
// is when `on` is false.
std::string painted(std::string_view text, Colour colour, bool on);

}  // namespace IfaText
