// Feeds arbitrary text to the agent's configuration reader, as a whole file,
// with the index ranges of the simulated chip's default profile. A text that
// reads must print, line by line as `show` prints it in either form (the
// short one in either base; an entry of all zeros as its table and index
// alone), a text that reads back to the same entries; a text that does not must be refused
// with a ConfigError whose problems name places inside the text. Nothing else
// may escape.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "agent/Config.h"
#include "chip/ChipProfile.h"
#include "fuzz/TextPlaces.h"

namespace {

using IfaAgent::Config;
using IfaAgent::ConfigError;
using IfaAgent::LineForm;

std::string const kFile = "fuzz.conf";

[[noreturn]] void fail(std::string const& what) {
  std::cerr << "config-fuzzer: " << what << '\n';
  std::abort();
}

IfaAgent::IndexRanges const& ranges() {
  static IfaAgent::IndexRanges const out = [] {
    IfaAgent::IndexRanges r;
    for (auto const& range : SimChip::profile(SimChip::kDefaultProfile).ranges) {
      r[std::string(range.table)] = {range.minIndex, range.maxIndex};
    }
    return r;
  }();
  return out;
}

// The entries of a table in key order, as `show` lists them.
template <class Table>
auto sorted(Config const& config) {
  auto items = config.table<Table>().items;
  std::sort(items.begin(), items.end(), [](auto const& a, auto const& b) { return a.key < b.key; });
  return items;
}

std::string shown(Config const& config, LineForm form, IfaAgent::Base base) {
  std::string out;
  IfaRuntime::AllTables::forEach([&]<class Table>() {
    for (auto const& item : sorted<Table>(config)) {
      out += IfaAgent::configLine<Table>(item.key, item.entry, form, base) + '\n';
    }
  });
  return out;
}

void checkRoundTrip(Config const& config, std::size_t lines, LineForm form,
                    IfaAgent::Base base = IfaAgent::Base::dec) {
  std::string const text = shown(config, form, base);
  std::string const formName = form == LineForm::full        ? "full"
                               : base == IfaAgent::Base::hex ? "named hex"
                                                             : "named";
  Config back;
  try {
    back = Config::parse(text, kFile, ranges());
  } catch (ConfigError const& e) {
    fail("the " + formName + " form does not read back: " + e.what() + "\n" + text);
  }
  IfaRuntime::AllTables::forEach([&]<class Table>() {
    auto const items = sorted<Table>(config);
    auto const& again = back.table<Table>().items;
    if (again.size() != items.size()) fail(std::string(Table::kName) + ": entries lost\n" + text);
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (items[i].line < 1 || items[i].line > lines) fail("an entry's line is outside the text");
      if (again[i].key != items[i].key || !(again[i].entry == items[i].entry)) {
        fail("the " + formName + " form reads back different: " +
             IfaAgent::configLine<Table>(items[i].key, items[i].entry, form, base));
      }
    }
  });
}

void checkRefusal(ConfigError const& e, IfaFuzz::TextPlaces const& places) {
  auto const& problems = e.problems();
  if (problems.empty()) fail("a ConfigError without problems");
  if (e.what() != problems.front().text()) fail("what() is not the first problem");
  std::size_t const listed = std::min(e.total(), Config::kMaxProblems);
  if (problems.size() != listed) fail("problems listed: " + std::to_string(problems.size()));
  if (e.unlisted() != e.total() - listed) fail("problems not listed miscounted");
  for (auto const& p : problems) {
    if (p.file != kFile) fail("problem in another file: " + p.text());
    if (!places.inside(p.line, p.column)) {
      fail("a problem outside the text (" + std::to_string(places.lines()) +
           " lines): " + p.text());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  std::string_view const text(reinterpret_cast<char const*>(data), size);
  IfaFuzz::TextPlaces const places(text);
  try {
    Config const config = Config::parse(text, kFile, ranges());
    checkRoundTrip(config, places.lines(), LineForm::full);
    checkRoundTrip(config, places.lines(), LineForm::named);
    checkRoundTrip(config, places.lines(), LineForm::named, IfaAgent::Base::hex);
  } catch (ConfigError const& e) {
    checkRefusal(e, places);
  } catch (std::exception const& e) {
    fail(std::string("unexpected exception: ") + e.what());
  }
  return 0;
}
