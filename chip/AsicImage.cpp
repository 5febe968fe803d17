#include "chip/AsicImage.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string_view>

#include "Asic/ChipRegistry.h"
#include "files/FilePaths.h"

namespace SimChip {
namespace {

using Error = Asic::ChipDevice::Error;
using IoError = Asic::ChipDevice::IoError;

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

std::string systemError(std::string const& what, std::string const& path, int error = errno) {
  return "image " + path + ": cannot " + what + ": " + std::strerror(error);
}

Error notRegular(std::string const& path, mode_t mode) {
  return Error("image " + path + ": not a regular file (" + IfaFiles::fileTypeName(mode) +
               "); an image is a regular file");
}

// Writes all of `data` at `offset`, through short writes and interruptions.
bool writeAll(int fd, std::uint8_t const* data, std::size_t size, off_t offset) {
  while (size > 0) {
    ssize_t const n = ::pwrite(fd, data, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
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

namespace {

constexpr HeaderField const& field(HeaderField::Id id) {
  return kHeaderFields[id];
}

constexpr bool inIdOrder() {
  for (std::size_t i = 0; i < std::size(kHeaderFields); ++i) {
    if (static_cast<std::size_t>(kHeaderFields[i].id) != i) return false;
  }
  return true;
}
static_assert(inIdOrder(), "kHeaderFields is indexed by HeaderField::Id");

}  // namespace

std::vector<std::uint8_t> ImageLayout::header() const {
  std::vector<std::uint8_t> out(kHeaderBytes, 0);
  for (HeaderField const& f : kHeaderFields) {
    for (std::size_t i = 0; i < (f.perRegion ? regions.size() : 1); ++i) {
      std::size_t const at = fieldAt(f, i);
      RegionSpec const* r = f.perRegion ? &regions[i] : nullptr;
      switch (f.id) {
        case HeaderField::magic:
          putName(out, at, std::string(kMagic, sizeof kMagic - 1), f.bytes);
          break;
        case HeaderField::version:
          put(out, at, kVersion, f.bytes);
          break;
        case HeaderField::headerBytes:
          put(out, at, kHeaderBytes, f.bytes);
          break;
        case HeaderField::profile:
          putName(out, at, profile, f.bytes);
          break;
        case HeaderField::regionCount:
          put(out, at, regions.size(), f.bytes);
          break;
        case HeaderField::reserved:
          break;
        case HeaderField::imageBytes:
          put(out, at, imageBytes, f.bytes);
          break;
        case HeaderField::table:
          putName(out, at, r->table, f.bytes);
          break;
        case HeaderField::minIndex:
          put(out, at, r->minIndex, f.bytes);
          break;
        case HeaderField::maxIndex:
          put(out, at, r->maxIndex, f.bytes);
          break;
        case HeaderField::rowBits:
          put(out, at, r->rowBits, f.bytes);
          break;
        case HeaderField::rowBytes:
          put(out, at, r->rowBytes, f.bytes);
          break;
        case HeaderField::regionOffset:
          put(out, at, offsets[i], f.bytes);
          break;
      }
    }
  }
  return out;
}

void ImageLayout::checkHeader(std::uint8_t const* data, std::uint64_t size,
                              std::string const& path) const {
  std::string const where = "image " + path + ": ";
  auto number = [&](HeaderField::Id id) { return get(data, field(id).at, field(id).bytes); };
  HeaderField const& magicField = field(HeaderField::magic);
  static_assert(sizeof kMagic == kHeaderFields[HeaderField::magic].bytes);
  if (size < kHeaderBytes || std::memcmp(data + magicField.at, kMagic, magicField.bytes) != 0) {
    throw Error(where + "not an IFA ASIC image (no \"IFAASIC\" magic in a " +
                std::to_string(kHeaderBytes) + "-byte header)");
  }
  auto const version = number(HeaderField::version);
  if (version != kVersion) {
    throw Error(where + "format version " + std::to_string(version) + ", this chip reads version " +
                std::to_string(kVersion));
  }
  if (number(HeaderField::headerBytes) != kHeaderBytes) {
    throw Error(where + "header of " + std::to_string(number(HeaderField::headerBytes)) +
                " bytes, expected " + std::to_string(kHeaderBytes));
  }
  HeaderField const& profileField = field(HeaderField::profile);
  std::string const imageProfile = getName(data, profileField.at, profileField.bytes);
  if (imageProfile != profile) {
    throw Error(where + "made for chip profile \"" + imageProfile + "\", this chip is \"" +
                profile + "\"");
  }
  if (number(HeaderField::regionCount) != regions.size()) {
    throw Error(where + std::to_string(number(HeaderField::regionCount)) +
                " tables, this chip has " + std::to_string(regions.size()));
  }
  std::vector<std::uint8_t> const expected = header();
  for (std::size_t i = 0; i < regions.size(); ++i) {
    RegionSpec const& r = regions[i];
    HeaderField const& tableField = field(HeaderField::table);
    std::string const name = getName(data, fieldAt(tableField, i), tableField.bytes);
    std::string const table = "table " + std::to_string(i) + " (" + r.table + "): ";
    if (name != r.table) throw Error(where + table + "the image has \"" + name + "\" there");
    for (HeaderField const& f : kHeaderFields) {
      if (!f.perRegion || f.text) continue;
      auto const have = get(data, fieldAt(f, i), f.bytes);
      auto const want = get(expected.data(), fieldAt(f, i), f.bytes);
      if (have != want) {
        throw Error(where + table + f.name + " " + std::to_string(have) + " in the image, " +
                    std::to_string(want) + " expected");
      }
    }
  }
  if (number(HeaderField::imageBytes) != imageBytes || size != imageBytes) {
    throw Error(where + "image of " + std::to_string(size) + " bytes (header says " +
                std::to_string(number(HeaderField::imageBytes)) + "), " +
                std::to_string(imageBytes) + " expected");
  }
  if (std::memcmp(data, expected.data(), kHeaderBytes) != 0) {
    throw Error(where + "the header's unused bytes are not zero");
  }
}

std::string AsicImage::temporaryPath(std::string const& path) {
  return IfaFiles::siblingPath(path, ".new");
}

void AsicImage::create(std::string const& path, std::string const& name) {
  close();
  name_ = name.empty() ? path : name;
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) throw Error("image " + name_ + ": exists already");
  std::string const temporary = temporaryPath(path);
  // Writers are serialised: a temporary file here is left by a run that died.
  // Messages name the image, never the temporary file, which is ours.
  if (::unlink(temporary.c_str()) != 0 && errno != ENOENT) {
    throw IoError(
        systemError("remove the temporary file an interrupted run left beside it", name_) +
        "; no image was created");
  }
  int const fd = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) throw IoError(systemError("create", name_) + "; no image was created");
  auto fail = [&](std::string const& what, int error) {
    std::string const message = systemError(what, name_, error) + "; no image was created";
    ::close(fd);
    ::unlink(temporary.c_str());
    throw IoError(message);
  };
  // Every block of the image exists before anything maps it: a row write
  // never needs storage that a full disk cannot give.
  if (int const error = ::posix_fallocate(fd, 0, static_cast<off_t>(layout_.imageBytes))) {
    fail("allocate its " + std::to_string(layout_.imageBytes) + " bytes", error);
  }
  std::vector<std::uint8_t> const header = layout_.header();
  if (!writeAll(fd, header.data(), header.size(), 0)) fail("write its header", errno);
  if (::fsync(fd) != 0) fail("sync", errno);
  if (::rename(temporary.c_str(), path.c_str()) != 0) fail("rename it into place", errno);
  // The new name is durable once its directory is synced.
  int const dir = ::open(IfaFiles::directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  bool const synced = dir >= 0 && ::fsync(dir) == 0;
  int const error = errno;
  if (dir >= 0) ::close(dir);
  if (!synced) {
    ::close(fd);
    throw IoError(systemError("sync the directory of", name_, error));
  }
  path_ = path;
  map(fd, Access::writable);
}

void AsicImage::open(std::string const& path, bool privateCopy, std::string const& name) {
  close();
  name_ = name.empty() ? path : name;
  // Non-blocking, so that a FIFO at the path is refused, not waited on.
  int const fd =
      ::open(path.c_str(), (privateCopy ? O_RDONLY : O_RDWR) | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    struct stat st;
    if (errno == EISDIR && ::stat(path.c_str(), &st) == 0) throw notRegular(name_, st.st_mode);
    throw Error(systemError("open", name_));
  }
  path_ = path;
  map(fd, privateCopy ? Access::privateCopy : Access::readUntilWritten);
}

void AsicImage::map(int fd, Access access) {
  // The descriptor is kept only while a shared mapping waits for its first
  // write (writesBegin).
  struct Closer {
    int fd;
    ~Closer() {
      if (fd >= 0) ::close(fd);
    }
  } closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0) throw IoError(systemError("read", name_));
  if (!S_ISREG(st.st_mode)) throw notRegular(name_, st.st_mode);
  auto const size = static_cast<std::uint64_t>(st.st_size);
  if (size < ImageLayout::kHeaderBytes) {
    throw Error("image " + name_ + ": not an IFA ASIC image (" + std::to_string(size) +
                " bytes, shorter than its header)");
  }
  // The header is checked before anything is mapped or allocated.
  std::vector<std::uint8_t> header(ImageLayout::kHeaderBytes);
  for (std::size_t done = 0; done < header.size();) {
    ssize_t const n =
        ::pread(fd, header.data() + done, header.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw IoError(systemError("read the header of", name_, n == 0 ? EIO : errno));
    done += static_cast<std::size_t>(n);
  }
  layout_.checkHeader(header.data(), size, name_);
  // On some file systems (tmpfs) even a read of a hole in a shared mapping
  // needs storage: a sparse image gets its blocks before anything is mapped.
  if (access == Access::readUntilWritten && static_cast<std::uint64_t>(st.st_blocks) * 512 < size) {
    allocate(fd);
  }
  bool const writable = access != Access::readUntilWritten;
  void* base = ::mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ,
                      access == Access::privateCopy ? MAP_PRIVATE : MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) throw IoError(systemError("map", name_));
  base_ = static_cast<std::uint8_t*>(base);
  shared_ = access != Access::privateCopy;
  writable_ = writable;
  if (!writable) {
    fd_ = fd;
    closer.fd = -1;
  }
}

void AsicImage::allocate(int fd) {
  std::uint64_t const size = layout_.imageBytes;
  if (int const error = ::posix_fallocate(fd, 0, static_cast<off_t>(size))) {
    throw IoError(
        systemError("allocate the blocks of its " + std::to_string(size) + " bytes", name_, error) +
        "; nothing was written");
  }
}

void AsicImage::writesBegin() {
  // A shared mapping writes rows into the file's pages: each must have its
  // block, or a write to a hole on a full disk would fault. Made sure of
  // here, at the first write, so that a run that writes nothing (a refused
  // purge of every row, a restart with nothing to change) leaves the file as
  // it found it.
  allocate(fd_);
  std::uint64_t const size = layout_.imageBytes;
  if (::mprotect(base_, size, PROT_READ | PROT_WRITE) != 0) {
    throw IoError(systemError("map for writing", name_));
  }
  ::close(fd_);
  fd_ = -1;
  writable_ = true;
}

void AsicImage::sync() {
  if (base_ == nullptr || !shared_ || !writable_) return;
  if (::msync(base_, layout_.imageBytes, MS_SYNC) != 0) {
    throw IoError(systemError("write its rows back", name_));
  }
}

void AsicImage::close() {
  if (base_ == nullptr) return;
  ::munmap(base_, layout_.imageBytes);
  base_ = nullptr;
  shared_ = false;
  writable_ = false;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::uint8_t const* AsicImage::row(std::size_t region, std::uint32_t index) const {
  RegionSpec const& r = layout_.regions[region];
  if (base_ == nullptr || index < r.minIndex || index > r.maxIndex) return nullptr;
  return base_ + layout_.offsets[region] + std::uint64_t{index - r.minIndex} * r.rowBytes;
}

std::uint8_t* AsicImage::rowToWrite(std::size_t region, std::uint32_t index) {
  std::uint8_t const* at = row(region, index);
  if (at != nullptr && !writable_) writesBegin();
  return const_cast<std::uint8_t*>(at);
}

}  // namespace SimChip
