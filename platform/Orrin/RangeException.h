// Orrin::RangeException: a value does not fit its type.
//
// Raised by the bit-width unsigned types and the integer readers. The reader
// of a named field adds the field's name (Kiva::rethrowFromDeserializeAttr),
// so that the final message says which field was wrong and where.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace Orrin {

class RangeException : public std::out_of_range {
 public:
  static constexpr std::size_t kNoOffset = static_cast<std::size_t>(-1);

  // `value` is the offending value as written (text), `maxValue` the largest
  // value the type holds, `offset` where the value starts in the text read.
  RangeException(std::string value, std::uint64_t maxValue, std::size_t offset = kNoOffset,
                 std::string field = {});

  std::string const& value() const { return value_; }
  std::uint64_t maxValue() const { return maxValue_; }
  std::size_t offset() const { return offset_; }
  std::string const& field() const { return field_; }

  // The same error with the field's name added.
  RangeException withField(std::string field) const;

 private:
  static std::string describe(std::string const& value, std::uint64_t maxValue, std::size_t offset,
                              std::string const& field);

  std::string value_;
  std::uint64_t maxValue_;
  std::size_t offset_;
  std::string field_;
};

}  // namespace Orrin
