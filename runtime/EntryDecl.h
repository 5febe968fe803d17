// IFA_DECLARE_ENTRY: generates a table's Entry class from its field list.
//
// A field list is an X-macro taking one FIELD(Type, name) per field, in
// declaration order (the order of storage, comparison, text and reflection):
//
//     #define MY_FIELDS(FIELD) FIELD(Kiva::U1, valid) FIELD(std::uint32_t, rate)
//     IFA_DECLARE_ENTRY("CorvaneInt::MyTable::Entry", MY_FIELDS)
//
// The generated class derives from Asic::EntryBase, holds one member per field
// (default 0) and forwards every operation to the generic code of
// runtime/EntryFields.h.
#pragma once

#include <compare>
#include <cstdint>
#include <string_view>

#include "Asic/EntryBase.h"
#include "Kiva/CharRange.h"
#include "Kiva/UintTypes.h"
#include "runtime/EntryFields.h"

#define IFA_ENTRY_FIELD_MEMBER(Type, name) Type name{};
#define IFA_ENTRY_FIELD_DESCRIPTOR(Type, name) \
  , ::IfaRuntime::Field<&Entry::name> {        \
#name                                      \
  }

#define IFA_DECLARE_ENTRY(qualifiedTypeName, FIELDS)                                              \
  class Entry final : public ::Asic::EntryBase {                                                  \
   public:                                                                                        \
    static constexpr std::string_view kTypeName = qualifiedTypeName;                              \
    /* Constant attributes: no own block size, no dependent fields. */                            \
    static constexpr bool getBlockSizeDefinedByUser = false;                                      \
    static constexpr std::uint64_t numDependentFields = 0;                                        \
                                                                                                  \
    FIELDS(IFA_ENTRY_FIELD_MEMBER)                                                                \
                                                                                                  \
    static constexpr auto fields() {                                                              \
      return ::IfaRuntime::fieldList(                                                             \
          ::IfaRuntime::FieldListStart {} FIELDS(IFA_ENTRY_FIELD_DESCRIPTOR));                    \
    }                                                                                             \
                                                                                                  \
    Entry() = default;                                                                            \
    Entry(Entry const&) = default;                                                                \
    Entry& operator=(Entry const&) = default;                                                     \
    /* Reads one entry in the text form; raises on bad text. */                                   \
    explicit Entry(::Kiva::CharRange& range) { ::IfaRuntime::readEntry(*this, range); }           \
                                                                                                  \
    static bool isEq(void const* a, void const* b) {                                              \
      return ::IfaRuntime::entryEq(*static_cast<Entry const*>(a), *static_cast<Entry const*>(b)); \
    }                                                                                             \
    friend bool operator==(Entry const& a, Entry const& b) { return isEq(&a, &b); }               \
    std::strong_ordering operator<=>(Entry const& other) const {                                  \
      return ::IfaRuntime::entryCompare(*this, other);                                            \
    }                                                                                             \
    void strepWrite(::Kiva::StrepWriter& writer) const {                                          \
      ::IfaRuntime::writeEntry(*this, writer);                                                    \
    }                                                                                             \
    template <class F>                                                                            \
    void visitFieldValues(F&& visit) const {                                                      \
      ::IfaRuntime::visitFieldValues(*this, visit);                                               \
    }                                                                                             \
  };
