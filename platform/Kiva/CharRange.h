// Kiva's text reading of values.
//
// The text form of a record ("named list") is
//     TypeName(field1=value1, field2=value2, ..., fieldN=valueN)
// a single-field value is its value alone ("bare value"), and a value without
// fields is the empty text. Numbers are unsigned, decimal or 0x-prefixed hex.
// White space may stand around every token. The printer (StrepWriter) writes
// exactly this syntax, without optional white space.
//
// Readers work on a CharRange: the whole text and a current position. Syntax
// errors raise Kiva::DeserializeException, values that do not fit their type
// raise Orrin::RangeException; both say where in the text reading failed and,
// when known, which field was being read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Orrin/RangeException.h"

namespace Kiva {

class DeserializeException : public std::invalid_argument {
 public:
  DeserializeException(std::string expected, std::string_view found, std::size_t offset,
                       std::string field = {});

  std::string const& expected() const { return expected_; }
  std::size_t offset() const { return offset_; }
  std::string const& field() const { return field_; }

 private:
  std::string expected_;
  std::size_t offset_;
  std::string field_;
};

class CharRange {
 public:
  explicit CharRange(std::string_view text) : text_(text) {}

  std::string_view text() const { return text_; }
  std::size_t offset() const { return pos_; }
  std::string_view rest() const { return text_.substr(pos_); }
  bool atEnd() const { return pos_ == text_.size(); }

  void skipSpace();

  // The opening of a named list: the type name, "(", the first field's name, "=".
  void needPre(std::string_view typeName, std::string_view firstField);
  // The separator before a further field: ",", its name, "=".
  void needSep(std::string_view field);
  // The closing of a named list: ")".
  void needPost();

  // Raises, naming `field`, unless an unsigned number follows (after white space).
  void needNumber(std::string_view field);
  // An unsigned number no larger than maxValue. `field` only names the field
  // in a syntax error; a range error carries no field (the field's reader adds it).
  std::uint64_t readUnsigned(std::uint64_t maxValue, std::string_view field = {});

 private:
  // Length of the number at the position (0 when none is there).
  std::size_t numberLength() const;
  void needToken(std::string_view token, std::string_view what, std::string_view field);
  [[noreturn]] void fail(std::string expected, std::string_view field) const;

  std::string_view text_;
  std::size_t pos_ = 0;
};

// Guard around the last value of a named list: opened before the value is
// read, closed after it, which consumes the closing.
class DesAttrPost {
 public:
  explicit DesAttrPost(CharRange& range) : range_(range) {}
  void close() { range_.needPost(); }

 private:
  CharRange& range_;
};

// Raises when anything but white space is left after a complete value.
void CharRangeCheckAllDataConsumed(CharRange& range);

// Raises `error` again with the field's name added.
[[noreturn]] void rethrowFromDeserializeAttr(Orrin::RangeException const& error,
                                             std::string_view field);

// Generic readers of plain 8-bit and 32-bit unsigned values, in the three
// positions of a named list: the value alone (deserializeAttr), a middle field
// with its separator (desAttrIntra), the last field with its separator and the
// closing (desAttrPost). Range errors name the field.
void deserializeAttr(CharRange& range, std::string_view field, std::uint8_t& value);
void deserializeAttr(CharRange& range, std::string_view field, std::uint32_t& value);
void desAttrIntra(CharRange& range, std::string_view field, std::uint8_t& value);
void desAttrIntra(CharRange& range, std::string_view field, std::uint32_t& value);
void desAttrPost(CharRange& range, std::string_view field, std::uint8_t& value);
void desAttrPost(CharRange& range, std::string_view field, std::uint32_t& value);

// Writes values in the syntax the readers above accept.
class StrepWriter {
 public:
  void openList(std::string_view typeName, std::string_view firstField);
  void separator(std::string_view field);
  void closeList() { text_ += ')'; }
  void number(std::uint64_t value) { text_ += std::to_string(value); }

  std::string const& text() const { return text_; }
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
};

}  // namespace Kiva
