// Orrin::Node: an object of the reflective runtime, owned through counted
// references (Orrin::Ptr).
//
// Every node carries a 32-bit use count and a word of node flags. Use counts
// change atomically while the runtime runs threads (ThreadControl::tsp_ set)
// and plainly otherwise. When the last use goes, the node's lastUserGone runs,
// which by default destroys the node through its deleting destructor.
#pragma once

#include <atomic>
#include <cstdint>

namespace Orrin {

class Publisher;

struct ThreadControl {
  // Set while the runtime runs more than one thread.
  static bool tsp_;
};

// Where a node's type is described: a registered type module and the type's
// number in it.
struct TypeData {
  void const* module = nullptr;
  std::uint32_t type = 0;
};

class Node {
 public:
  Node() = default;
  Node(Node const&) = delete;
  Node& operator=(Node const&) = delete;
  virtual ~Node();

  // Runtime hooks, in the runtime's slot order.
  virtual void lastUserGone();
  virtual Publisher* publisher() const;
  virtual TypeData typeData() const;
  virtual void handleParent(Node* parent);

  std::uint32_t useCount() const { return uses_.load(std::memory_order_relaxed); }
  [[gnu::always_inline]] void incUse() const {
    if (ThreadControl::tsp_) {
      uses_.fetch_add(1, std::memory_order_relaxed);
    } else {
      uses_.store(uses_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
  }
  // Drops one use; the last one runs lastUserGone.
  [[gnu::always_inline]] void decUse() const {
    std::uint32_t left;
    if (ThreadControl::tsp_) {
      left = uses_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    } else {
      left = uses_.load(std::memory_order_relaxed) - 1;
      uses_.store(left, std::memory_order_relaxed);
    }
    if (left == 0) decUseImpl();
  }

  std::uint32_t nodeFlags() const { return flags_; }
  bool nodeFlag(std::uint32_t flag) const { return (flags_ & flag) != 0; }
  void nodeFlagSet(std::uint32_t flag, bool on) {
    flags_ = on ? (flags_ | flag) : (flags_ & ~flag);
  }

  // Set on a node while it is alive and registered with the runtime; cleared
  // first thing by destructors so that the runtime no longer reaches it.
  static constexpr std::uint32_t kLiveFlag = 0x20000000u;

 protected:
  Node* parent() const { return parent_; }

 private:
  void decUseImpl() const;

  mutable std::atomic<std::uint32_t> uses_{0};
  std::uint32_t flags_ = kLiveFlag;
  Node* parent_ = nullptr;
};

}  // namespace Orrin
