// The descriptor through which the keyed-collection core drives one collection
// type, and the bucket-array header that the node operations see.
//
// The core is type-erased: it never looks inside a node. Everything it does
// with nodes (compare, construct, move within an array, assemble a new array,
// release an array) goes through the six node operations of the descriptor.
#pragma once

#include <cstdint>

namespace Kiva {

struct HashMap2018VTable;

// 32-bit header of a bucket array. Bits 4 to 17 hold the number of node slots
// in the array (at most 16383). The allocation begins four bytes per node slot
// before the header: one 32-bit hash word per slot, then the header, then the
// rest of the array as the core lays it out.
struct HashMap2018BucketHdr {
  static constexpr std::uint32_t kCountShift = 4;
  static constexpr std::uint32_t kCountMask = 0x3FFFu << kCountShift;
  static constexpr std::uint32_t kMaxNodes = 16383;

  std::uint32_t word;

  std::uint32_t nodeCount() const { return (word & kCountMask) >> kCountShift; }
  // Start of the allocation that carries this header.
  void* allocationStart() { return reinterpret_cast<char*>(this) - 4u * nodeCount(); }

  // Drops one reference to the array. Returns the references left; 0 means the
  // caller (the descriptor's bktHdrRefDec) must release the array.
  static std::uint32_t bktHdrRefDecHelper(HashMap2018BucketHdr* hdr);
};

// One run of consecutive nodes, a source of newBucketAssemble.
struct HashMap2018NodeRun {
  void const* nodes;
  std::uint32_t count;
};

// The six node operations.
using BktHdrRefDecFn = std::uint32_t (*)(HashMap2018BucketHdr* hdr);
using KeyEqualsNodeFn = bool (*)(void const* key, void const* node);
using PlaceFn = void (*)(HashMap2018VTable const* vt, void* dst, void* src, bool move);
using ShiftFn = void (*)(HashMap2018VTable const* vt, void* nodes, void const* newNode,
                         std::uint16_t count, std::uint16_t position, int slotsToShift);
using NewBucketAssembleFn = void (*)(HashMap2018VTable const* vt, std::uint32_t count, void* dst,
                                     HashMap2018NodeRun const* runs, std::uint32_t numRuns);
// 0 when B's key equals the reference key (A's key, or the probe key when A is
// null), 2 when B's key is less, 1 when it is greater.
using CompareOrLruUnlinkFn = int (*)(void const* probeKey, void const* nodeA, void const* nodeB);

// Descriptor of one collection type: eight 32-bit words. Words 3 to 8 name the
// node operations. An address does not fit a 32-bit word on a 64-bit target, so
// each of them holds the signed offset of its function from the descriptor
// itself; the accessors below turn it back into the function.
struct HashMap2018VTable {
  std::uint32_t flags;
  std::uint32_t nodeSize;
  std::int32_t bktHdrRefDecOffset;
  std::int32_t keyEqualsNodeOffset;
  std::int32_t placeOffset;
  std::int32_t shiftOffset;
  std::int32_t newBucketAssembleOffset;
  std::int32_t compareOrLruUnlinkOffset;

  // Builds the descriptor in place: the offsets are relative to its address,
  // so a descriptor is never copied.
  HashMap2018VTable(std::uint32_t flagsWord, std::uint32_t nodeSizeBytes,
                    BktHdrRefDecFn bktHdrRefDec, KeyEqualsNodeFn keyEqualsNode, PlaceFn place,
                    ShiftFn shift, NewBucketAssembleFn newBucketAssemble,
                    CompareOrLruUnlinkFn compareOrLruUnlink) {
    init(flagsWord, nodeSizeBytes, bktHdrRefDec, keyEqualsNode, place, shift, newBucketAssemble,
         compareOrLruUnlink);
  }
  HashMap2018VTable(HashMap2018VTable const&) = delete;
  HashMap2018VTable& operator=(HashMap2018VTable const&) = delete;

  // (Re)builds the descriptor at its address.
  void init(std::uint32_t flagsWord, std::uint32_t nodeSizeBytes, BktHdrRefDecFn bktHdrRefDec,
            KeyEqualsNodeFn keyEqualsNode, PlaceFn place, ShiftFn shift,
            NewBucketAssembleFn newBucketAssemble, CompareOrLruUnlinkFn compareOrLruUnlink);

  BktHdrRefDecFn bktHdrRefDec() const { return fn<BktHdrRefDecFn>(bktHdrRefDecOffset); }
  KeyEqualsNodeFn keyEqualsNode() const { return fn<KeyEqualsNodeFn>(keyEqualsNodeOffset); }
  PlaceFn place() const { return fn<PlaceFn>(placeOffset); }
  ShiftFn shift() const { return fn<ShiftFn>(shiftOffset); }
  NewBucketAssembleFn newBucketAssemble() const {
    return fn<NewBucketAssembleFn>(newBucketAssembleOffset);
  }
  CompareOrLruUnlinkFn compareOrLruUnlink() const {
    return fn<CompareOrLruUnlinkFn>(compareOrLruUnlinkOffset);
  }

 private:
  template <class F>
  F fn(std::int32_t offset) const {
    return reinterpret_cast<F>(reinterpret_cast<std::intptr_t>(this) + offset);
  }
};
static_assert(sizeof(HashMap2018VTable) == 32, "the descriptor is eight 32-bit words");

}  // namespace Kiva
