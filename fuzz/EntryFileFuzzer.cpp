// Feeds arbitrary text to the reader of ifa-inspect's entry files. The first
// byte chooses the table ('a' + catalogue position, taken modulo the number of
// tables), whose registered key and entry types the reader reads through the
// runtime's reflection; the rest is the file. Reading may fail only with the
// reader's own error, placed at FILE:LINE:COLUMN inside the text; the entries
// of a file that reads, printed back as KEY ENTRY-TEXT lines, must read back
// to the same entries.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "Orrin/ModuleInspectData.h"
#include "fuzz/TextPlaces.h"
#include "tables/IfaTables.h"
#include "tools/EntryFile.h"

namespace {

using IfaInspect::EntryFileError;
using IfaInspect::FileEntry;
using Orrin::ModuleInspectData;
using Orrin::Value;

std::string const kFile = "fuzz.txt";

[[noreturn]] void fail(std::string_view table, std::string const& what) {
  std::cerr << "entry-file-fuzzer: " << table << ": " << what << '\n';
  std::abort();
}

// The key and entry types the table's entryCommit takes, as the tool reads
// them.
struct Types {
  ModuleInspectData::TypeRef key;
  ModuleInspectData::TypeRef entry;
};

Types typesOf(std::string_view table) {
  ModuleInspectData::Type const* type = ModuleInspectData::type(table);
  if (type == nullptr) fail(table, "not registered");
  ModuleInspectData::Attribute const* commit = type->attribute("entryCommit");
  if (commit == nullptr || commit->args.size() != 2) fail(table, "no entryCommit(key, entry)");
  return {commit->args[0].type, commit->args[1].type};
}

std::vector<FileEntry> read(std::string_view text, Types const& types) {
  std::vector<FileEntry> entries;
  IfaInspect::readEntryFile(text, kFile, types.key, types.entry,
                            [&](FileEntry e) { entries.push_back(std::move(e)); });
  return entries;
}

void checkError(std::string_view table, EntryFileError const& e, std::string_view text) {
  IfaFuzz::TextPlaces const places(text);
  std::string const place =
      kFile + ":" + std::to_string(e.line()) + ":" + std::to_string(e.column()) + ": ";
  if (!std::string_view(e.what()).starts_with(place)) fail(table, "misplaced: " + place + e.what());
  if (!places.inside(e.line(), e.column())) {
    fail(table, "outside the text (" + std::to_string(places.lines()) + " lines): " + e.what());
  }
}

std::string printed(std::vector<FileEntry> const& entries) {
  std::string out;
  for (FileEntry const& e : entries) out += e.key.text() + " " + e.entry.text() + "\n";
  return out;
}

bool same(Value const& a, Value const& b) {
  Value::Result const r = a.equal(b);
  return r.status == Orrin::Inspect::statusDone && r.value && r.value->number() == 1;
}

void fuzzOne(std::string_view table, std::string_view text) {
  Types const types = typesOf(table);
  std::vector<FileEntry> entries;
  try {
    entries = read(text, types);
  } catch (EntryFileError const& e) {
    checkError(table, e, text);
    return;
  } catch (std::exception const& e) {
    fail(table, std::string("not the reader's error: ") + e.what());
  }
  std::string const out = printed(entries);
  std::vector<FileEntry> back;
  try {
    back = read(out, types);
  } catch (std::exception const& e) {
    fail(table, "printed entries do not read back: " + std::string(e.what()) + "\n" + out);
  }
  if (back.size() != entries.size()) fail(table, "entries lost:\n" + out);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (back[i].key.number() != entries[i].key.number() || !same(back[i].entry, entries[i].entry)) {
      fail(table, "reads back different: " + entries[i].entry.text());
    }
  }
  if (printed(back) != out) fail(table, "prints differently the second time:\n" + out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t const choice = static_cast<std::size_t>(data[0] - 'a') % IfaRuntime::kTableCount;
  std::string_view const text(reinterpret_cast<char const*>(data + 1), size - 1);
  std::size_t index = 0;
  IfaRuntime::AllTables::forEach([&]<class Table>() {
    if (index++ == choice) fuzzOne(Table::kQualifiedName, text);
  });
  return 0;
}
