// Reflection hooks of a table: the runtime reads, counts, iterates and calls
// the table's attributes (TableAttr, runtime/IfaAttributes.def) by number, and creates tables
// generically.
#pragma once

#include <cstdint>
#include <new>

#include "Asic/SwTable.h"
#include "Kiva/Attr.h"
#include "Kiva/HashMap2018.h"
#include "Kiva/Optional.h"
#include "Orrin/Inspect.h"
#include "Orrin/Ptr.h"
#include "Pooler/Pooler.h"
#include "Statebase/Statebase.h"
#include "runtime/AttributeSchema.h"
#include "runtime/IfaSwTable.h"
#include "runtime/LibraryLocal.h"

namespace IfaRuntime {

template <class Decl>
struct IFA_LIBRARY_LOCAL TableReflection {
  using Table = IfaSwTable<Decl>;
  using Entry = typename Table::Entry;
  using Index = typename Table::Index;
  using Status = Orrin::Inspect::OpStatus;

  static void genericIfConstructFromCtorArgs(void* storage, void const* const*) {
    new (storage) Orrin::Ptr<Table>(Orrin::ptrIsImpl<Table>());
  }

  static Status inspectOperation(void* result, void* object, Kiva::KivaAttr const& attr,
                                 std::uint8_t op, void const* operand, void const* const* args) {
    using namespace Orrin::Inspect;
    Table& t = *static_cast<Table*>(object);
    std::uint32_t const number = attr.attributeId();
    auto key = [&] { return *static_cast<Index const*>(operand); };
    auto arg = [&](int i) -> void const* { return args[i]; };
    auto store = [&](auto value) {
      new (result) decltype(value)(value);
      return statusDone;
    };
    switch (number) {
      case TableAttr::isOwnedByMergeTable:
      case TableAttr::isExternalKeyType:
      case TableAttr::readAccess:
        return op == opGet ? store(false) : statusNotSupported;
      case TableAttr::writeAccess:
        return op == opGet ? store(true) : statusNotSupported;
      case TableAttr::setResolvedEntryBlockMetaDataDefinedByUser:
      case TableAttr::setResolvedEntryMetaDataDefinedByUser:
        return op == opGet ? store(std::uint64_t{0}) : statusNotSupported;
      case TableAttr::entrys:
        return op == opGet ? store(t.resolvedEntrys()) : statusNotSupported;
      case TableAttr::resolvedEntry:
        return collection(result, t.resolvedEntryColl(), op, operand, false);
      case TableAttr::syncedEntry:
        return collection(result, t.syncedEntryColl(), op, operand, true);
      case TableAttr::entry:
        if (op == opGet) return store(t.entry(key()));
        if (op == opContains) return store(t.entryHas(key()));
        return statusNotSupported;
      case TableAttr::entryHas:
        return op == opCall ? store(t.entryHas(*static_cast<Index const*>(arg(0))))
                            : statusNotSupported;
      case TableAttr::entryRemoveAll:
        if (op != opCall) return statusNotSupported;
        t.entryRemoveAll();
        return statusDone;
      case TableAttr::minIndex:
        return op == opCall ? store(t.minIndex()) : statusNotSupported;
      case TableAttr::maxIndex:
        return op == opCall ? store(t.maxIndex()) : statusNotSupported;
      case TableAttr::entryRemove:
        if (op != opCall) return statusNotSupported;
        t.entryRemove(*static_cast<Index const*>(arg(0)));
        return statusDone;
      case TableAttr::entryCommit:
        if (op != opCall) return statusNotSupported;
        t.entryCommit(*static_cast<Index const*>(arg(0)), *static_cast<Entry const*>(arg(1)));
        return statusDone;
      case TableAttr::autoCommitSyncedEntries:
        if (op != opCall) return statusNotSupported;
        t.autoCommitSyncedEntries();
        return statusDone;
      case TableAttr::util: {
        if (op != opCall) return statusNotSupported;
        auto* util = const_cast<typename Table::Util*>(t.util());
        if (util != nullptr) util->incUse();
        return opResEncRelNode(util, result);
      }
      case TableAttr::doMountHwTableMountInfo:
      case TableAttr::doMountHwTableRecoveryStatus: {
        if (op != opCall) return statusNotSupported;
        // A held copy keeps the group alive for the call, also if it raises.
        Orrin::Ptr<Statebase::MountGroup> const mg =
            *static_cast<Orrin::Ptr<Statebase::MountGroup> const*>(arg(0));
        if (number == TableAttr::doMountHwTableMountInfo) {
          Table::doMountHwTableMountInfo(mg);
        } else {
          Table::doMountHwTableRecoveryStatus(mg);
        }
        return statusDone;
      }
      case TableAttr::doRecoverHwTable: {
        if (op != opCall) return statusNotSupported;
        Orrin::Ptr<Asic::HwTableRecoverGroup> const rg =
            *static_cast<Orrin::Ptr<Asic::HwTableRecoverGroup> const*>(arg(0));
        Orrin::Ptr<Statebase::EntityManager> const em =
            *static_cast<Orrin::Ptr<Statebase::EntityManager> const*>(arg(2));
        Table::doRecoverHwTable(rg, *static_cast<Asic::UnitId const*>(arg(1)), em,
                                *static_cast<Asic::ChipInfo const*>(arg(3)));
        return statusDone;
      }
      case TableAttr::handleEntry:
      case TableAttr::cleanup:
        return statusNotSupported;
      default:
        return statusNoSuchAttribute;
    }
  }

  // --- Iteration over resolvedEntry, entry and syncedEntry ---

  static void* genericIfIterator(void* object, void const* startKey, Kiva::KivaAttr const& attr,
                                 Orrin::Inspect::IterHooks const** hooksOut) {
    Table const& t = *static_cast<Table const*>(object);
    Index const* start = static_cast<Index const*>(startKey);
    switch (attr.attributeId()) {
      case TableAttr::resolvedEntry:
        return collectionIterator(t.resolvedEntryColl(), start, hooksOut);
      case TableAttr::syncedEntry:
        return collectionIterator(t.syncedEntryColl(), start, hooksOut);
      case TableAttr::entry: {
        void* storage = Pooler::slabAllocOrStdMalloc(sizeof(EntryIter), Pooler::slabOrStdMalloc);
        if (storage == nullptr) return nullptr;
        *hooksOut = &kIterHooks;
        return start ? new (storage) EntryIter(&t, *start) : new (storage) EntryIter(&t);
      }
      default:
        return nullptr;
    }
  }

 private:
  using EntryIter = typename Table::EntryIteratorConst;
  using CoreIter = Kiva::HashMap2018IteratorGeneric;

  template <class Coll>
  static Status collection(void* result, Coll const& coll, std::uint8_t op, void const* operand,
                           bool synced) {
    using namespace Orrin::Inspect;
    switch (op) {
      case opMemberCount:
        new (result) std::uint32_t(coll.size());
        return statusDone;
      case opSecondSize:
        new (result) std::uint32_t(coll.allocatedSlots());
        return statusDone;
      case opContains:
        new (result) bool(coll[*static_cast<Index const*>(operand)] != nullptr);
        return statusDone;
      case opGet:
      case opGetIfPresent: {
        auto const* node = coll[*static_cast<Index const*>(operand)];
        if (synced) {
          // A synced key always holds its row; get gives the default entry
          // for an absent key, as syncedEntry does.
          if (node == nullptr) {
            if (op == opGetIfPresent) return statusAbsent;
            new (result) Entry();
            return statusDone;
          }
          new (result) Entry(valueOf(node));
          return statusDone;
        }
        if (node == nullptr) return op == opGetIfPresent ? statusAbsent : statusNoValue;
        if (!hasValue(node)) return statusNoValue;
        new (result) Entry(valueOf(node));
        return statusDone;
      }
      default:
        return statusNotSupported;
    }
  }

  template <class Node>
  static bool hasValue(Node const* n) {
    if constexpr (requires { n->value.hasValue(); }) {
      return n->value.hasValue();
    } else {
      return true;
    }
  }
  template <class Node>
  static Entry const& valueOf(Node const* n) {
    if constexpr (requires { n->value.hasValue(); }) {
      return *n->value;
    } else {
      return n->value;
    }
  }

  template <class Coll>
  static void* collectionIterator(Coll const& coll, Index const* start,
                                  Orrin::Inspect::IterHooks const** hooksOut) {
    void* storage = Pooler::slabAllocOrStdMalloc(sizeof(CoreIter), Pooler::slabOrStdMalloc);
    if (storage == nullptr) return nullptr;
    *hooksOut = &kIterHooks;
    if (start == nullptr) return new (storage) CoreIter(coll.begin().generic());
    return new (storage) CoreIter(coll.at(*start).generic());
  }

  static bool iterNonnull(Kiva::KivaAttr const& attr, void* it) {
    if (attr.attributeId() == TableAttr::entry) return !static_cast<EntryIter*>(it)->atEnd();
    return static_cast<CoreIter*>(it)->currNodeNonStale() != nullptr;
  }

  static bool iterKey(Kiva::KivaAttr const& attr, void* it, void* keyOut) {
    switch (attr.attributeId()) {
      case TableAttr::entry:
        new (keyOut) Index(static_cast<EntryIter*>(it)->key());
        break;
      case TableAttr::resolvedEntry:
        new (keyOut) Index(resolvedNode(it)->key);
        break;
      default:
        new (keyOut) Index(syncedNode(it)->key);
        break;
    }
    return true;
  }

  static bool iterObj(Kiva::KivaAttr const& attr, void* it, void* out) {
    switch (attr.attributeId()) {
      case TableAttr::entry:
        // Raises should the value be empty.
        new (out) Entry(static_cast<EntryIter*>(it)->value().value());
        return true;
      case TableAttr::resolvedEntry: {
        auto const* node = resolvedNode(it);
        if (!node->value.hasValue()) return false;
        new (out) Entry(*node->value);
        return true;
      }
      default:
        new (out) Entry(syncedNode(it)->value);
        return true;
    }
  }

  static void iterInc(Kiva::KivaAttr const& attr, void* it) {
    if (attr.attributeId() == TableAttr::entry) {
      static_cast<EntryIter*>(it)->advance();
    } else {
      static_cast<CoreIter*>(it)->advance();
    }
  }

  static void iterDel(Kiva::KivaAttr const& attr, void* it) {
    if (it == nullptr) return;
    if (attr.attributeId() == TableAttr::entry) {
      std::destroy_at(static_cast<EntryIter*>(it));
    } else {
      std::destroy_at(static_cast<CoreIter*>(it));
    }
    Pooler::slabFreeOrStdFree(it);
  }

  static typename Table::HN_ResolvedEntry const* resolvedNode(void* it) {
    return static_cast<typename Table::HN_ResolvedEntry const*>(
        static_cast<CoreIter*>(it)->currNodeNonStale());
  }
  static typename Table::HN_SyncedEntry const* syncedNode(void* it) {
    return static_cast<typename Table::HN_SyncedEntry const*>(
        static_cast<CoreIter*>(it)->currNodeNonStale());
  }

 public:
  // The module's five iteration hooks, handed out with every iterator.
  static inline Orrin::Inspect::IterHooks const kIterHooks{&iterObj, &iterKey, &iterNonnull,
                                                           &iterInc, &iterDel};
};

}  // namespace IfaRuntime
