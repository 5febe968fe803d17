// Feeds arbitrary headers and lengths to the simulated chip's image check.
//
// Input: byte 0 chooses the chip profile (low seven bits, modulo the number
// of profiles) and, with its top bit, whether the image also goes through a
// real file; bytes 1 to 8 are the image's length in bytes, little-endian;
// the next bytes are the start of its 4096-byte header (the rest of the
// header is zero) and anything after the header is row data.
//
// An image is accepted only when its header is exactly the one this chip
// writes for the profile and its length is the profile's image size; every
// other image is refused with Asic::ChipDevice::Error naming the image. Row
// data never matters: a file holding the header, the rows and the length
// gets the same verdict, with the same message, from AsicImage::open.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "Asic/ChipRegistry.h"
#include "chip/AsicImage.h"
#include "chip/ChipProfile.h"
#include "chip/SimChip.h"

namespace {

using SimChip::ImageLayout;

// Files are cut to this length at most: lengths past it are refused alike.
constexpr std::uint64_t kMaxFileBytes = std::uint64_t{1} << 22;

[[noreturn]] void fail(std::string const& what) {
  std::cerr << "image-fuzzer: " << what << '\n';
  std::abort();
}

std::vector<ImageLayout> const& layouts() {
  static auto const* all = [] {
    auto* made = new std::vector<ImageLayout>;
    for (SimChip::ChipProfile const& p : SimChip::profiles())
      made->push_back(SimChip::imageLayout(p));
    return made;
  }();
  return *all;
}

// A directory of this process's own, removed at exit.
std::string const& imagePath() {
  static std::string const* path = [] {
    char dir[] = "/tmp/image-fuzzer-XXXXXX";
    if (::mkdtemp(dir) == nullptr) fail("cannot make a temporary directory");
    static std::string const directory = dir;
    std::atexit([] {
      ::unlink((directory + "/fuzz.img").c_str());
      ::rmdir(directory.c_str());
    });
    return new std::string(directory + "/fuzz.img");
  }();
  return *path;
}

// The refusal's message, or nothing when the check accepts.
template <class Check>
std::optional<std::string> refusal(Check const& check) {
  try {
    check();
  } catch (Asic::ChipDevice::Error const& e) {
    return std::string(e.what());
  }
  return std::nullopt;
}

void writeFile(std::string const& path, std::vector<std::uint8_t> const& header,
               std::uint8_t const* rows, std::size_t rowBytes, std::uint64_t size) {
  int const fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) fail("cannot write " + path);
  std::size_t const headerPart =
      static_cast<std::size_t>(std::min<std::uint64_t>(size, header.size()));
  std::size_t const rowPart =
      static_cast<std::size_t>(std::min<std::uint64_t>(size - headerPart, rowBytes));
  if (::pwrite(fd, header.data(), headerPart, 0) != static_cast<ssize_t>(headerPart) ||
      ::pwrite(fd, rows, rowPart, ImageLayout::kHeaderBytes) != static_cast<ssize_t>(rowPart)) {
    fail("cannot write " + path);
  }
  ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  if (size < 9) return 0;
  ImageLayout const& layout = layouts()[(data[0] & 0x7F) % layouts().size()];
  bool const throughFile = (data[0] & 0x80) != 0;
  std::uint64_t length = 0;
  for (std::size_t i = 0; i < 8; ++i) length |= std::uint64_t{data[1 + i]} << (8 * i);
  if (throughFile) length = std::min(length, kMaxFileBytes);
  std::vector<std::uint8_t> header(ImageLayout::kHeaderBytes, 0);
  std::size_t const given = std::min(size - 9, header.size());
  std::copy_n(data + 9, given, header.begin());

  bool const good = length == layout.imageBytes && header == layout.header();
  std::string const name = throughFile ? imagePath() : std::string("fuzz.img");
  auto const checked = refusal([&] { layout.checkHeader(header.data(), length, name); });
  if (good != !checked) fail(good ? "refused a good image: " + *checked : "accepted a bad image");
  if (checked && !checked->starts_with("image " + name + ": ")) {
    fail("the refusal does not name the image: " + *checked);
  }
  if (!throughFile) return 0;

  writeFile(name, header, data + 9 + given, size - 9 - given, length);
  SimChip::AsicImage image(layout);
  auto const opened = refusal([&] { image.open(name, true); });
  if (opened.has_value() == image.isOpen()) fail("open's refusal and the open state disagree");
  if (!opened != !checked) {
    fail("open and the header check disagree: " + opened.value_or("accepted") + " / " +
         checked.value_or("accepted"));
  }
  // A file shorter than its header is refused before its header is read.
  if (opened && length >= ImageLayout::kHeaderBytes && *opened != *checked) {
    fail("open refuses otherwise than the header check: " + *opened + " / " + *checked);
  }
  if (opened && !opened->starts_with("image " + name + ": ")) {
    fail("open's refusal does not name the image: " + *opened);
  }
  if (!opened && image.row(0, layout.regions[0].minIndex) == nullptr)
    fail("no row in an open image");
  return 0;
}
