#include "text/Colour.h"

#include <unistd.h>

#include <cstdlib>

namespace IfaText {

bool readColourChoice(std::string_view word, ColourChoice& choice) {
  if (word == "auto") {
    choice = ColourChoice::automatic;
  } else if (word == "always") {
    choice = ColourChoice::always;
  } else if (word == "never") {
    choice = ColourChoice::never;
  } else {
    return false;
  }
  return true;
}

bool colourOn(ColourChoice choice, int fd) {
  if (choice != ColourChoice::automatic) return choice == ColourChoice::always;
  char const* noColour = std::getenv("NO_COLOR");
  if (noColour != nullptr && *noColour != '\0') return false;
  return ::isatty(fd) != 0;
}

std::string painted(std::string_view text, Colour colour, bool on) {
  if (!on) return std::string(text);
  char const* start = "";
  switch (colour) {
    case Colour::green:
      start = "\033[32m";
      break;
    case Colour::yellow:
      start = "\033[33m";
      break;
    case Colour::red:
      start = "\033[31m";
      break;
    case Colour::boldRed:
      start = "\033[1;31m";
      break;
  }
  return start + std::string(text) + "\033[0m";
}

}  // namespace IfaText
