// Pooler: size classes, random alloc/free sequences against a model of the
// live blocks (alone and on several threads at once), the C-heap fallback,
// and the fatal contracts.
#include <gtest/gtest.h>

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

std::size_t classIndexOf(Pooler::Stats const& s, std::size_t size) {
  std::size_t i = 0;
  while (i + 1 < s.classes.size() && s.classes[i].blockSize != Pooler::blockSizeFor(size)) ++i;
  return i;  // the last class is the large blocks'
}

// Every size goes to the smallest class that holds it, each class being its
// own rounding: 16-byte steps up to 256 bytes, then about 12% apart.
TEST(PoolerClasses, EachSizeGoesToTheSmallestClassThatHoldsIt) {
  Pooler::Stats const s = Pooler::stats();
  ASSERT_GE(s.classes.size(), 30u);
  EXPECT_EQ(s.classes.back().blockSize, 0u);
  std::size_t below = 0;
  for (std::size_t c = 0; c + 1 < s.classes.size(); below = s.classes[c++].blockSize) {
    std::size_t const block = s.classes[c].blockSize;
    ASSERT_TRUE(block > below && block % 16 == 0) << block;
    ASSERT_LE(block, below < 256 ? below + 16 : below + below / 5 + 16) << block;
    for (std::size_t size : {below + 1, (below + block) / 2, block}) {
      ASSERT_EQ(Pooler::blockSizeFor(size), block) << "size " << size;
    }
  }
  EXPECT_GE(below, 8000u);
  EXPECT_EQ(Pooler::blockSizeFor(below + 1), 0u);
  EXPECT_EQ(Pooler::blockSizeFor(0), 16u);
}

std::uint8_t patternByte(std::uint64_t id, std::size_t i) {
  return static_cast<std::uint8_t>((id * 0x9E3779B97F4A7C15ull + i * 131) >> 56);
}

// Random allocations and frees through both interfaces against a model of
// the live blocks: alignment, place in the chunk, no overlap, contents kept.
// When `alone`, also the per-class live counts and bytes, all back at the
// end with at most one spare chunk kept per class.
void randomSequence(std::uint32_t seed, bool alone) {
  std::mt19937_64 rng(seed);
  Pooler::Stats const base = Pooler::stats();
  struct Block {
    std::size_t size;
    std::uint64_t id;
    bool viaStd;
  };
  std::map<char*, Block> live;
  std::vector<std::size_t> perClass(base.classes.size(), 0);
  std::size_t liveSizes = 0;
  for (std::uint64_t step = 0; step < 20000 || !live.empty(); ++step) {
    if (step < 20000 && (live.empty() || rng() % 100 < (step < 10000 ? 60u : 40u))) {
      static constexpr std::size_t kLimits[] = {16, 256, 256, 2048, 2048, 9000, 9000};
      std::size_t const r = rng() % 8;
      std::size_t const size = r < 7 ? 1 + rng() % kLimits[r] : 8000 + rng() % 70000;
      bool const viaStd = rng() % 2 == 0;
      char* p =
          static_cast<char*>(viaStd ? Pooler::slabAllocOrStdMalloc(size, Pooler::slabOrStdMalloc)
                                    : Pooler::slabAlloc(size));
      ASSERT_TRUE(reinterpret_cast<std::uintptr_t>(p) % 16 == 0 && Pooler::isSlabAddress(p));
      // A class block lies wholly in its 64 KiB chunk; a large block starts
      // right after its chunk's header.
      std::size_t const offset = reinterpret_cast<std::uintptr_t>(p) % kChunk;
      ASSERT_TRUE(Pooler::blockSizeFor(size) != 0 ? offset + size <= kChunk : offset < 1024);
      auto after = live.lower_bound(p);
      ASSERT_TRUE(after == live.end() || p + size <= after->first) << "overlaps the next block";
      ASSERT_TRUE(after == live.begin() ||
                  std::prev(after)->first + std::prev(after)->second.size <= p)
          << "overlaps the previous block";
      for (std::size_t i = 0; i < size; ++i) p[i] = static_cast<char>(patternByte(step, i));
      live.emplace(p, Block{size, step, viaStd});
      ++perClass[classIndexOf(base, size)];
      liveSizes += size;
    } else {
      auto it = std::next(live.begin(), static_cast<long>(rng() % live.size()));
      auto const [p, b] = *it;
      for (std::size_t i = 0; i < b.size; ++i) {
        ASSERT_EQ(static_cast<std::uint8_t>(p[i]), patternByte(b.id, i)) << "contents changed";
      }
      --perClass[classIndexOf(base, b.size)];
      liveSizes -= b.size;
      if (b.viaStd) {
        Pooler::slabFreeOrStdFree(p, {"TestBlock", b.size});
      } else {
        Pooler::slabFree(p, {"TestBlock", b.size});
      }
      live.erase(it);
    }
    if (alone && step % 997 == 0) {
      Pooler::Stats const s = Pooler::stats();
      for (std::size_t c = 0; c < s.classes.size(); ++c) {
        ASSERT_EQ(s.classes[c].liveBlocks, base.classes[c].liveBlocks + perClass[c]) << c;
      }
      ASSERT_EQ(s.liveBlocks, base.liveBlocks + live.size());
      ASSERT_GE(s.liveBytes, base.liveBytes + liveSizes);
      ASSERT_GE(s.chunkBytes, s.liveBytes);
    }
  }
  if (!alone) return;
  Pooler::Stats const end = Pooler::stats();
  EXPECT_EQ(end.liveBytes, base.liveBytes);
  EXPECT_EQ(end.stdMallocBlocks, base.stdMallocBlocks);
  for (std::size_t c = 0; c < end.classes.size(); ++c) {
    EXPECT_EQ(end.classes[c].liveBlocks, base.classes[c].liveBlocks);
    EXPECT_LE(end.classes[c].chunks, base.classes[c].chunks + (c + 1 < end.classes.size()))
        << "at most one spare chunk per class, and no large one";
  }
}

TEST(PoolerModel, RandomSequencesMatchTheModel) {
  for (std::uint32_t seed : {1u, 2u, 0xC0FFEEu}) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    randomSequence(seed, true);
  }
}

TEST(PoolerModel, ThreadsAllocatingAtOnceKeepTheirBlocks) {
  Pooler::Stats const base = Pooler::stats();
  std::vector<std::thread> threads;
  for (std::uint32_t t = 0; t < 4; ++t) threads.emplace_back(randomSequence, 100 + t, false);
  for (auto& t : threads) t.join();
  EXPECT_EQ(Pooler::stats().liveBlocks, base.liveBlocks);
  EXPECT_EQ(Pooler::stats().liveBytes, base.liveBytes);
}

// Chunks emptied in the order their blocks were handed out go back, but one.
TEST(PoolerChunks, EmptyChunksGoBack) {
  Pooler::Stats const base = Pooler::stats();
  std::size_t const size = 4000;  // a class few others use
  std::size_t const cls = classIndexOf(base, size);
  std::vector<void*> blocks;
  for (int i = 0; i < 100; ++i) blocks.push_back(Pooler::slabAlloc(size));
  EXPECT_GE(Pooler::stats().classes[cls].chunks, base.classes[cls].chunks + 5);
  for (void* p : blocks) Pooler::slabFree(p, {"Block4000", size});
  EXPECT_LE(Pooler::stats().classes[cls].chunks, base.classes[cls].chunks + 1);
}

TEST(PoolerFallback, CHeapWhenChunksAreCapped) {
  Pooler::Stats const base = Pooler::stats();
  Pooler::chunkBytesLimitIs(base.chunkBytes);  // no further chunk
  std::size_t const size = 2 * kChunk;         // always a chunk of its own
  EXPECT_THROW(Pooler::slabAlloc(size), std::bad_alloc);
  EXPECT_EQ(Pooler::slabAllocOrStdMalloc(size, Pooler::slabOnly), nullptr);
  void* p = Pooler::slabAllocOrStdMalloc(size, Pooler::slabOrStdMalloc);
  EXPECT_EQ(Pooler::chunkBytesLimitIs(static_cast<std::size_t>(-1)), base.chunkBytes);
  ASSERT_NE(p, nullptr);
  EXPECT_FALSE(Pooler::isSlabAddress(p));
  std::memset(p, 0x5A, size);
  EXPECT_EQ(Pooler::stats().stdMallocBlocks, base.stdMallocBlocks + 1);
  Pooler::slabFreeOrStdFree(p, {"Fallback", size});
  Pooler::slabFreeOrStdFree(nullptr);
  EXPECT_EQ(Pooler::stats().stdMallocBlocks, base.stdMallocBlocks);
  EXPECT_EQ(Pooler::stats().chunkBytes, base.chunkBytes);
}

// ---- Fatal contracts ---------------------------------------------------------------

void freeAs(std::size_t size, std::size_t freedAs, int times = 1) {
  void* p = Pooler::slabAlloc(size);
  while (times-- > 0) Pooler::slabFree(p, {"Widget", freedAs});
}

TEST(PoolerDeathTest, FreeingThroughTheWrongTypeStops) {
  EXPECT_DEATH(freeAs(64, 512), "Pooler::slabFree: wrong type.*Widget");
  EXPECT_DEATH(freeAs(512, 64), "Pooler::slabFree: wrong type.*Widget");
  EXPECT_DEATH(freeAs(3 * kChunk, 4 * kChunk), "Pooler::slabFree: wrong type.*Widget");
}

TEST(PoolerDeathTest, FreeingWhatIsNotABlockStops) {
  void* foreign = std::malloc(64);
  EXPECT_DEATH(Pooler::slabFree(foreign, {"Stranger", 64}),
               "Pooler::slabFree: .* \\(Stranger\\) is not a slab block");
  std::free(foreign);
  char* p = static_cast<char*>(Pooler::slabAlloc(256));
  EXPECT_DEATH(Pooler::slabFree(p + 16, {"Inner", 0}), "is not the start of a block");
  Pooler::slabFree(p, {"Inner", 256});
  EXPECT_DEATH(freeAs(7000, 7000, 2), "Pooler::slabFree");  // twice
}

#if defined(__SANITIZE_ADDRESS__)
TEST(PoolerDeathTest, AddressSanitizerSeesUseAfterFreeAndOverflowInsideAChunk) {
  auto* p = static_cast<volatile char*>(Pooler::slabAlloc(100));  // a block of 112
  EXPECT_DEATH(p[104] = 1, "use-after-poison");
  Pooler::slabFree(const_cast<char*>(p), {"Gone", 100});
  EXPECT_DEATH(p[50] = 1, "use-after-poison");
}
#endif

}  // namespace
