// Pooler: size classes, random alloc/free sequences against a model of the
// live blocks, fatal contracts, large blocks, the C-heap fallback, threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <random>
#include <thread>
#include <vector>

#include "Pooler/Pooler.h"

namespace {

constexpr std::size_t kChunk = 64 * 1024;

std::size_t classIndexOf(Pooler::Stats const& s, std::size_t blockSize) {
  for (std::size_t i = 0; i < s.classes.size(); ++i) {
    if (s.classes[i].blockSize == blockSize) return i;
  }
  return s.classes.size() - 1;  // large blocks
}

std::uint8_t patternByte(std::uint64_t id, std::size_t i) {
  return static_cast<std::uint8_t>((id * 0x9E3779B97F4A7C15ull + i * 131) >> 56);
}

void fill(void* p, std::size_t size, std::uint64_t id) {
  auto* b = static_cast<std::uint8_t*>(p);
  for (std::size_t i = 0; i < size; ++i) b[i] = patternByte(id, i);
}

bool intact(void const* p, std::size_t size, std::uint64_t id) {
  auto const* b = static_cast<std::uint8_t const*>(p);
  for (std::size_t i = 0; i < size; ++i) {
    if (b[i] != patternByte(id, i)) return false;
  }
  return true;
}

// Restores the chunk-memory cap at the end of a test.
struct LimitGuard {
  ~LimitGuard() { Pooler::chunkBytesLimitIs(static_cast<std::size_t>(-1)); }
};

TEST(PoolerClasses, RoundingIsTightAndMonotone) {
  std::size_t previous = 0;
  std::size_t largest = 0;
  for (std::size_t size = 1; size <= 20000; ++size) {
    std::size_t const b = Pooler::blockSizeFor(size);
    if (b == 0) {
      largest = size - 1;
      break;
    }
    ASSERT_GE(b, size);
    ASSERT_EQ(b % 16, 0u) << size;
    ASSERT_GE(b, previous) << size;
    if (size <= 256) {
      ASSERT_LT(b - size, 16u) << "16-byte steps up to 256 bytes; size " << size;
    } else {
      ASSERT_LE(b, size + size / 5 + 16) << "classes about 12% apart; size " << size;
    }
    previous = b;
  }
  ASSERT_GE(largest, 8000u);
  EXPECT_EQ(Pooler::blockSizeFor(largest + 1), 0u);
  EXPECT_EQ(Pooler::blockSizeFor(1u << 20), 0u);
  EXPECT_EQ(Pooler::blockSizeFor(0), 16u);

  // The stats list every class in ascending order, then the large blocks.
  Pooler::Stats const s = Pooler::stats();
  ASSERT_GE(s.classes.size(), 30u);
  for (std::size_t i = 1; i + 1 < s.classes.size(); ++i) {
    EXPECT_LT(s.classes[i - 1].blockSize, s.classes[i].blockSize);
  }
  EXPECT_EQ(s.classes.back().blockSize, 0u);
}

// Random sequences of allocations and frees, checked after every step against
// a model of the live blocks: alignment, no overlap, contents kept, one chunk
// per address, per-class live counts exact; all counts back to their starting
// values at the end.
TEST(PoolerModel, RandomSequencesMatchTheModel) {
  for (std::uint32_t seed : {1u, 2u, 0xC0FFEEu}) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937_64 rng(seed);
    Pooler::Stats const base = Pooler::stats();
    struct Block {
      std::size_t size;
      std::uint64_t id;
      bool viaStdMallocApi;
    };
    std::map<char*, Block> live;
    std::vector<std::size_t> perClass(base.classes.size(), 0);
    std::uint64_t nextId = 1;
    auto randomSize = [&]() -> std::size_t {
      switch (rng() % 10) {
        case 0:
          return 1 + rng() % 16;
        case 1:
        case 2:
        case 3:
          return 1 + rng() % 256;
        case 4:
        case 5:
        case 6:
          return 1 + rng() % 2048;
        case 7:
        case 8:
          return 1 + rng() % 9000;
        default:
          return 8000 + rng() % 70000;  // mostly large blocks
      }
    };
    for (int step = 0; step < 20000; ++step) {
      bool const doAlloc = live.empty() || (rng() % 100) < (step < 10000 ? 60u : 40u);
      if (doAlloc) {
        std::size_t const size = randomSize();
        bool const viaStd = rng() % 2 == 0;
        char* p =
            static_cast<char*>(viaStd ? Pooler::slabAllocOrStdMalloc(size, Pooler::slabOrStdMalloc)
                                      : Pooler::slabAlloc(size));
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(p) % 16, 0u);
        ASSERT_TRUE(Pooler::isSlabAddress(p));
        // A class block lies wholly in its 64 KiB chunk; a large block starts
        // right after its chunk's header.
        std::size_t const offset = reinterpret_cast<std::uintptr_t>(p) % kChunk;
        if (Pooler::blockSizeFor(size) != 0) {
          ASSERT_LE(offset + size, kChunk);
        } else {
          ASSERT_LT(offset, 1024u);
        }
        auto after = live.lower_bound(p);
        if (after != live.end()) {
          ASSERT_LE(p + size, after->first) << "overlaps the next block";
        }
        if (after != live.begin()) {
          auto before = std::prev(after);
          ASSERT_LE(before->first + before->second.size, p) << "overlaps the previous block";
        }
        std::uint64_t const id = nextId++;
        fill(p, size, id);
        live.emplace(p, Block{size, id, viaStd});
        ++perClass[classIndexOf(base, Pooler::blockSizeFor(size))];
      } else {
        auto it = live.begin();
        std::advance(it, static_cast<long>(rng() % live.size()));
        ASSERT_TRUE(intact(it->first, it->second.size, it->second.id)) << "contents changed";
        --perClass[classIndexOf(base, Pooler::blockSizeFor(it->second.size))];
        if (it->second.viaStdMallocApi) {
          Pooler::slabFreeOrStdFree(it->first, {"TestBlock", it->second.size});
        } else {
          Pooler::slabFree(it->first, {"TestBlock", it->second.size});
        }
        live.erase(it);
      }
      if (step % 997 == 0) {
        Pooler::Stats const s = Pooler::stats();
        for (std::size_t c = 0; c < s.classes.size(); ++c) {
          ASSERT_EQ(s.classes[c].liveBlocks, base.classes[c].liveBlocks + perClass[c])
              << "class " << s.classes[c].blockSize;
        }
        ASSERT_EQ(s.liveBlocks, base.liveBlocks + live.size());
      }
    }
    for (auto& [p, b] : live) {
      ASSERT_TRUE(intact(p, b.size, b.id));
      Pooler::slabFreeOrStdFree(p, {"TestBlock", b.size});
    }
    Pooler::Stats const end = Pooler::stats();
    EXPECT_EQ(end.liveBlocks, base.liveBlocks);
    EXPECT_EQ(end.liveBytes, base.liveBytes);
    EXPECT_EQ(end.stdMallocBlocks, base.stdMallocBlocks);
    for (std::size_t c = 0; c < end.classes.size(); ++c) {
      EXPECT_EQ(end.classes[c].liveBlocks, base.classes[c].liveBlocks);
      // At most one spare chunk per class is kept once its blocks are back.
      EXPECT_LE(end.classes[c].chunks, base.classes[c].chunks + 1) << end.classes[c].blockSize;
    }
    EXPECT_EQ(end.classes.back().chunks, base.classes.back().chunks) << "large chunks are returned";
  }
}

TEST(PoolerLarge, OwnChunkFoundByMasking) {
  Pooler::Stats const base = Pooler::stats();
  std::size_t const size = 3 * kChunk + 123;
  char* p = static_cast<char*>(Pooler::slabAlloc(size));
  std::memset(p, 0xAB, size);
  EXPECT_TRUE(Pooler::isSlabAddress(p));
  EXPECT_LT(reinterpret_cast<std::uintptr_t>(p) % kChunk, 1024u);
  Pooler::Stats const during = Pooler::stats();
  EXPECT_EQ(during.classes.back().liveBlocks, base.classes.back().liveBlocks + 1);
  EXPECT_GE(during.chunkBytes, base.chunkBytes + size);
  EXPECT_GE(during.liveBytes, base.liveBytes + size);
  Pooler::slabFree(p, {"Big", size});
  Pooler::Stats const after = Pooler::stats();
  EXPECT_EQ(after.classes.back().liveBlocks, base.classes.back().liveBlocks);
  EXPECT_EQ(after.chunkBytes, base.chunkBytes);
  EXPECT_EQ(after.liveBytes, base.liveBytes);
}

TEST(PoolerFallback, CHeapWhenChunksAreCapped) {
  LimitGuard guard;
  Pooler::Stats const base = Pooler::stats();
  Pooler::chunkBytesLimitIs(base.chunkBytes);  // no further chunk
  std::size_t const size = 2 * kChunk;         // always a chunk of its own
  EXPECT_THROW(Pooler::slabAlloc(size), std::bad_alloc);
  EXPECT_EQ(Pooler::slabAllocOrStdMalloc(size, Pooler::slabOnly), nullptr);
  void* p = Pooler::slabAllocOrStdMalloc(size, Pooler::slabOrStdMalloc);
  ASSERT_NE(p, nullptr);
  EXPECT_FALSE(Pooler::isSlabAddress(p));
  std::memset(p, 0x5A, size);
  EXPECT_EQ(Pooler::stats().stdMallocBlocks, base.stdMallocBlocks + 1);
  Pooler::slabFreeOrStdFree(p, {"Fallback", size});
  EXPECT_EQ(Pooler::stats().stdMallocBlocks, base.stdMallocBlocks);
  EXPECT_EQ(Pooler::stats().chunkBytes, base.chunkBytes);

  Pooler::chunkBytesLimitIs(static_cast<std::size_t>(-1));
  void* q = Pooler::slabAllocOrStdMalloc(size, Pooler::slabOrStdMalloc);
  EXPECT_TRUE(Pooler::isSlabAddress(q));
  Pooler::slabFreeOrStdFree(q);
  Pooler::slabFreeOrStdFree(nullptr);
  EXPECT_EQ(Pooler::stats().stdMallocBlocks, base.stdMallocBlocks);
}

TEST(PoolerChunks, EmptyChunksGoBack) {
  Pooler::Stats const base = Pooler::stats();
  std::size_t const size = 4000;  // a class few others use
  std::size_t const cls = classIndexOf(base, Pooler::blockSizeFor(size));
  std::vector<void*> blocks;
  for (int i = 0; i < 100; ++i) blocks.push_back(Pooler::slabAlloc(size));
  EXPECT_GE(Pooler::stats().classes[cls].chunks, base.classes[cls].chunks + 5);
  for (void* p : blocks) Pooler::slabFree(p, {"Block4000", size});
  EXPECT_LE(Pooler::stats().classes[cls].chunks, base.classes[cls].chunks + 1);
}

TEST(PoolerThreads, ConcurrentAllocFree) {
  Pooler::Stats const base = Pooler::stats();
  std::atomic<bool> failed{false};
  auto worker = [&](std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::pair<char*, std::pair<std::size_t, std::uint64_t>>> mine;
    for (int step = 0; step < 20000; ++step) {
      if (mine.empty() || rng() % 100 < 55) {
        std::size_t const size = 1 + rng() % (rng() % 8 == 0 ? 20000 : 600);
        char* p = static_cast<char*>(Pooler::slabAlloc(size));
        std::uint64_t const id = (std::uint64_t{seed} << 32) | static_cast<std::uint32_t>(step);
        fill(p, size, id);
        mine.push_back({p, {size, id}});
      } else {
        std::size_t const i = rng() % mine.size();
        auto [p, meta] = mine[i];
        if (!intact(p, meta.first, meta.second)) failed = true;
        Pooler::slabFree(p, {"Threaded", meta.first});
        mine[i] = mine.back();
        mine.pop_back();
      }
    }
    for (auto& [p, meta] : mine) {
      if (!intact(p, meta.first, meta.second)) failed = true;
      Pooler::slabFree(p, {"Threaded", meta.first});
    }
  };
  std::vector<std::thread> threads;
  for (std::uint32_t t = 0; t < 4; ++t) threads.emplace_back(worker, 100 + t);
  for (auto& t : threads) t.join();
  EXPECT_FALSE(failed) << "a block's contents changed while another thread used the allocator";
  Pooler::Stats const end = Pooler::stats();
  EXPECT_EQ(end.liveBlocks, base.liveBlocks);
  EXPECT_EQ(end.liveBytes, base.liveBytes);
}

using PoolerDeathTest = testing::Test;

void freeThroughTheWrongType() {
  void* p = Pooler::slabAlloc(64);
  Pooler::slabFree(p, {"Widget", 512});
}

void freeAMallocBlock() {
  void* p = std::malloc(64);
  Pooler::slabFree(p, {"Stranger", 64});
}

void freeInsideABlock() {
  char* p = static_cast<char*>(Pooler::slabAlloc(256));
  Pooler::slabFree(p + 16, {"Inner", 0});
}

void freeTwice() {
  void* p = Pooler::slabAlloc(7000);
  Pooler::slabFree(p, {"Twice", 7000});
  Pooler::slabFree(p, {"Twice", 7000});
}

TEST_F(PoolerDeathTest, FreeingThroughTheWrongTypeStops) {
  EXPECT_DEATH(freeThroughTheWrongType(), "Pooler::slabFree: wrong type.*Widget");
}

TEST_F(PoolerDeathTest, FreeingANonSlabAddressStops) {
  EXPECT_DEATH(freeAMallocBlock(), "Pooler::slabFree: .* \\(Stranger\\) is not a slab block");
}

TEST_F(PoolerDeathTest, FreeingInsideABlockStops) {
  EXPECT_DEATH(freeInsideABlock(), "is not the start of a block");
}

TEST_F(PoolerDeathTest, DoubleFreeStops) {
  EXPECT_DEATH(freeTwice(), "Pooler::slabFree");
}

#if defined(__SANITIZE_ADDRESS__)
void useAfterFree() {
  auto* p = static_cast<volatile char*>(Pooler::slabAlloc(100));
  Pooler::slabFree(const_cast<char*>(p), {"Gone", 100});
  p[50] = 1;
}

void overflowIntoTheTail() {
  auto* p = static_cast<volatile char*>(Pooler::slabAlloc(100));  // a block of 112
  p[104] = 1;
}

TEST_F(PoolerDeathTest, AddressSanitizerSeesUseAfterFreeInsideAChunk) {
  EXPECT_DEATH(useAfterFree(), "use-after-poison");
}

TEST_F(PoolerDeathTest, AddressSanitizerSeesOverflowIntoTheBlockTail) {
  EXPECT_DEATH(overflowIntoTheTail(), "use-after-poison");
}
#endif

}  // namespace
