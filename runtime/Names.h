// Compile-time joining of names ("CorvaneInt::IfaActionProfile" + "::Entry").
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace IfaRuntime {

template <std::string_view const&... Parts>
struct JoinNames {
 private:
  static constexpr auto storage = [] {
    std::array<char, (Parts.size() + ... + 0) + 1> chars{};
    std::size_t at = 0;
    ((Parts.copy(chars.data() + at, Parts.size()), at += Parts.size()), ...);
    return chars;
  }();

 public:
  static constexpr std::string_view value{storage.data(), storage.size() - 1};
};

template <std::string_view const&... Parts>
inline constexpr std::string_view joinNames = JoinNames<Parts...>::value;

}  // namespace IfaRuntime
