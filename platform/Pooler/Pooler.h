// Pooler: the platform's slab allocator.
//
// Small blocks come from size classes, each served from 64 KiB chunks with an
// intrusive free list; larger blocks get chunks of their own. Every block the
// allocator hands out lies in the first 64 KiB of a chunk aligned to 64 KiB, so
// the chunk (and with it the size class) is found from the address alone.
//
// All functions are thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace Pooler {

// The type of an object being freed: its name (for error reports) and its size.
// A size of 0 means "not checked" (arrays, whose length the caller knows).
struct Type {
  std::string_view name;
  std::size_t size = 0;
};

template <class T>
constexpr Type typeOf(std::string_view name) {
  return Type{name, sizeof(T)};
}

// How slabAllocOrStdMalloc may satisfy a request.
enum AllocPattern : std::uint32_t {
  slabOnly = 0,        // only from slabs; null when that fails
  slabOrStdMalloc = 1  // from slabs, else from the C heap; null when both fail
};

// Allocates at least `size` bytes, aligned to 16. Throws std::bad_alloc on failure.
void* slabAlloc(std::size_t size);

// Returns a block from slabAlloc. `type.size`, when not 0, must fit the block's
// size class; a mismatch (freeing through the wrong type) stops the process.
void slabFree(void* address, Type type);

// Like slabAlloc but never throws: returns null on failure.
void* slabAllocOrStdMalloc(std::size_t size, AllocPattern pattern);

// Returns a block from slabAllocOrStdMalloc, whichever way it was obtained.
// A null address is ignored.
void slabFreeOrStdFree(void* address, Type type = {});

struct ClassStats {
  std::size_t blockSize;   // bytes per block in this class (0 for the class of large blocks)
  std::size_t liveBlocks;  // blocks handed out and not yet freed
  std::size_t chunks;      // 64 KiB chunks (or large chunks) held by the class
};

struct Stats {
  std::vector<ClassStats> classes;  // one per size class, the last for large blocks
  std::size_t liveBlocks = 0;       // all classes, slab blocks only
  std::size_t liveBytes = 0;        // block bytes of the live blocks (size-class rounded)
  std::size_t chunkBytes = 0;       // bytes of memory held in chunks
  std::size_t stdMallocBlocks = 0;  // live blocks that slabAllocOrStdMalloc took from the C heap
};

Stats stats();

// The size class a request of `size` bytes is rounded to (the block size), or 0
// when it is served as a large block.
std::size_t blockSizeFor(std::size_t size);

// The bytes a request of `size` bytes actually gets: its size class's block,
// or for a large block what its own chunk holds past the chunk header.
std::size_t usableSizeFor(std::size_t size);

// True when `address` lies in a chunk that the allocator currently holds (a
// block from slabAlloc, or a slab block from slabAllocOrStdMalloc).
bool isSlabAddress(void const* address);

// Caps the memory the allocator obtains for chunks, free chunks kept for reuse
// included (default: no cap). Once new chunk memory would pass the cap, slabAlloc throws
// std::bad_alloc and slabAllocOrStdMalloc falls back to the C heap (slabOrStdMalloc) or returns
// null (slabOnly). Chunks already held are kept. Returns the previous cap.
std::size_t chunkBytesLimitIs(std::size_t limit);

}  // namespace Pooler
