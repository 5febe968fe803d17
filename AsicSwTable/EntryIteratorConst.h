// Asic::SwTable::EntryIteratorConst<T>: a walk over a table's entry view, the
// resolved entries that hold a value, in the resolved collection's order
// (not the order of the keys). Resolved keys without a value are skipped in
// place; nothing is copied or allocated.
//
// The table must not change during a walk, except as the collection iterator
// allows (removing the member the walk stands on, then advancing).
#pragma once

#include "Asic/SwTable.h"
#include "Kiva/HashMap2018.h"
#include "Kiva/Optional.h"

namespace Asic {

template <class T>
class SwTable::EntryIteratorConst {
 public:
  using Index = SwTableBase::Index;
  using Entry = typename T::Entry;
  using Node = typename T::HN_ResolvedEntry;

  // At the first entry holding a value, or at the end.
  explicit EntryIteratorConst(T const* table) : table_(table), iter_(Kiva::EndOfCollection) {
    Kiva::HashMap2018IteratorGeneric it = table->resolvedEntryColl().begin().generic();
    skipEmpty(it);
    iter_ = std::move(it);
  }

  // At `key` when its resolved node holds a value, otherwise at the end (never
  // at a following key).
  EntryIteratorConst(T const* table, Index key) : table_(table), iter_(Kiva::EndOfCollection) {
    Kiva::HashMap2018IteratorGeneric it = table->resolvedEntryColl().at(key).generic();
    Node const* node = static_cast<Node const*>(it.currNodeNonStale());
    if (node != nullptr && node->value.hasValue()) iter_ = std::move(it);
  }

  bool atEnd() const { return iter_.currNodeNonStale() == nullptr; }
  void advance() {
    iter_.advance();
    skipEmpty(iter_);
  }

  Index key() const { return node()->key; }
  Entry const& entry() const { return *node()->value; }
  // The current resolved value as the collection holds it.
  Kiva::Optional<Entry> const& value() const { return node()->value; }
  T const* table() const { return table_; }

  friend bool operator==(EntryIteratorConst const& a, EntryIteratorConst const& b) {
    return a.iter_ == b.iter_;
  }

 private:
  Node const* node() const { return static_cast<Node const*>(iter_.currNodeNonStale()); }
  static void skipEmpty(Kiva::HashMap2018IteratorGeneric& it) {
    for (Node const* n; (n = static_cast<Node const*>(it.currNodeNonStale())) != nullptr &&
                        !n->value.hasValue();) {
      it.advance();
    }
  }

  T const* table_;
  Kiva::HashMap2018IteratorGeneric iter_;
};

}  // namespace Asic
