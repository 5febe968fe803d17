#include "chip/SimChip.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace SimChip {

Chip::Chip(ChipProfile const& profile) : profile_(profile), image_(imageLayout(profile)) {
  if (char const* knob = std::getenv(kCrashKnob)) crashAfter_ = std::strtoull(knob, nullptr, 10);
  if (char const* knob = std::getenv(kPauseKnob)) {
    char* end = nullptr;
    pauseAfter_ = std::strtoull(knob, &end, 10);
    if (*end == ':') pauseMilliseconds_ = static_cast<unsigned>(std::strtoul(end + 1, nullptr, 10));
  }
}

void Chip::attach(std::string const& image, Mode mode, std::string const& name) {
  switch (mode) {
    case Mode::create:
      image_.create(image, name);
      break;
    case Mode::open:
      image_.open(image, false, name);
      break;
    case Mode::openPrivate:
      image_.open(image, true, name);
      break;
  }
  shared_ = mode != Mode::openPrivate;
}

void Chip::detach() {
  image_.close();
}

std::size_t Chip::regionOf(std::string_view table) const {
  auto const& regions = image_.layout().regions;
  for (std::size_t i = 0; i < regions.size(); ++i) {
    if (regions[i].table == table) return i;
  }
  throw std::invalid_argument("the simulated chip has no table " + std::string(table));
}

std::uint8_t const* Chip::row(std::size_t region, std::uint32_t index) const {
  RegionSpec const& r = image_.layout().regions[region];
  if (!image_.isOpen()) throw std::logic_error(r.table + ": no chip image attached");
  std::uint8_t const* row = image_.row(region, index);
  if (row == nullptr) {
    throw std::out_of_range(r.table + ": index " + std::to_string(index) +
                            " is outside the hardware table's range " + std::to_string(r.minIndex) +
                            ".." + std::to_string(r.maxIndex));
  }
  return row;
}

std::uint8_t* Chip::rowToWrite(std::size_t region, std::uint32_t index) {
  row(region, index);  // the checks
  return image_.rowToWrite(region, index);
}

std::vector<std::uint8_t> Chip::rowBytes(std::string_view table, std::uint32_t index) const {
  std::size_t const region = regionOf(table);
  std::uint8_t const* row = image_.isOpen() ? image_.row(region, index) : nullptr;
  if (row == nullptr) return {};
  return {row, row + image_.layout().regions[region].rowBytes};
}

void Chip::rowWritten() {
  ++rowWrites_;
  if (shared_ && crashAfter_ != 0 && rowWrites_ == crashAfter_) ::kill(::getpid(), SIGKILL);
  if (shared_ && pauseAfter_ != 0 && rowWrites_ == pauseAfter_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMilliseconds_));
  }
}

}  // namespace SimChip
