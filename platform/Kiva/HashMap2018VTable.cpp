#include "Kiva/HashMap2018VTable.h"

#include <cstdio>
#include <cstdlib>
#include <limits>

#include "Kiva/HashMap2018.h"

namespace Kiva {
namespace {

[[noreturn]] void fatal(char const* message, char const* detail) {
  std::fprintf(stderr, "%s%s\n", message, detail);
  std::fflush(stderr);
  std::abort();
}

template <class F>
std::int32_t offsetFrom(HashMap2018VTable const* vt, F fn, char const* name) {
  if (fn == nullptr) fatal("Kiva::HashMap2018VTable::init: no function given for ", name);
  std::intptr_t const offset =
      reinterpret_cast<std::intptr_t>(fn) - reinterpret_cast<std::intptr_t>(vt);
  if (offset < std::numeric_limits<std::int32_t>::min() ||
      offset > std::numeric_limits<std::int32_t>::max()) {
    fatal(
        "Kiva::HashMap2018VTable::init: the descriptor lies farther than 2 GiB from its node "
        "operation ",
        name);
  }
  return static_cast<std::int32_t>(offset);
}

}  // namespace

void HashMap2018VTable::init(std::uint32_t flagsWord, std::uint32_t nodeSizeBytes,
                             BktHdrRefDecFn bktHdrRefDec, KeyEqualsNodeFn keyEqualsNode,
                             PlaceFn place, ShiftFn shift, NewBucketAssembleFn newBucketAssemble,
                             CompareOrLruUnlinkFn compareOrLruUnlink) {
  flags = flagsWord;
  nodeSize = nodeSizeBytes;
  bktHdrRefDecOffset = offsetFrom(this, bktHdrRefDec, "bktHdrRefDec");
  keyEqualsNodeOffset = offsetFrom(this, keyEqualsNode, "keyEqualsNode");
  placeOffset = offsetFrom(this, place, "place");
  shiftOffset = offsetFrom(this, shift, "shift");
  newBucketAssembleOffset = offsetFrom(this, newBucketAssemble, "newBucketAssemble");
  compareOrLruUnlinkOffset = offsetFrom(this, compareOrLruUnlink, "compareOrLruUnlink");
}

std::uint32_t HashMap2018BucketHdr::bktHdrRefDecHelper(HashMap2018BucketHdr* hdr) {
  std::uint32_t& refs = HashMap2018Layout::fieldsOf(hdr).refs;
  if (refs == 0) {
    fatal("Kiva::HashMap2018BucketHdr::bktHdrRefDecHelper: ",
          "the bucket array has no reference left (released twice)");
  }
  return --refs;
}

}  // namespace Kiva
