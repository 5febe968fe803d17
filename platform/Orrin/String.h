// Orrin::String: the runtime's text value.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>

namespace Orrin {

class String {
 public:
  String() = default;
  String(char const* text) : text_(text ? text : "") {}  // NOLINT: text converts implicitly
  String(std::string_view text) : text_(text) {}         // NOLINT
  String(char const* data, std::size_t length) : text_(data, length) {}
  explicit String(std::string text) : text_(std::move(text)) {}

  char const* data() const { return text_.data(); }
  std::size_t size() const { return text_.size(); }
  bool empty() const { return text_.empty(); }
  std::string_view view() const { return text_; }
  std::string const& str() const { return text_; }

  friend bool operator==(String const& a, String const& b) { return a.text_ == b.text_; }
  friend bool operator==(String const& a, std::string_view b) { return a.text_ == b; }
  friend auto operator<=>(String const& a, String const& b) { return a.text_ <=> b.text_; }
  friend std::ostream& operator<<(std::ostream& os, String const& s) { return os << s.text_; }

 private:
  std::string text_;
};

}  // namespace Orrin
