// SHA-256 (FIPS 180-4), for the fingerprints of saved plans: the image's
// bytes as planned, and the plan file's own contents.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace IfaAgent {

class Sha256 {
 public:
  Sha256();
  void update(void const* data, std::size_t size);
  void update(std::string_view text) { update(text.data(), text.size()); }
  // The digest as 64 lower-case hex digits; the object is spent afterwards.
  std::string hex();

 private:
  void block(std::uint8_t const* p);

  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> buffer_{};
  std::size_t buffered_ = 0;
  std::uint64_t bytes_ = 0;
};

inline std::string sha256Hex(std::string_view text) {
  Sha256 h;
  h.update(text);
  return h.hex();
}

}  // namespace IfaAgent
