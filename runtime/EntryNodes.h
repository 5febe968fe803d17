// The node types of a table's two keyed collections and the six node
// operations through which the collection core handles them.
//
// HN_ResolvedEntry<Decl> holds a key and a Kiva::Optional of the table's
// Entry (a resolved key may hold no value); HN_SyncedEntry<Decl> holds a key
// and an Entry. The core never looks inside a node: it compares, constructs,
// moves and releases nodes only through NodeOps<Node>, reached from the
// collection type's descriptor.
#pragma once

#include <cstdint>
#include <new>
#include <string_view>

#include "Asic/Types.h"
#include "Kiva/AllocTrack.h"
#include "Kiva/Assert.h"
#include "Kiva/HashMap2018.h"
#include "Kiva/HashMap2018VTable.h"
#include "Kiva/Hm2018NE.h"
#include "Kiva/Optional.h"
#include "Pooler/Pooler.h"
#include "runtime/Names.h"

namespace IfaRuntime {

using Index = Asic::SwTableBase::Index;

inline constexpr std::string_view kResolvedNodeSuffix = "::HN_ResolvedEntry";
inline constexpr std::string_view kSyncedNodeSuffix = "::HN_SyncedEntry";

template <class Decl>
struct HN_ResolvedEntry
    : Kiva::Hm2018NE<Decl::kResolvedHashConstant, Index, Kiva::Optional<typename Decl::Entry>, 1> {
  static constexpr std::string_view kTypeName =
      joinNames<Decl::kQualifiedName, kResolvedNodeSuffix>;

  Index key;
  Kiva::Optional<typename Decl::Entry> value;
};

template <class Decl>
struct HN_SyncedEntry : Kiva::Hm2018NE<Decl::kSyncedHashConstant, Index, typename Decl::Entry, 1> {
  static constexpr std::string_view kTypeName = joinNames<Decl::kQualifiedName, kSyncedNodeSuffix>;

  Index key;
  typename Decl::Entry value;
};

// The node operations of one node type, and its collection type's descriptor.
template <class Node>
struct NodeOps {
  // Bucket-array slots of this node type currently allocated (elements of
  // node size plus the four-byte hash word of each slot).
  static inline Kiva::AllocTrackTypeInfo tracker{Node::kTypeName};

  static constexpr std::uint32_t kFlags = 0x104;
  static constexpr std::size_t kSlotBytes = sizeof(Node) + 4;

  // The collection type's descriptor, built on first use.
  [[gnu::always_inline]] static Kiva::HashMap2018VTable const& vt() {
    static Kiva::HashMap2018VTable const vt_(kFlags, sizeof(Node), &bktHdrRefDec, &keyEqualsNode,
                                             &place, &shift, &newBucketAssemble,
                                             &compareOrLruUnlink);
    return vt_;
  }

  static Node const& node(void const* p) { return *static_cast<Node const*>(p); }
  static Node& node(void* p) { return *static_cast<Node*>(p); }

  static bool keyEqualsNode(void const* key, void const* n) {
    return static_cast<Index const*>(key)->value == node(n).key.value;
  }

  static int compareOrLruUnlink(void const* probeKey, void const* a, void const* b) {
    std::uint32_t const reference =
        a != nullptr ? node(a).key.value : static_cast<Index const*>(probeKey)->value;
    std::uint32_t const key = node(b).key.value;
    if (key == reference) return 0;
    return key < reference ? 2 : 1;
  }

  // Constructs a node from another: the key, then the value. For a resolved
  // node the Optional's copy constructs an Entry only when the source holds
  // one. Moving and copying are the same for these plain values.
  static void place(Kiva::HashMap2018VTable const*, void* dst, void* src, bool /*move*/) {
    ::new (dst) Node(node(src));
  }

  static void shift(Kiva::HashMap2018VTable const*, void* nodesArg, void const* newNode,
                    std::uint16_t count, std::uint16_t position, int slotsToShift) {
    Node* nodes = static_cast<Node*>(nodesArg);
    if (slotsToShift < 0) {
      // Close a gap of n slots at position; the last n slots are the core's.
      unsigned const n = static_cast<unsigned>(-slotsToShift);
      for (unsigned i = 0; position + n + i < count; ++i) {
        nodes[position + i] = nodes[position + n + i];
      }
      return;
    }
    // Open one slot at position for the new node.
    ::new (static_cast<void*>(&nodes[count])) Node(nodes[count - 1]);
    for (unsigned i = count - 1u; i > position; --i) nodes[i] = nodes[i - 1];
    KIVA_ASSERT_AT(slotsToShift == 1, "slotsToShift == 1", "/usr/include/Kiva/HashMap2018", 2631,
                   "shift");
    nodes[position] = node(newNode);
  }

  static void newBucketAssemble(Kiva::HashMap2018VTable const*, std::uint32_t count, void* dst,
                                Kiva::HashMap2018NodeRun const* runs, std::uint32_t numRuns) {
    Kiva::AllocTrackTypeInfo::trackArrayAllocation(tracker, kSlotBytes, count);
    Node* out = static_cast<Node*>(dst);
    for (std::uint32_t r = 0; r < numRuns; ++r) {
      Node const* in = static_cast<Node const*>(runs[r].nodes);
      for (std::uint32_t i = 0; i < runs[r].count; ++i)
        ::new (static_cast<void*>(out++)) Node(in[i]);
    }
  }

  static std::uint32_t bktHdrRefDec(Kiva::HashMap2018BucketHdr* hdr) {
    if (std::uint32_t const left = Kiva::HashMap2018BucketHdr::bktHdrRefDecHelper(hdr)) return left;
    releaseBucketArray(hdr);
    return 0;
  }

  static void releaseBucketArray(Kiva::HashMap2018BucketHdr* hdr);
};

// Releases a bucket array no one references any more: one header less for
// the core's tracker, its node slots less for the node type's, and the memory
// back to the allocator.
template <class Node>
void NodeOps<Node>::releaseBucketArray(Kiva::HashMap2018BucketHdr* hdr) {
  std::uint32_t const slots = hdr->nodeCount();
  Kiva::AllocTrackTypeInfo::trackDeallocation(Kiva::HashMap2018Generic::bucketHeaderTracker_,
                                              sizeof(Kiva::HashMap2018BucketHdr), 1);
  Kiva::AllocTrackTypeInfo::trackArrayDeallocation(tracker, kSlotBytes, slots);
  Pooler::slabFreeOrStdFree(hdr->allocationStart(), Pooler::Type{Node::kTypeName});
}

}  // namespace IfaRuntime
