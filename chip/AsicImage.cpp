#include "chip/AsicImage.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "Asic/ChipRegistry.h"

namespace SimChip {
namespace {

using Error = Asic::ChipDevice::Error;

void put(std::vector<std::uint8_t>& out, std::size_t at, std::uint64_t value, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) out[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t get(std::uint8_t const* in, std::size_t at, std::size_t bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < bytes; ++i) value |= std::uint64_t{in[at + i]} << (8 * i);
  return value;
}

void putName(std::vector<std::uint8_t>& out, std::size_t at, std::string const& name,
             std::size_t bytes) {
  std::memcpy(&out[at], name.data(), std::min(name.size(), bytes - 1));
}

std::string getName(std::uint8_t const* in, std::size_t at, std::size_t bytes) {
  char const* text = reinterpret_cast<char const*>(in + at);
  return std::string(text, strnlen(text, bytes));
}

std::string systemError(std::string const& what, std::string const& path) {
  return "image " + path + ": cannot " + what + ": " + std::strerror(errno);
}

}  // namespace

ImageLayout::ImageLayout(std::string profileName, std::vector<RegionSpec> regionSpecs)
    : profile(std::move(profileName)), regions(std::move(regionSpecs)) {
  std::uint64_t at = kHeaderBytes;
  for (RegionSpec const& r : regions) {
    offsets.push_back(at);
    at += std::uint64_t{r.rows()} * r.rowBytes;
    at = (at + kRegionAlign - 1) / kRegionAlign * kRegionAlign;
  }
  imageBytes = at;
}

std::vector<std::uint8_t> ImageLayout::header() const {
  std::vector<std::uint8_t> out(kHeaderBytes, 0);
  std::memcpy(out.data(), kMagic, sizeof kMagic);
  put(out, 8, kVersion, 4);
  put(out, 12, kHeaderBytes, 4);
  putName(out, 16, profile, kProfileNameBytes);
  put(out, 48, regions.size(), 4);
  put(out, 56, imageBytes, 8);
  for (std::size_t i = 0; i < regions.size(); ++i) {
    std::size_t const at = kDescriptorsAt + i * kDescriptorBytes;
    RegionSpec const& r = regions[i];
    putName(out, at, r.table, kTableNameBytes);
    put(out, at + 48, r.minIndex, 4);
    put(out, at + 52, r.maxIndex, 4);
    put(out, at + 56, r.rowBits, 2);
    put(out, at + 58, r.rowBytes, 2);
    put(out, at + 60, offsets[i], 4);
  }
  return out;
}

void ImageLayout::checkHeader(std::uint8_t const* data, std::uint64_t size,
                              std::string const& path) const {
  std::string const where = "image " + path + ": ";
  if (size < kHeaderBytes || std::memcmp(data, kMagic, sizeof kMagic) != 0) {
    throw Error(where + "not an IFA ASIC image (no \"IFAASIC\" magic in a " +
                std::to_string(kHeaderBytes) + "-byte header)");
  }
  auto const version = get(data, 8, 4);
  if (version != kVersion) {
    throw Error(where + "format version " + std::to_string(version) + ", this chip reads version " +
                std::to_string(kVersion));
  }
  if (get(data, 12, 4) != kHeaderBytes) {
    throw Error(where + "header of " + std::to_string(get(data, 12, 4)) + " bytes, expected " +
                std::to_string(kHeaderBytes));
  }
  std::string const imageProfile = getName(data, 16, kProfileNameBytes);
  if (imageProfile != profile) {
    throw Error(where + "made for chip profile \"" + imageProfile + "\", this chip is \"" +
                profile + "\"");
  }
  if (get(data, 48, 4) != regions.size()) {
    throw Error(where + std::to_string(get(data, 48, 4)) + " tables, this chip has " +
                std::to_string(regions.size()));
  }
  std::vector<std::uint8_t> const expected = header();
  for (std::size_t i = 0; i < regions.size(); ++i) {
    std::size_t const at = kDescriptorsAt + i * kDescriptorBytes;
    RegionSpec const& r = regions[i];
    std::string const name = getName(data, at, kTableNameBytes);
    std::string const table = "table " + std::to_string(i) + " (" + r.table + "): ";
    if (name != r.table) throw Error(where + table + "the image has \"" + name + "\" there");
    auto field = [&](std::size_t off, std::size_t bytes, char const* what) {
      auto const have = get(data, at + off, bytes), want = get(expected.data(), at + off, bytes);
      if (have != want) {
        throw Error(where + table + what + " " + std::to_string(have) + " in the image, " +
                    std::to_string(want) + " expected");
      }
    };
    field(48, 4, "minIndex");
    field(52, 4, "maxIndex");
    field(56, 2, "row bits");
    field(58, 2, "row bytes");
    field(60, 4, "region offset");
  }
  if (get(data, 56, 8) != imageBytes || size != imageBytes) {
    throw Error(where + "image of " + std::to_string(size) + " bytes (header says " +
                std::to_string(get(data, 56, 8)) + "), " + std::to_string(imageBytes) +
                " expected");
  }
  if (std::memcmp(data, expected.data(), kHeaderBytes) != 0) {
    throw Error(where + "the header's unused bytes are not zero");
  }
}

void AsicImage::create(std::string const& path) {
  close();
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) throw Error("image " + path + ": exists already");
  std::string const temporary = path + ".new-" + std::to_string(::getpid());
  int const fd = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw Error(systemError("create", temporary));
  std::vector<std::uint8_t> const header = layout_.header();
  bool ok = ::ftruncate(fd, static_cast<off_t>(layout_.imageBytes)) == 0 &&
            ::pwrite(fd, header.data(), header.size(), 0) == static_cast<ssize_t>(header.size()) &&
            ::fsync(fd) == 0;
  if (ok) ok = ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    std::string const message = systemError("write", temporary);
    ::close(fd);
    ::unlink(temporary.c_str());
    throw Error(message);
  }
  path_ = path;
  map(fd, false);
}

void AsicImage::open(std::string const& path, bool privateCopy) {
  close();
  int const fd = ::open(path.c_str(), (privateCopy ? O_RDONLY : O_RDWR) | O_CLOEXEC);
  if (fd < 0) throw Error(systemError("open", path));
  path_ = path;
  map(fd, privateCopy);
}

void AsicImage::map(int fd, bool privateCopy) {
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    std::string const message = systemError("read", path_);
    ::close(fd);
    throw Error(message);
  }
  auto const size = static_cast<std::uint64_t>(st.st_size);
  if (size < ImageLayout::kHeaderBytes) {
    ::close(fd);
    throw Error("image " + path_ + ": not an IFA ASIC image (" + std::to_string(size) +
                " bytes, shorter than its header)");
  }
  void* base =
      ::mmap(nullptr, size, PROT_READ | PROT_WRITE, privateCopy ? MAP_PRIVATE : MAP_SHARED, fd, 0);
  std::string const message = base == MAP_FAILED ? systemError("map", path_) : std::string();
  ::close(fd);
  if (base == MAP_FAILED) throw Error(message);
  try {
    layout_.checkHeader(static_cast<std::uint8_t const*>(base), size, path_);
  } catch (...) {
    ::munmap(base, size);
    throw;
  }
  base_ = static_cast<std::uint8_t*>(base);
}

void AsicImage::close() {
  if (base_ == nullptr) return;
  ::munmap(base_, layout_.imageBytes);
  base_ = nullptr;
}

std::uint8_t* AsicImage::row(std::size_t region, std::uint32_t index) {
  RegionSpec const& r = layout_.regions[region];
  if (base_ == nullptr || index < r.minIndex || index > r.maxIndex) return nullptr;
  return base_ + layout_.offsets[region] + std::uint64_t{index - r.minIndex} * r.rowBytes;
}

std::uint8_t const* AsicImage::row(std::size_t region, std::uint32_t index) const {
  return const_cast<AsicImage*>(this)->row(region, index);
}

}  // namespace SimChip
