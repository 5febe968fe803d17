// Orrin::Publisher: announces changes of a node's attributes to its observers.
//
// Each change names the attribute (its field id), the key that changed and the
// value before the change (null when the key is new), plus the key-equality
// function of the attribute's key type so that observers can match keys.
// Publishing is recursive: the observers of the parent publishers hear the
// change too. While nothing observes a publisher or its parents, its state
// word is 1 and publishing costs one test.
#pragma once

#include <cstdint>
#include <vector>

namespace Orrin {

using KeyEqualFn = bool (*)(void const*, void const*);

class Publisher;

class Observer {
 public:
  virtual ~Observer() = default;
  virtual void onChange(Publisher const& publisher, std::uint32_t fieldId, void const* key,
                        void const* previous, KeyEqualFn keyEqual) = 0;
};

class Publisher {
 public:
  Publisher() = default;
  Publisher(Publisher const&) = delete;
  Publisher& operator=(Publisher const&) = delete;
  ~Publisher();

  // 1 while no observer hears this publisher (directly or through a parent).
  std::uint32_t stateWord() const;

  void observerIs(Observer* observer);
  void observerDel(Observer* observer);
  std::size_t observers() const { return observers_.size(); }
  void parentIs(Publisher* parent) { parent_ = parent; }

  void publishChangeRecursive(std::uint32_t fieldId, void const* key, void const* previous,
                              KeyEqualFn keyEqual) const {
    if (observers_.empty() && parent_ == nullptr) return;
    deliver(*this, fieldId, key, previous, keyEqual);
  }

 private:
  void deliver(Publisher const& origin, std::uint32_t fieldId, void const* key,
               void const* previous, KeyEqualFn keyEqual) const;

  std::vector<Observer*> observers_;
  Publisher* parent_ = nullptr;
};

}  // namespace Orrin
