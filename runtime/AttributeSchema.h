// The attribute numbers of the four types of a table module, from the
// attribute schema (runtime/IfaAttributes.def): EntryAttr::numDependentFields,
// UtilAttr::minIndex, TableAttr::resolvedEntry and so on. The reflection hooks
// dispatch on them; the table announces changes under them.
#pragma once

#include <cstdint>
#include <iterator>

namespace IfaRuntime {

#define IFA_ATTR_ENUMERATOR(number, name, ...) name = number,
#define IFA_ATTR_NUMBER(number, ...) number,

struct EntryAttr {
  enum : std::uint32_t {
#define IFA_ENTRY_ATTR IFA_ATTR_ENUMERATOR
#define IFA_ENTRY_FIELD_ATTRS(firstNumber, ...) firstField = firstNumber,
#include "runtime/IfaAttributes.def"
  };
};

struct UtilAttr {
  enum : std::uint32_t {
#define IFA_UTIL_ATTR IFA_ATTR_ENUMERATOR
#include "runtime/IfaAttributes.def"
  };
  // The first and last numbers (the hooks answer "no such attribute" outside).
  static constexpr std::uint32_t kNumbers[] = {
#define IFA_UTIL_ATTR IFA_ATTR_NUMBER
#include "runtime/IfaAttributes.def"
  };
  static constexpr std::uint32_t kFirst = kNumbers[0];
  static constexpr std::uint32_t kLast = kNumbers[std::size(kNumbers) - 1];
};

struct TableAttr {
  enum : std::uint32_t {
#define IFA_TABLE_ATTR IFA_ATTR_ENUMERATOR
#include "runtime/IfaAttributes.def"
  };
};

#undef IFA_ATTR_ENUMERATOR
#undef IFA_ATTR_NUMBER

}  // namespace IfaRuntime
