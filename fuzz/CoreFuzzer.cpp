// Drives the keyed-collection core with operations decoded from the input
// and checks it against a std::unordered_map model: lookups, insertions,
// removals (by key and by node), clearing, and walks that insert and remove
// members as they go, each member present for a whole walk visited exactly
// once. The core's invariants are checked at the end of every input.
//
// Input: the first byte picks how keys hash (the library's hash, four keys
// to a hash, or hashes crowded into a few prefixes); then one operation per
// three bytes: an opcode and a 16-bit key.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <set>
#include <unordered_map>

#include "Kiva/AllocTrack.h"
#include "Kiva/Hash.h"
#include "Kiva/HashMap2018.h"
#include "Pooler/Pooler.h"

namespace {

using Kiva::HashMap2018BucketHdr;
using Kiva::HashMap2018Generic;
using Kiva::HashMap2018VTable;
using Iterator = Kiva::HashMap2018IteratorGeneric;

struct Node {
  std::uint32_t key;
  std::uint32_t value;
};

Kiva::AllocTrackTypeInfo gTracker{"CoreFuzzer::Node"};

[[noreturn]] void fail(char const* what, std::uint32_t key) {
  std::fprintf(stderr, "core fuzzer: %s (key %u)\n", what, key);
  std::abort();
}

std::uint32_t keyOf(void const* n) {
  return static_cast<Node const*>(n)->key;
}
bool keyEqualsNode(void const* key, void const* n) {
  return *static_cast<std::uint32_t const*>(key) == keyOf(n);
}
int compareOrLruUnlink(void const* probe, void const* a, void const* b) {
  std::uint32_t const ref = a != nullptr ? keyOf(a) : *static_cast<std::uint32_t const*>(probe);
  return keyOf(b) == ref ? 0 : keyOf(b) < ref ? 2 : 1;
}
void place(HashMap2018VTable const*, void* dst, void* src, bool) {
  ::new (dst) Node(*static_cast<Node const*>(src));
}
void shift(HashMap2018VTable const*, void*, void const*, std::uint16_t, std::uint16_t, int) {
  fail("the core called shift", 0);
}
void newBucketAssemble(HashMap2018VTable const*, std::uint32_t count, void* dst,
                       Kiva::HashMap2018NodeRun const* runs, std::uint32_t numRuns) {
  Kiva::AllocTrackTypeInfo::trackArrayAllocation(gTracker, sizeof(Node) + 4, count);
  auto* out = static_cast<Node*>(dst);
  for (std::uint32_t r = 0; r < numRuns; ++r) {
    auto const* in = static_cast<Node const*>(runs[r].nodes);
    for (std::uint32_t i = 0; i < runs[r].count; ++i) ::new (out++) Node(in[i]);
  }
  if (out - static_cast<Node*>(dst) > count) fail("more nodes assembled than the array holds", 0);
}
std::uint32_t bktHdrRefDec(HashMap2018BucketHdr* hdr) {
  if (std::uint32_t const left = HashMap2018BucketHdr::bktHdrRefDecHelper(hdr)) return left;
  Kiva::AllocTrackTypeInfo::trackDeallocation(HashMap2018Generic::bucketHeaderTracker_,
                                              sizeof(HashMap2018BucketHdr), 1);
  Kiva::AllocTrackTypeInfo::trackArrayDeallocation(gTracker, sizeof(Node) + 4, hdr->nodeCount());
  Pooler::slabFreeOrStdFree(hdr->allocationStart(), {"CoreFuzzer::Node", 0});
  return 0;
}

HashMap2018VTable const gVt(0x104, sizeof(Node), &bktHdrRefDec, &keyEqualsNode, &place, &shift,
                            &newBucketAssemble, &compareOrLruUnlink);

class Run {
 public:
  Run(std::uint8_t const* data, std::size_t size) : data_(data), size_(size) {}
  ~Run() { core_.emptyAllBuckets(&gVt, true); }

  void go() {
    hashKind_ = size_ > 0 ? data_[pos_++] % 3 : 0;
    while (pos_ + 3 <= size_) {
      std::uint8_t const op = data_[pos_];
      std::uint32_t const key = keyAt(pos_ + 1);
      pos_ += 3;
      step(op, key);
    }
    core_.checkInvariants();
    if (core_.memberCount() != model_.size()) fail("member count", 0);
    std::size_t visited = 0;
    for (Iterator it(&core_, &gVt); it.currNodeNonStale() != nullptr; it.advance()) {
      auto const* n = static_cast<Node const*>(it.currNodeNonStale());
      auto const m = model_.find(n->key);
      if (m == model_.end() || m->second != n->value) fail("a walk met a non-member", n->key);
      ++visited;
    }
    if (visited != model_.size()) fail("a walk's visits differ from the members", 0);
  }

 private:
  std::uint32_t keyAt(std::size_t at) const {
    return std::uint32_t{data_[at]} | std::uint32_t{data_[at + 1]} << 8;
  }
  Kiva::HashHelper::KeyAndRhashSeedArg arg(std::uint32_t const& key) const {
    std::uint32_t const hash = Kiva::hashSingleAttr(Kiva::HashHelper::hashSeed32() ^ 0xC0DEu,
                                                    hashKind_ == 1 ? key >> 2 : key);
    return {&key, hashKind_ == 2 ? hash & 0x83FFFFFFu : hash};
  }
  Node* find(std::uint32_t key) const {
    return static_cast<Node*>(core_.lookupNodeG(&gVt, arg(key)));
  }

  void insert(std::uint32_t key) {
    if (model_.count(key)) return;
    Node node{key, ++serial_};
    std::uint32_t const k = key;
    if (core_.lookupNodeTyped(arg(k), sizeof(Node), [&](void const* n) { return keyOf(n) == k; }) !=
        nullptr)
      fail("an absent key was found", key);
    auto* member = static_cast<Node*>(core_.newMemberG(&gVt, arg(k), &node));
    if (member->key != key || find(key) != member) fail("an inserted member", key);
    model_[key] = node.value;
  }

  void erase(std::uint32_t key, bool byNode) {
    bool const present = model_.erase(key) != 0;
    if (byNode) {
      if (!present) return;
      core_.deleteNodeG(&gVt, arg(key).hash, find(key));
    } else if (core_.deleteMemberG(&gVt, arg(key), nullptr) != present) {
      fail("a removal", key);
    }
    if (find(key) != nullptr) fail("a removed key is found", key);
  }

  void step(std::uint8_t op, std::uint32_t key) {
    switch (op % 8) {
      case 0:
      case 1:
        return insert(key);
      case 2:
        return erase(key, false);
      case 3:
        return erase(key, true);
      case 4:
      case 5: {
        Node const* n = find(key);
        auto const m = model_.find(key);
        if ((n != nullptr) != (m != model_.end()) || (n != nullptr && n->value != m->second))
          fail("a lookup", key);
        return;
      }
      case 6:
        if (op % 64 == 6) {
          core_._memberDelAll(&gVt);
          model_.clear();
        }
        return;
      default:
        return walk(key);
    }
  }

  // A walk that, at each member, takes the next input bytes as what to do:
  // remove the member, remove another, insert keys, or nothing.
  void walk(std::uint32_t seed) {
    auto const start = model_;
    std::set<std::uint32_t> touched;
    std::set<std::uint32_t> seen;
    Iterator it(&core_, &gVt);
    for (void* node = it.currNodeNonStale(); node != nullptr; node = it.currNodeNonStale()) {
      std::uint32_t const k = keyOf(node);
      if (!seen.insert(k).second && !touched.count(k)) fail("a walk visited a member twice", k);
      if (!model_.count(k)) fail("a walk met a non-member", k);
      std::uint8_t const action = pos_ < size_ ? data_[pos_++] : 0;
      std::uint32_t const other = (k + seed * (action >> 3)) & 0xFFFF;
      switch (action % 8) {
        case 1:
          erase(keyOf(it.currNodeMaybeStale()), false);
          touched.insert(k);
          break;
        case 2:
          erase(other, action % 16 < 8);
          touched.insert(other);
          break;
        case 3:
          for (std::uint32_t i = 0; i < 8; ++i) {
            insert((other + i * 977) & 0xFFFF);
            touched.insert((other + i * 977) & 0xFFFF);
          }
          break;
        case 4:
          for (std::uint32_t i = 0; i < 8; ++i) {
            erase((other + i * 131) & 0xFFFF, false);
            touched.insert((other + i * 131) & 0xFFFF);
          }
          break;
        default:
          break;
      }
      it.advance();
    }
    for (auto const& [k, v] : start) {
      if (!touched.count(k) && !seen.count(k)) fail("a walk missed a member", k);
    }
  }

  std::uint8_t const* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  int hashKind_ = 0;
  std::uint32_t serial_ = 0;
  HashMap2018Generic core_{&gVt, 1, false};
  std::unordered_map<std::uint32_t, std::uint32_t> model_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  Run(data, size).go();
  return 0;
}
