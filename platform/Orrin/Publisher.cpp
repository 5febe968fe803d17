#include "Orrin/Publisher.h"

#include <algorithm>

namespace Orrin {

Publisher::~Publisher() = default;

std::uint32_t Publisher::stateWord() const {
  for (Publisher const* p = this; p != nullptr; p = p->parent_) {
    if (!p->observers_.empty()) return 2 + 4 * static_cast<std::uint32_t>(p->observers_.size());
  }
  return 1;
}

void Publisher::observerIs(Observer* observer) {
  if (std::find(observers_.begin(), observers_.end(), observer) == observers_.end()) {
    observers_.push_back(observer);
  }
}

void Publisher::observerDel(Observer* observer) {
  observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void Publisher::deliver(Publisher const& origin, std::uint32_t fieldId, void const* key,
                        void const* previous, KeyEqualFn keyEqual) const {
  // Observers may detach themselves while hearing a change: walk a copy.
  if (!observers_.empty()) {
    std::vector<Observer*> const current = observers_;
    for (Observer* o : current) o->onChange(origin, fieldId, key, previous, keyEqual);
  }
  if (parent_ != nullptr) parent_->deliver(origin, fieldId, key, previous, keyEqual);
}

}  // namespace Orrin
