// Prints every table's default entry and one sample entry in the text form,
// reads each text back, and checks that it reads as the entry printed.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <iostream>

#include "Kiva/StrepToValue.h"
#include "KivaOrrin/ValueToStrep.h"
#include "tables/IfaTables.h"

namespace {

// A sample entry: every field holds a non-zero value spread over its range.
template <class Entry>
Entry sampleEntry() {
  Entry e;
  std::uint64_t i = 0;
  IfaRuntime::forEachField<Entry>([&](auto const& f) {
    std::uint64_t const v = (0x9E3779B97F4A7C15ull * ++i) >> 33;
    f.set(e, static_cast<std::uint32_t>(v % f.kMax + 1));
  });
  return e;
}

template <class Entry>
bool show(char const* label, Entry const& e) {
  Orrin::String const text = KivaOrrin::Impl::valueToStrep(e);
  Entry const back = Kiva::strepToValue(text, static_cast<Entry*>(nullptr));
  bool const same = back == e;
  std::cout << "  " << label << ": \"" << text << "\""
            << (same ? "  (reads back equal)" : "  (READS BACK DIFFERENT)") << '\n';
  return same;
}

}  // namespace

int main() {
  bool ok = true;
  try {
    IfaRuntime::AllTables::forEach([&]<class Table>() {
      using Entry = typename Table::Entry;
      std::cout << Table::kQualifiedName << " (" << IfaRuntime::kFieldCount<Entry> << " fields)\n";
      ok = show("default", Entry{}) && ok;
      ok = show("sample ", sampleEntry<Entry>()) && ok;
    });
  } catch (std::exception const& e) {
    std::cerr << "ifa-entries: " << e.what() << '\n';
    return 1;
  }
  std::cout << (ok ? "All entries read back equal.\n" : "Some entries did not read back equal.\n");
  return ok ? 0 : 1;
}
