// EntryCollection<Node>: one of a table's two keyed collections (resolved or
// synced entries), a typed face over the type-erased collection core.
//
// Every keyed call hashes the 32-bit key once, with the collection type's own
// hash constant, and hands the core the key's address and hash. The core
// reaches the nodes only through the node operations of NodeOps<Node>.
#pragma once

#include <cstdint>
#include <utility>

#include "Kiva/Assert.h"
#include "Kiva/Hash.h"
#include "Kiva/HashMap2018.h"
#include "runtime/EntryNodes.h"

namespace IfaRuntime {

template <class Node>
class EntryCollection {
 public:
  using Ops = NodeOps<Node>;

  // A walk over the members, in the core's order. It stays usable when the
  // member it stands on is removed through the collection: read the key with
  // staleNode(), remove it, then advance() to the member that followed.
  class Iterator {
   public:
    explicit Iterator(Kiva::HashMap2018IteratorGeneric it) : it_(std::move(it)) {}
    bool atEnd() const { return it_.currNodeNonStale() == nullptr; }
    Node const* node() const { return static_cast<Node const*>(it_.currNodeNonStale()); }
    Node* node() { return static_cast<Node*>(it_.currNodeNonStale()); }
    Node const* staleNode() const { return static_cast<Node const*>(it_.currNodeMaybeStale()); }
    void advance() { it_.advance(); }
    Kiva::HashMap2018IteratorGeneric& generic() { return it_; }
    friend bool operator==(Iterator const& a, Iterator const& b) { return a.it_ == b.it_; }

   private:
    Kiva::HashMap2018IteratorGeneric it_;
  };

  EntryCollection() : core_(&Ops::vt(), 1, false) {}
  EntryCollection(EntryCollection const&) = delete;
  EntryCollection& operator=(EntryCollection const&) = delete;
  ~EntryCollection() { core_.emptyAllBuckets(&Ops::vt(), true); }

  // The key's hash in this collection type.
  static std::uint32_t keyHash(Index key) {
    return Kiva::hashSingleAttr(Kiva::HashHelper::hashSeed32() ^ Node::kHashConstant, key.value);
  }
  static Kiva::HashHelper::KeyAndRhashSeedArg keyArg(Index const& key) {
    return {&key, keyHash(key)};
  }

  // The member node of `key`, or null. Never inserts. The key comparison is
  // the node operation keyEqualsNode, called directly rather than through the
  // descriptor.
  Node const* operator[](Index key) const { return lookup(key); }
  Node* find(Index key) { return lookup(key); }

  // The collection's state as a caller saw it: the count of changes so far,
  // so that, in builds without NDEBUG, a node or position used after the
  // collection changed beneath it stops the process. The count is kept in
  // every build, so that the collection's layout does not depend on NDEBUG:
  // a program built without it uses the library's collections as they are.
  struct Stamp {
    std::uint64_t mutations = 0;
  };

  // A key's member node (null when absent) with the key's hash, so that a
  // caller may remove the member it found without hashing or looking the
  // key up again.
  struct Located {
    Node const* node;
    std::uint32_t hash;
    Stamp stamp;
  };
  Located locate(Index key) const {
    std::uint32_t const hash = keyHash(key);
    return {lookup(key, hash), hash, stamp()};
  }

  // Inserts a node whose key is absent (the caller's lookup has just missed
  // it); returns the member node.
  Node* insert(Node const& node) {
    changed();
    return static_cast<Node*>(
        core_.newMemberG(&Ops::vt(), keyArg(node.key), const_cast<Node*>(&node)));
  }

  // Removes `key`. When it was a member, calls taken(node) with the member's
  // node before it goes, then returns true.
  template <class F>
  bool erase(Index key, F&& taken) {
    bool const found = core_.deleteMemberTyped(
        &Ops::vt(), keyArg(key), [&key](void const* n) { return Ops::keyEqualsNode(&key, n); },
        [&taken](void* n) { taken(*static_cast<Node*>(n)); });
    if (found) changed();
    return found;
  }

  // Removes the member `at` found, when nothing has changed the collection
  // since.
  void erase(Located const& at) {
    unchangedSince(at.stamp, "erase");
    changed();
    core_.deleteNodeG(&Ops::vt(), at.hash, const_cast<Node*>(at.node));
  }

  // Removes every member in one step.
  void clear() {
    changed();
    core_._memberDelAll(&Ops::vt());
  }

  // The members expected soon (see HashMap2018Generic::expectMembers).
  void expect(std::uint32_t members) { core_.expectMembers(members); }

  std::uint32_t size() const { return core_.memberCount(); }
  bool empty() const { return size() == 0; }
  // The core's second size figure: node slots allocated over all bucket arrays.
  std::uint32_t allocatedSlots() const { return core_.allocatedSlots(); }

  Iterator begin() const { return Iterator(Kiva::HashMap2018IteratorGeneric(&core_, &Ops::vt())); }
  // At `key` when it is a member, else at the end.
  Iterator at(Index const& key) const {
    return Iterator(Kiva::HashMap2018IteratorGeneric(&core_, &Ops::vt(), keyArg(key)));
  }

  Kiva::HashMap2018Generic const& core() const { return core_; }

  Stamp stamp() const { return {mutations_}; }
  // Stops the process when the collection changed since `seen` was taken.
  void unchangedSince([[maybe_unused]] Stamp seen, [[maybe_unused]] char const* operation) const {
#ifndef NDEBUG
    KIVA_ASSERT_AT(seen.mutations == mutations_, "the collection changed since the lookup",
                   "runtime/EntryCollection", __LINE__, operation);
#endif
  }

 private:
  void changed() {
    ++mutations_;
  }
  Node* lookup(Index const& key) const {
    return lookup(key, keyHash(key));
  }
  Node* lookup(Index const& key, std::uint32_t hash) const {
    return static_cast<Node*>(
        core_.lookupNodeTyped(Kiva::HashHelper::KeyAndRhashSeedArg{&key, hash}, sizeof(Node),
                              [&key](void const* n) { return Ops::keyEqualsNode(&key, n); }));
  }

  Kiva::HashMap2018Generic core_;
  std::uint64_t mutations_ = 0;
};

}  // namespace IfaRuntime
