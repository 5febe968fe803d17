// Feeds arbitrary text to the reader of every entry type. The first byte
// chooses the table ('a' + catalogue position, taken modulo the number of tables); the rest is
// the text. Reading may fail only with the reader's own errors; an entry that
// reads must print a text that reads back equal and prints the same again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>

#include "Kiva/StrepToValue.h"
#include "KivaOrrin/ValueToStrep.h"
#include "tables/IfaTables.h"

namespace {

[[noreturn]] void fail(std::string_view table, std::string const& what) {
  std::cerr << "entry-fuzzer: " << table << ": " << what << '\n';
  std::abort();
}

template <class Table>
void fuzzOne(std::string const& text) {
  using Entry = typename Table::Entry;
  Entry entry;
  try {
    entry = Kiva::strepToValue(Orrin::String(text), static_cast<Entry*>(nullptr));
  } catch (Orrin::RangeException const&) {
    return;
  } catch (Kiva::DeserializeException const&) {
    return;
  }
  Orrin::String const printed = KivaOrrin::Impl::valueToStrep(entry);
  Entry back;
  try {
    back = Kiva::strepToValue(printed, static_cast<Entry*>(nullptr));
  } catch (std::exception const& e) {
    fail(Table::kName, "printed text \"" + printed.str() + "\" does not read: " + e.what());
  }
  if (!(back == entry)) fail(Table::kName, "\"" + printed.str() + "\" reads back different");
  if (!(KivaOrrin::Impl::valueToStrep(back) == printed)) {
    fail(Table::kName, "\"" + printed.str() + "\" prints differently the second time");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t const choice = static_cast<std::size_t>(data[0] - 'a') % IfaRuntime::kTableCount;
  std::string const text(reinterpret_cast<char const*>(data + 1), size - 1);
  std::size_t index = 0;
  IfaRuntime::AllTables::forEach([&]<class Table>() {
    if (index++ == choice) fuzzOne<Table>(text);
  });
  return 0;
}
