#include "Orrin/RangeException.h"

namespace Orrin {

RangeException::RangeException(std::string value, std::uint64_t maxValue, std::size_t offset,
                               std::string field)
    : std::out_of_range(describe(value, maxValue, offset, field)),
      value_(std::move(value)),
      maxValue_(maxValue),
      offset_(offset),
      field_(std::move(field)) {}

RangeException RangeException::withField(std::string field) const {
  return RangeException(value_, maxValue_, offset_, std::move(field));
}

std::string RangeException::describe(std::string const& value, std::uint64_t maxValue,
                                     std::size_t offset, std::string const& field) {
  std::string message;
  if (!field.empty()) message += "field \"" + field + "\": ";
  message += "value " + value + " is out of range 0.." + std::to_string(maxValue);
  if (offset != kNoOffset) message += " (at column " + std::to_string(offset + 1) + ")";
  return message;
}

}  // namespace Orrin
