#include "Kiva/CharRange.h"

#include <cctype>

namespace Kiva {
namespace {

std::string describe(std::string const& expected, std::string_view found, std::size_t offset,
                     std::string const& field) {
  std::string message;
  if (!field.empty()) message += "field \"" + field + "\": ";
  message += "expected " + expected + " at column " + std::to_string(offset + 1);
  if (found.empty()) {
    message += ", found the end of the text";
  } else {
    constexpr std::size_t kShown = 24;
    message += ", found \"" + std::string(found.substr(0, kShown)) +
               (found.size() > kShown ? "...\"" : "\"");
  }
  return message;
}

bool isSpace(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

DeserializeException::DeserializeException(std::string expected, std::string_view found,
                                           std::size_t offset, std::string field)
    : std::invalid_argument(describe(expected, found, offset, field)),
      expected_(std::move(expected)),
      offset_(offset),
      field_(std::move(field)) {}

void CharRange::skipSpace() {
  while (pos_ < text_.size() && isSpace(text_[pos_])) ++pos_;
}

void CharRange::fail(std::string expected, std::string_view field) const {
  throw DeserializeException(std::move(expected), rest(), pos_, std::string(field));
}

void CharRange::needToken(std::string_view token, std::string_view what, std::string_view field) {
  skipSpace();
  if (text_.substr(pos_, token.size()) != token) fail(std::string(what), field);
  pos_ += token.size();
}

void CharRange::needPre(std::string_view typeName, std::string_view firstField) {
  skipSpace();
  // A type name is followed by "(": a longer identifier is another type.
  needToken(typeName, "\"" + std::string(typeName) + "(\"", firstField);
  needToken("(", "\"(\" after " + std::string(typeName), firstField);
  needToken(firstField, "field name \"" + std::string(firstField) + "\"", firstField);
  needToken("=", "\"=\" after " + std::string(firstField), firstField);
}

void CharRange::needSep(std::string_view field) {
  needToken(",", "\", " + std::string(field) + "=\"", field);
  needToken(field, "field name \"" + std::string(field) + "\"", field);
  needToken("=", "\"=\" after " + std::string(field), field);
}

void CharRange::needPost() {
  needToken(")", "\")\"", {});
}

std::size_t CharRange::numberLength() const {
  std::size_t pos = pos_;
  bool const hex = text_.substr(pos, 2) == "0x" || text_.substr(pos, 2) == "0X";
  if (hex) pos += 2;
  std::size_t const digitsStart = pos;
  while (pos < text_.size() && (hex ? std::isxdigit(static_cast<unsigned char>(text_[pos])) != 0
                                    : (text_[pos] >= '0' && text_[pos] <= '9'))) {
    ++pos;
  }
  if (pos == digitsStart) return 0;
  // A number glued to letters ("12abc") is not a number.
  if (pos < text_.size() &&
      (std::isalnum(static_cast<unsigned char>(text_[pos])) != 0 || text_[pos] == '_')) {
    return 0;
  }
  return pos - pos_;
}

void CharRange::needNumber(std::string_view field) {
  skipSpace();
  if (numberLength() == 0) fail("an unsigned number", field);
}

std::uint64_t CharRange::readUnsigned(std::uint64_t maxValue, std::string_view field) {
  needNumber(field);
  std::size_t const start = pos_;
  std::size_t const end = pos_ + numberLength();
  // The prefix is looked at within the text only: a one-digit number may end it.
  std::string_view const prefix = text_.substr(pos_, 2);
  bool const hex = prefix == "0x" || prefix == "0X";
  std::uint64_t const base = hex ? 16 : 10;
  bool overflow = false;
  std::uint64_t value = 0;
  for (std::size_t i = start + (hex ? 2 : 0); i < end; ++i) {
    char const c = text_[i];
    std::uint64_t const digit = c <= '9' ? static_cast<std::uint64_t>(c - '0')
                                         : static_cast<std::uint64_t>((c | 0x20) - 'a' + 10);
    if (value > (UINT64_MAX - digit) / base) overflow = true;
    value = value * base + digit;
  }
  pos_ = end;
  if (overflow || value > maxValue) {
    throw Orrin::RangeException(std::string(text_.substr(start, end - start)), maxValue, start);
  }
  return value;
}

void CharRangeCheckAllDataConsumed(CharRange& range) {
  range.skipSpace();
  if (!range.atEnd()) {
    throw DeserializeException("the end of the text", range.rest(), range.offset());
  }
}

void rethrowFromDeserializeAttr(Orrin::RangeException const& error, std::string_view field) {
  throw error.withField(std::string(field));
}

namespace {

template <class T>
void readPlain(CharRange& range, std::string_view field, T& value) {
  try {
    value = static_cast<T>(range.readUnsigned(static_cast<T>(~T{0}), field));
  } catch (Orrin::RangeException const& e) {
    rethrowFromDeserializeAttr(e, field);
  }
}

}  // namespace

void deserializeAttr(CharRange& range, std::string_view field, std::uint8_t& value) {
  readPlain(range, field, value);
}
void deserializeAttr(CharRange& range, std::string_view field, std::uint32_t& value) {
  readPlain(range, field, value);
}
void desAttrIntra(CharRange& range, std::string_view field, std::uint8_t& value) {
  range.needSep(field);
  readPlain(range, field, value);
}
void desAttrIntra(CharRange& range, std::string_view field, std::uint32_t& value) {
  range.needSep(field);
  readPlain(range, field, value);
}
void desAttrPost(CharRange& range, std::string_view field, std::uint8_t& value) {
  range.needSep(field);
  readPlain(range, field, value);
  range.needPost();
}
void desAttrPost(CharRange& range, std::string_view field, std::uint32_t& value) {
  range.needSep(field);
  readPlain(range, field, value);
  range.needPost();
}

void StrepWriter::openList(std::string_view typeName, std::string_view firstField) {
  text_ += typeName;
  text_ += '(';
  text_ += firstField;
  text_ += '=';
}

void StrepWriter::separator(std::string_view field) {
  text_ += ", ";
  text_ += field;
  text_ += '=';
}

}  // namespace Kiva
