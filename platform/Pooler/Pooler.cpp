// Pooler: size classes served from 64 KiB chunks aligned to 64 KiB.
//
// A chunk starts with a header naming its size class; its blocks follow the
// header, so masking a block address with ~0xFFFF finds the header. Each chunk
// keeps its own intrusive free list, a bump pointer for blocks never handed out
// yet, and a count of live blocks; a size class keeps the list of its chunks
// that still have a free block. A chunk whose last block comes back leaves its
// class unless it is the class's only chunk with free room (one spare per class
// avoids churn at a chunk boundary); class chunks are carved from 1 MiB regions
// and free ones are kept for any class up to a limit.
//
// Requests above the largest class get a chunk of their own, aligned the same
// way, with the block right after the header.
//
// The chunks held are recorded in a two-level bitmap indexed by chunk number,
// read without locks, so slabFreeOrStdFree can tell a slab block from a block of
// the C heap in a few loads.
//
// Built with AddressSanitizer, free blocks and the unused tail of live blocks
// are poisoned, so use after free and overflow into a neighbour are reported
// even though the blocks share a chunk.
#include "Pooler/Pooler.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
#define POOLER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define POOLER_ASAN 1
#endif
#endif

#ifdef POOLER_ASAN
#include <sanitizer/asan_interface.h>
#define POOLER_POISON(p, n) __asan_poison_memory_region((p), (n))
#define POOLER_UNPOISON(p, n) __asan_unpoison_memory_region((p), (n))
#else
#define POOLER_POISON(p, n) ((void)(p), (void)(n))
#define POOLER_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace Pooler {
namespace {

constexpr std::size_t kChunkBytes = std::size_t{1} << 16;
constexpr std::uintptr_t kChunkMask = ~(std::uintptr_t{kChunkBytes} - 1);
constexpr std::size_t kHeaderBytes =
    128;  // chunk header; keeps blocks 64-byte aligned at the start
constexpr std::size_t kUsableBytes = kChunkBytes - kHeaderBytes;
constexpr std::size_t kAlign = 16;
constexpr std::size_t kLargeGranule = 4096;
constexpr std::uint32_t kChunkMagic = 0x504F4C52;  // "POLR"

[[noreturn]] void fatal(char const* format, ...) __attribute__((format(printf, 1, 2)));

void fatal(char const* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::abort();
}

// ---- Size classes --------------------------------------------------------
//
// 16-byte steps up to 256 bytes, then about 12% apart up to 8 KiB. Each class
// is then widened to the largest multiple of 16 that still gives the same
// number of blocks per chunk, so no chunk has a tail too small for a block
// that a slightly larger class would have used.

constexpr std::size_t kMaxClasses = 64;
constexpr std::size_t kMaxSmallRequest = 8192;

struct ClassTable {
  std::array<std::size_t, kMaxClasses> size{};
  std::size_t count = 0;
  // Class index by (request + 15) / 16, for requests up to the largest class.
  std::array<std::uint8_t, 2 * kMaxSmallRequest / kAlign + 1> byGranule{};
  std::size_t largestBlock = 0;
};

constexpr std::size_t widen(std::size_t s) {
  std::size_t const perChunk = kUsableBytes / s;
  return (kUsableBytes / perChunk) & ~(kAlign - 1);
}

constexpr ClassTable makeClassTable() {
  ClassTable t{};
  std::size_t s = kAlign;
  while (s <= kMaxSmallRequest) {
    std::size_t const w = widen(s);
    if (t.count == 0 || t.size[t.count - 1] != w) t.size[t.count++] = w;
    std::size_t next = s <= 256 ? s + kAlign : s + s / 8;
    next = (next + kAlign - 1) & ~(kAlign - 1);
    s = std::max(next, w + kAlign);
  }
  t.largestBlock = t.size[t.count - 1];
  std::size_t c = 0;
  for (std::size_t g = 0; g < t.byGranule.size(); ++g) {
    std::size_t const bytes = std::max<std::size_t>(g * kAlign, 1);
    while (c < t.count && t.size[c] < bytes) ++c;
    t.byGranule[g] = static_cast<std::uint8_t>(c);  // == count: beyond the largest class
  }
  return t;
}

constexpr ClassTable kClasses = makeClassTable();
constexpr std::size_t kNumClasses = kClasses.count;
constexpr std::size_t kLargeClass = kNumClasses;  // index of the class of large blocks
static_assert(kNumClasses < 255);
static_assert(kClasses.largestBlock / kAlign < kClasses.byGranule.size());

// Class of a request, or kLargeClass.
inline std::size_t classOf(std::size_t size) {
  if (size > kClasses.largestBlock) return kLargeClass;
  return kClasses.byGranule[(size + kAlign - 1) / kAlign];
}

// ---- Chunks and classes --------------------------------------------------

struct Chunk {
  std::uint32_t magic;
  std::uint32_t classIndex;
  std::size_t blockSize;   // bytes per block (large chunks: the usable bytes)
  std::size_t chunkBytes;  // bytes of the whole chunk
  void* freeList;          // blocks returned to this chunk
  char* bump;              // next block never handed out
  char* end;               // end of the block area
  std::uint32_t live;      // blocks handed out
  std::uint32_t capacity;  // blocks in the chunk
  Chunk* prev;             // in the class's list of chunks with a free block
  Chunk* next;
  struct Region* region;  // the region a class chunk was carved from; null for large chunks
};
static_assert(sizeof(Chunk) <= kHeaderBytes);

inline Chunk* chunkOf(void const* p) {
  return reinterpret_cast<Chunk*>(reinterpret_cast<std::uintptr_t>(p) & kChunkMask);
}

// A short test-and-set lock: the critical sections are a handful of pointer
// updates, and contention means another thread is in one of them.
class SpinLock {
 public:
  void lock() noexcept {
    while (flag_.exchange(true, std::memory_order_acquire)) {
      int spins = 0;
      while (flag_.load(std::memory_order_relaxed)) {
        if (++spins > 64) {
          std::this_thread::yield();
          spins = 0;
        }
      }
    }
  }
  void unlock() noexcept { flag_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> flag_{false};
};

struct Guard {
  explicit Guard(SpinLock& l) : lock(l) { lock.lock(); }
  ~Guard() { lock.unlock(); }
  Guard(Guard const&) = delete;
  Guard& operator=(Guard const&) = delete;
  SpinLock& lock;
};

struct alignas(64) SizeClass {
  SpinLock lock;
  Chunk* avail = nullptr;  // chunks with at least one free block
  std::size_t liveBlocks = 0;
  std::size_t liveBytes = 0;
  std::size_t chunks = 0;
  std::size_t chunkBytes = 0;
};

// Constant-initialised: usable from other libraries' static initialisers.
constinit std::array<SizeClass, kMaxClasses + 1> gClasses{};
constinit std::atomic<std::size_t> gChunkBytes{0};
constinit std::atomic<std::size_t> gChunkBytesLimit{std::numeric_limits<std::size_t>::max()};
constinit std::atomic<std::size_t> gStdMallocBlocks{0};

// ---- Registry of chunk bases ---------------------------------------------
//
// Chunk number = address >> 16. The top level, indexed by address >> 32, holds
// leaves of 65536 bits, one per chunk number. Leaves are never freed.

constexpr unsigned kAddressBits = 48;
constexpr std::size_t kTopEntries = std::size_t{1} << (kAddressBits - 32);
constexpr std::size_t kLeafWords = (std::size_t{1} << 16) / 64;

using Leaf = std::atomic<std::uint64_t>;
constinit std::array<std::atomic<Leaf*>, kTopEntries> gRegistry{};

void registryMark(void const* base, bool present) {
  auto const a = reinterpret_cast<std::uintptr_t>(base);
  if ((a >> kAddressBits) != 0) fatal("Pooler: chunk address %p lies beyond 48 bits", base);
  std::atomic<Leaf*>& slot = gRegistry[a >> 32];
  Leaf* leaf = slot.load(std::memory_order_acquire);
  if (leaf == nullptr) {
    Leaf* fresh = new Leaf[kLeafWords]();
    if (slot.compare_exchange_strong(leaf, fresh, std::memory_order_acq_rel)) {
      leaf = fresh;
    } else {
      delete[] fresh;
    }
  }
  std::size_t const bit = (a >> 16) & 0xFFFF;
  std::uint64_t const mask = std::uint64_t{1} << (bit % 64);
  if (present) {
    leaf[bit / 64].fetch_or(mask, std::memory_order_release);
  } else {
    leaf[bit / 64].fetch_and(~mask, std::memory_order_release);
  }
}

bool registryHas(void const* p) {
  auto const a = reinterpret_cast<std::uintptr_t>(p) & kChunkMask;
  if ((a >> kAddressBits) != 0) return false;
  Leaf const* leaf = gRegistry[a >> 32].load(std::memory_order_acquire);
  if (leaf == nullptr) return false;
  std::size_t const bit = (a >> 16) & 0xFFFF;
  return (leaf[bit / 64].load(std::memory_order_acquire) >> (bit % 64)) & 1;
}

// ---- Chunk memory ----------------------------------------------------------
//
// Class chunks are carved from regions of 16 chunks, obtained from the C++
// runtime in one piece: asking for 64 KiB aligned to 64 KiB one at a time would
// cost a mapping and an unmapping per chunk. Free chunks stay with their region;
// a region whose chunks are all free goes back once enough other free chunks
// are kept for reuse. Large chunks are obtained one by one.

constexpr std::size_t kChunksPerRegion = 16;
constexpr std::size_t kRegionBytes = kChunksPerRegion * kChunkBytes;
constexpr std::uint32_t kAllChunksFree = (1u << kChunksPerRegion) - 1;
constexpr std::size_t kKeptFreeChunks = 2 * kChunksPerRegion;

struct Region {
  char* base;
  std::uint32_t freeMask;  // bit i: chunk i is free
  Region* prev;            // in the list of regions with a free chunk
  Region* next;
};

constinit SpinLock gRegionLock;
constinit Region* gRegionsWithFree = nullptr;
constinit std::size_t gFreeChunks = 0;

// Reserves `bytes` against the cap and obtains them, aligned to 64 KiB.
void* memoryAlloc(std::size_t bytes) {
  std::size_t const before = gChunkBytes.fetch_add(bytes, std::memory_order_relaxed);
  if (before + bytes > gChunkBytesLimit.load(std::memory_order_relaxed) ||
      before + bytes < before) {
    gChunkBytes.fetch_sub(bytes, std::memory_order_relaxed);
    return nullptr;
  }
  void* p = ::operator new (bytes, std::align_val_t{kChunkBytes}, std::nothrow);
  if (p == nullptr) gChunkBytes.fetch_sub(bytes, std::memory_order_relaxed);
  return p;
}

void memoryFree(void* p, std::size_t bytes) {
  POOLER_UNPOISON(p, bytes);
  ::operator delete (p, std::align_val_t{kChunkBytes});
  gChunkBytes.fetch_sub(bytes, std::memory_order_relaxed);
}

void regionPush(Region* r) {
  r->prev = nullptr;
  r->next = gRegionsWithFree;
  if (gRegionsWithFree != nullptr) gRegionsWithFree->prev = r;
  gRegionsWithFree = r;
}

void regionUnlink(Region* r) {
  if (r->prev != nullptr) {
    r->prev->next = r->next;
  } else {
    gRegionsWithFree = r->next;
  }
  if (r->next != nullptr) r->next->prev = r->prev;
}

// A free class chunk and its region; null when none can be had.
void* regionChunkAcquire(Region** regionOut) {
  Guard g(gRegionLock);
  if (gRegionsWithFree == nullptr) {
    gRegionLock.unlock();
    void* memory = memoryAlloc(kRegionBytes);
    auto* fresh = memory != nullptr ? new (std::nothrow) Region{} : nullptr;
    if (memory != nullptr && fresh == nullptr) memoryFree(memory, kRegionBytes);
    gRegionLock.lock();
    if (fresh == nullptr) return nullptr;
    *fresh = Region{static_cast<char*>(memory), kAllChunksFree, nullptr, nullptr};
    POOLER_POISON(memory, kRegionBytes);
    regionPush(fresh);
    gFreeChunks += kChunksPerRegion;
  }
  Region* r = gRegionsWithFree;
  unsigned const i = static_cast<unsigned>(__builtin_ctz(r->freeMask));
  r->freeMask &= ~(1u << i);
  if (r->freeMask == 0) regionUnlink(r);
  --gFreeChunks;
  *regionOut = r;
  return r->base + i * kChunkBytes;
}

void regionChunkRelease(Region* r, void* chunk) {
  Region* emptied = nullptr;
  {
    Guard g(gRegionLock);
    unsigned const i = static_cast<unsigned>((static_cast<char*>(chunk) - r->base) / kChunkBytes);
    if (r->freeMask == 0) regionPush(r);
    r->freeMask |= 1u << i;
    ++gFreeChunks;
    if (r->freeMask == kAllChunksFree && gFreeChunks >= kKeptFreeChunks + kChunksPerRegion) {
      regionUnlink(r);
      gFreeChunks -= kChunksPerRegion;
      emptied = r;
    }
  }
  if (emptied != nullptr) {
    memoryFree(emptied->base, kRegionBytes);
    delete emptied;
  }
}

void chunkMemoryFree(Chunk* chunk) {
  registryMark(chunk, false);
  chunk->magic = 0;
  if (chunk->region != nullptr) {
    Region* r = chunk->region;
    POOLER_POISON(chunk, kChunkBytes);
    regionChunkRelease(r, chunk);
  } else {
    memoryFree(chunk, chunk->chunkBytes);
  }
}

Chunk* chunkNew(std::size_t classIndex) {
  Region* region = nullptr;
  void* memory = regionChunkAcquire(&region);
  if (memory == nullptr) return nullptr;
  POOLER_UNPOISON(memory, kHeaderBytes);
  auto* chunk = static_cast<Chunk*>(memory);
  std::size_t const blockSize = kClasses.size[classIndex];
  char* first = static_cast<char*>(memory) + kHeaderBytes;
  *chunk = Chunk{kChunkMagic,
                 static_cast<std::uint32_t>(classIndex),
                 blockSize,
                 kChunkBytes,
                 nullptr,
                 first,
                 first + (kUsableBytes / blockSize) * blockSize,
                 0,
                 static_cast<std::uint32_t>(kUsableBytes / blockSize),
                 nullptr,
                 nullptr,
                 region};
  registryMark(chunk, true);
  return chunk;
}

void availPushFront(SizeClass& c, Chunk* chunk) {
  chunk->prev = nullptr;
  chunk->next = c.avail;
  if (c.avail != nullptr) c.avail->prev = chunk;
  c.avail = chunk;
}

void availUnlink(SizeClass& c, Chunk* chunk) {
  if (chunk->prev != nullptr) {
    chunk->prev->next = chunk->next;
  } else {
    c.avail = chunk->next;
  }
  if (chunk->next != nullptr) chunk->next->prev = chunk->prev;
  chunk->prev = chunk->next = nullptr;
}

// Takes a block from a chunk of class `classIndex`; null when no chunk can be had.
void* smallAlloc(std::size_t classIndex, std::size_t size) {
  SizeClass& c = gClasses[classIndex];
  std::size_t const blockSize = kClasses.size[classIndex];
  void* block;
  {
    Guard g(c.lock);
    Chunk* chunk = c.avail;
    if (chunk == nullptr) {
      c.lock.unlock();
      Chunk* fresh = chunkNew(classIndex);
      c.lock.lock();
      if (fresh == nullptr) return nullptr;
      ++c.chunks;
      c.chunkBytes += kChunkBytes;
      availPushFront(c, fresh);
      chunk = c.avail;
    }
    if (chunk->freeList != nullptr) {
      block = chunk->freeList;
      POOLER_UNPOISON(block, sizeof(void*));
      chunk->freeList = *static_cast<void**>(block);
    } else {
      block = chunk->bump;
      chunk->bump += blockSize;
    }
    if (++chunk->live == chunk->capacity) availUnlink(c, chunk);
    ++c.liveBlocks;
    c.liveBytes += blockSize;
  }
  POOLER_POISON(block, blockSize);
  POOLER_UNPOISON(block, size);
  return block;
}

void smallFree(Chunk* chunk, void* block) {
  SizeClass& c = gClasses[chunk->classIndex];
  std::size_t const blockSize = chunk->blockSize;
  Chunk* release = nullptr;
  {
    Guard g(c.lock);
#ifdef POOLER_ASAN
    if (__asan_address_is_poisoned(block)) {
      fatal("Pooler::slabFree: block %p of %zu bytes is already free", block, blockSize);
    }
#endif
    if (chunk->live == 0 || static_cast<char*>(block) >= chunk->bump) {
      fatal("Pooler::slabFree: block %p of %zu bytes is not in use", block, blockSize);
    }
    POOLER_UNPOISON(block, sizeof(void*));
    *static_cast<void**>(block) = chunk->freeList;
    chunk->freeList = block;
    POOLER_POISON(block, blockSize);
    if (chunk->live-- == chunk->capacity) availPushFront(c, chunk);
    --c.liveBlocks;
    c.liveBytes -= blockSize;
    if (chunk->live == 0 && (c.avail != chunk || chunk->next != nullptr)) {
      availUnlink(c, chunk);
      --c.chunks;
      c.chunkBytes -= kChunkBytes;
      release = chunk;
    }
  }
  if (release != nullptr) chunkMemoryFree(release);
}

void* largeAlloc(std::size_t size) {
  if (size > std::numeric_limits<std::size_t>::max() / 2) return nullptr;
  std::size_t const bytes = (kHeaderBytes + size + kLargeGranule - 1) & ~(kLargeGranule - 1);
  void* memory = memoryAlloc(bytes);
  if (memory == nullptr) return nullptr;
  auto* chunk = static_cast<Chunk*>(memory);
  char* block = static_cast<char*>(memory) + kHeaderBytes;
  *chunk = Chunk{kChunkMagic,
                 static_cast<std::uint32_t>(kLargeClass),
                 bytes - kHeaderBytes,
                 bytes,
                 nullptr,
                 block + (bytes - kHeaderBytes),
                 block + (bytes - kHeaderBytes),
                 1,
                 1,
                 nullptr,
                 nullptr,
                 nullptr};
  POOLER_POISON(block, bytes - kHeaderBytes);
  POOLER_UNPOISON(block, size);
  registryMark(chunk, true);
  SizeClass& c = gClasses[kLargeClass];
  Guard g(c.lock);
  ++c.liveBlocks;
  c.liveBytes += chunk->blockSize;
  ++c.chunks;
  c.chunkBytes += bytes;
  return block;
}

void largeFree(Chunk* chunk) {
  SizeClass& c = gClasses[kLargeClass];
  {
    Guard g(c.lock);
    --c.liveBlocks;
    c.liveBytes -= chunk->blockSize;
    --c.chunks;
    c.chunkBytes -= chunk->chunkBytes;
  }
  chunkMemoryFree(chunk);
}

void* slabAllocNothrow(std::size_t size) {
  if (size == 0) size = 1;
  std::size_t const classIndex = classOf(size);
  return classIndex == kLargeClass ? largeAlloc(size) : smallAlloc(classIndex, size);
}

// Checks that `address` is a block handed out by a chunk and that `type` fits
// its class; returns the chunk.
Chunk* checkedChunk(void* address, Type type) {
  Chunk* chunk = chunkOf(address);
  if (!registryHas(address) || chunk->magic != kChunkMagic) {
    fatal("Pooler::slabFree: %p (%.*s) is not a slab block", address,
          static_cast<int>(type.name.size()), type.name.data());
  }
  char* first = reinterpret_cast<char*>(chunk) + kHeaderBytes;
  char* p = static_cast<char*>(address);
  if (p < first || static_cast<std::size_t>(p - first) % chunk->blockSize != 0) {
    fatal("Pooler::slabFree: %p (%.*s) is not the start of a block", address,
          static_cast<int>(type.name.size()), type.name.data());
  }
  if (type.size != 0) {
    bool const fits = chunk->classIndex == kLargeClass
                          ? classOf(type.size) == kLargeClass && type.size <= chunk->blockSize
                          : classOf(type.size) == chunk->classIndex;
    if (!fits) {
      fatal(
          "Pooler::slabFree: wrong type: freeing a block of %zu bytes as %.*s, whose size %zu "
          "belongs to another size class",
          chunk->blockSize, static_cast<int>(type.name.size()), type.name.data(), type.size);
    }
  }
  return chunk;
}

}  // namespace

void* slabAlloc(std::size_t size) {
  void* p = slabAllocNothrow(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void slabFree(void* address, Type type) {
  if (address == nullptr) return;
  Chunk* chunk = checkedChunk(address, type);
  if (chunk->classIndex == kLargeClass) {
    largeFree(chunk);
  } else {
    smallFree(chunk, address);
  }
}

void* slabAllocOrStdMalloc(std::size_t size, AllocPattern pattern) {
  if (void* p = slabAllocNothrow(size)) return p;
  if (pattern != slabOrStdMalloc) return nullptr;
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p != nullptr) gStdMallocBlocks.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void slabFreeOrStdFree(void* address, Type type) {
  if (address == nullptr) return;
  if (registryHas(address)) {
    slabFree(address, type);
  } else {
    gStdMallocBlocks.fetch_sub(1, std::memory_order_relaxed);
    std::free(address);
  }
}

Stats stats() {
  Stats s;
  s.classes.reserve(kNumClasses + 1);
  for (std::size_t i = 0; i <= kNumClasses; ++i) {
    SizeClass& c = gClasses[i];
    Guard g(c.lock);
    s.classes.push_back(
        ClassStats{i == kLargeClass ? 0 : kClasses.size[i], c.liveBlocks, c.chunks});
    s.liveBlocks += c.liveBlocks;
    s.liveBytes += c.liveBytes;
    s.chunkBytes += c.chunkBytes;
  }
  s.stdMallocBlocks = gStdMallocBlocks.load(std::memory_order_relaxed);
  return s;
}

std::size_t blockSizeFor(std::size_t size) {
  std::size_t const classIndex = classOf(size == 0 ? 1 : size);
  return classIndex == kLargeClass ? 0 : kClasses.size[classIndex];
}

std::size_t usableSizeFor(std::size_t size) {
  if (std::size_t const block = blockSizeFor(size)) return block;
  return ((kHeaderBytes + size + kLargeGranule - 1) & ~(kLargeGranule - 1)) - kHeaderBytes;
}

bool isSlabAddress(void const* address) {
  return address != nullptr && registryHas(address);
}

std::size_t chunkBytesLimitIs(std::size_t limit) {
  return gChunkBytesLimit.exchange(limit, std::memory_order_relaxed);
}

}  // namespace Pooler
