// The simulated chip's hardware: an ASIC memory image in a file, mapped into
// memory, so that its rows outlive the agent process.
//
// Layout (all numbers little-endian):
//
//   offset  size  header
//        0     8  magic "IFAASIC\0"
//        8     4  format version (1)
//       12     4  header size (4096)
//       16    32  chip profile name, NUL-padded
//       48     4  number of regions
//       52     4  zero
//       56     8  image size in bytes
//       64  64*n  one descriptor per region, in catalogue order:
//                   48  qualified table name, NUL-padded
//                    4  minIndex
//                    4  maxIndex
//                    2  row size in bits (valid bit and fields)
//                    2  row size in bytes
//                    4  offset of the region in the image
//
// The rest of the 4096-byte header is zero. Each region starts on a 64-byte
// boundary and holds maxIndex - minIndex + 1 rows; the row of index i is at
// region offset + (i - minIndex) * row bytes.
//
// A new image is written beside its final name, under a short temporary name
// of its own (temporaryPath), with every block allocated and synced before it
// is renamed into place: an image either exists complete, with storage behind
// every page, or not at all. A shared (writable) mapping of an existing image
// has storage behind every page before it is written too, so that a sparse
// image on a full disk is refused with an error instead of failing a row
// write: a sparse image gets its blocks when it is opened, and the mapping
// stays read-only until its first row write, which makes sure of them, so
// that a run that writes no row leaves a whole image untouched. Only regular files
// are opened; a FIFO or a device at the path is refused without waiting.
// Writers of one image must be serialised by the caller (the agent's image
// lock): a temporary file found by a writer is left by a run that died, and
// is removed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace SimChip {

// One region as the chip's declarations and profile give it.
struct RegionSpec {
  std::string table;
  std::uint32_t minIndex = 0;
  std::uint32_t maxIndex = 0;
  std::uint16_t rowBits = 0;
  std::uint16_t rowBytes = 0;

  std::uint32_t rows() const { return maxIndex - minIndex + 1; }
};

// One field of the header, or of each region's descriptor (perRegion, `at`
// counted from the descriptor's start). `name` is how a refusal of the field
// names it. Text fields are NUL-padded; the others little-endian numbers.
struct HeaderField {
  enum Id : std::uint8_t {
    magic,
    version,
    headerBytes,
    profile,
    regionCount,
    reserved,
    imageBytes,
    table,
    minIndex,
    maxIndex,
    rowBits,
    rowBytes,
    regionOffset,
  };
  Id id;
  std::size_t at;
  std::size_t bytes;
  char const* name;
  bool perRegion;
  bool text;
};

// Every field of the header, in the order of Id; the header's writer and its
// checker both work from this table.
inline constexpr HeaderField kHeaderFields[] = {
    {HeaderField::magic, 0, 8, "magic", false, true},
    {HeaderField::version, 8, 4, "format version", false, false},
    {HeaderField::headerBytes, 12, 4, "header of", false, false},
    {HeaderField::profile, 16, 32, "chip profile", false, true},
    {HeaderField::regionCount, 48, 4, "tables", false, false},
    {HeaderField::reserved, 52, 4, "unused", false, false},
    {HeaderField::imageBytes, 56, 8, "image of", false, false},
    {HeaderField::table, 0, 48, "the image has", true, true},
    {HeaderField::minIndex, 48, 4, "minIndex", true, false},
    {HeaderField::maxIndex, 52, 4, "maxIndex", true, false},
    {HeaderField::rowBits, 56, 2, "row bits", true, false},
    {HeaderField::rowBytes, 58, 2, "row bytes", true, false},
    {HeaderField::regionOffset, 60, 4, "region offset", true, false},
};

// Where everything of an image of a profile lies.
struct ImageLayout {
  static constexpr char kMagic[8] = {'I', 'F', 'A', 'A', 'S', 'I', 'C', '\0'};
  static constexpr std::uint32_t kVersion = 1;
  static constexpr std::uint32_t kHeaderBytes = 4096;
  static constexpr std::size_t kDescriptorBytes = 64;
  static constexpr std::size_t kDescriptorsAt = 64;
  static constexpr std::size_t kRegionAlign = 64;

  ImageLayout(std::string profile, std::vector<RegionSpec> regions);

  std::string profile;
  std::vector<RegionSpec> regions;
  std::vector<std::uint64_t> offsets;  // of each region
  std::uint64_t imageBytes = 0;

  // The header bytes of an image of this layout.
  std::vector<std::uint8_t> header() const;
  // Where `field` of region `region` (ignored for a field of the header
  // itself) lies in the header.
  static std::size_t fieldAt(HeaderField const& field, std::size_t region = 0) {
    return field.perRegion ? kDescriptorsAt + region * kDescriptorBytes + field.at : field.at;
  }
  // Raises Asic::ChipDevice::Error, naming `path` and the first difference,
  // unless `data` (the first kHeaderBytes bytes of an image of `size` bytes)
  // is this layout's header.
  void checkHeader(std::uint8_t const* data, std::uint64_t size, std::string const& path) const;
};

// An image file mapped into memory.
class AsicImage {
 public:
  explicit AsicImage(ImageLayout layout) : layout_(std::move(layout)) {}
  ~AsicImage() { close(); }
  AsicImage(AsicImage const&) = delete;
  AsicImage& operator=(AsicImage const&) = delete;

  ImageLayout const& layout() const { return layout_; }

  // Creates an image with no valid row at `path` and maps it; refused when
  // something exists at `path`. Raises Asic::ChipDevice::IoError, leaving
  // nothing behind, when the image's blocks cannot be allocated or written.
  // Every message names the image as `name` (default: `path`), never the
  // temporary file the image is made in.
  void create(std::string const& path, std::string const& name = {});
  // Maps the image at `path` after checking its header. Private: writes stay
  // in this process (copy on write) and never reach the file. Messages name
  // the image as `name` (default: `path`).
  void open(std::string const& path, bool privateCopy, std::string const& name = {});
  // Writes the pages of a shared mapping back to the file and waits for them;
  // raises Asic::ChipDevice::IoError when that fails.
  void sync();
  void close();

  // The temporary file a new image at `path` is written to: in the same
  // directory, named ".NAME.new" after the image's name (shortened with a
  // hash when that would pass the file-name limit).
  static std::string temporaryPath(std::string const& path);
  bool isOpen() const { return base_ != nullptr; }
  std::string const& path() const { return path_; }

  // The row of `index` in region `region`, or null for an index outside it.
  std::uint8_t const* row(std::size_t region, std::uint32_t index) const;
  // The same row, to be written. The first one of a shared mapping of an
  // existing image allocates the image's blocks and makes the mapping
  // writable; raises Asic::ChipDevice::IoError, having written nothing, when
  // the blocks cannot be had.
  std::uint8_t* rowToWrite(std::size_t region, std::uint32_t index);

 private:
  // How a mapping may be written: a private copy, a shared mapping made
  // writable by its first row write, or a new image, writable at once.
  enum class Access { privateCopy, readUntilWritten, writable };
  void map(int fd, Access access);
  void writesBegin();
  void allocate(int fd);

  ImageLayout layout_;
  std::string path_;
  std::string name_;  // in messages
  std::uint8_t* base_ = nullptr;
  bool shared_ = false;
  bool writable_ = false;
  int fd_ = -1;  // while a shared mapping waits for its first write
};

}  // namespace SimChip
