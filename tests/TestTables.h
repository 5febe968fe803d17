// Helpers shared by the tests: the catalogue as gtest type lists, and random
// entries.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "tables/IfaTables.h"

namespace IfaTest {

template <class List>
struct GtestTypes;
template <class... T>
struct GtestTypes<IfaRuntime::TableList<T...>> {
  using type = ::testing::Types<T...>;
};
using AllTableTypes = GtestTypes<IfaRuntime::AllTables>::type;

// Names gtest's typed-test instances after the tables.
struct TableName {
  template <class Table>
  static std::string GetName(int) {
    return std::string(Table::kName);
  }
};

// The field values of an entry, in declaration order.
template <class Entry>
std::vector<std::uint64_t> fieldValues(Entry const& e) {
  std::vector<std::uint64_t> out;
  IfaRuntime::forEachField<Entry>([&](auto const& f) { out.push_back(f.get(e)); });
  return out;
}

// A random entry; values favour the ends of each field's range.
template <class Entry>
Entry randomEntry(std::mt19937_64& rng) {
  Entry e;
  IfaRuntime::forEachField<Entry>([&](auto const& f) {
    std::uint64_t v;
    switch (rng() % 4) {
      case 0:
        v = 0;
        break;
      case 1:
        v = f.kMax;
        break;
      default:
        v = rng() % (f.kMax + 1);
        break;
    }
    f.set(e, static_cast<std::uint32_t>(v));
  });
  return e;
}

}  // namespace IfaTest
