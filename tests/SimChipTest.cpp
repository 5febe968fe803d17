// The simulated chip: rows packed bit-exactly from every table's declaration,
// the image's header and its refusals, and the chip's Utils driven by the
// engine through a cold start and warm restarts, checked against a reference
// model of what reconciliation must do.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "TestFiles.h"
#include "TestTables.h"
#include "chip/SimChip.h"

namespace {

using SimChip::RowFormat;

template <class Table>
class RowFormatAllTables : public ::testing::Test {};
TYPED_TEST_SUITE(RowFormatAllTables, IfaTest::AllTableTypes, IfaTest::TableName);

// The row size follows from the declared widths; every field lies in its own
// bits, right after the fields before it, and random entries survive a round
// trip through a row.
TYPED_TEST(RowFormatAllTables, PacksEveryFieldAtItsDeclaredWidthAndRoundTrips) {
  using Entry = typename TypeParam::Entry;
  using Format = RowFormat<Entry>;
  unsigned widths = 0;
  IfaRuntime::forEachField<Entry>([&](auto const& f) { widths += f.kBits; });
  EXPECT_EQ(Format::kBits, 1 + widths);
  EXPECT_EQ(Format::kBytes, (Format::kBits + 7) / 8);

  // A default entry is a row with only its valid bit set.
  typename Format::Row const empty = Format::pack(Entry());
  EXPECT_EQ(empty[0], 1u);
  for (std::size_t i = 1; i < Format::kBytes; ++i) EXPECT_EQ(empty[i], 0u) << i;

  // One field at its maximum sets exactly its bits.
  unsigned offset = 1;
  IfaRuntime::forEachField<Entry>([&](auto const& f) {
    Entry e;
    f.set(e, static_cast<std::uint32_t>(f.kMax));
    typename Format::Row const row = Format::pack(e);
    for (unsigned bit = 0; bit < Format::kBytes * 8; ++bit) {
      bool const set = (row[bit / 8] >> (bit % 8)) & 1u;
      bool const want = bit == 0 || (bit >= offset && bit < offset + f.kBits);
      EXPECT_EQ(set, want) << f.name << " bit " << bit;
    }
    offset += f.kBits;
  });

  std::mt19937_64 rng(7);
  for (int i = 0; i < 500; ++i) {
    Entry const e = IfaTest::randomEntry<Entry>(rng);
    typename Format::Row const row = Format::pack(e);
    EXPECT_TRUE(Format::valid(row.data()));
    Entry const back = Format::unpack(row.data());
    EXPECT_EQ(IfaTest::fieldValues(back), IfaTest::fieldValues(e));
  }
}

TEST(RowFormat, VectorMatchRowHasTheDocumentedBits) {
  using Entry = CorvaneInt::IfaVectorMatch::Entry;
  Entry e;
  e.valid = 1;
  e.reqVector = 0x12345678;
  e.baseHdr = 5;
  // bit 0 valid, bit 1 field valid, bits 2..33 reqVector, bits 34..36 baseHdr.
  std::uint64_t const bits = 1u | 1u << 1 | std::uint64_t{0x12345678} << 2 | std::uint64_t{5} << 34;
  auto const row = RowFormat<Entry>::pack(e);
  ASSERT_EQ(row.size(), 5u);
  for (std::size_t i = 0; i < row.size(); ++i) EXPECT_EQ(row[i], (bits >> (8 * i)) & 0xFF) << i;
}

// --- Image ---

using IfaTest::contents;
using IfaTest::TempDir;

void patch(std::string const& path, std::size_t at, std::string const& bytes) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(static_cast<std::streamoff>(at));
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string openError(SimChip::ImageLayout const& layout, std::string const& path) {
  SimChip::AsicImage image(layout);
  try {
    image.open(path, false);
  } catch (Asic::ChipDevice::Error const& e) {
    EXPECT_FALSE(image.isOpen());
    return e.what();
  }
  return "opened";
}

// A new image opens again and holds no row; its exact bytes, header and
// rows, are pinned by the agent's golden images.
TEST(AsicImage, ANewImageOpensAgainWithEveryRowClear) {
  TempDir dir;
  SimChip::ImageLayout const layout = SimChip::imageLayout(SimChip::profile("corvane-sim-a"));
  std::string const path = dir.file("a.img");
  SimChip::AsicImage(layout).create(path);
  std::string const bytes = contents(path);
  ASSERT_EQ(bytes.size(), layout.imageBytes);
  EXPECT_EQ(bytes.find_first_not_of('\0', SimChip::ImageLayout::kHeaderBytes), std::string::npos);
  EXPECT_EQ(openError(layout, path), "opened");
}

TEST(AsicImage, RefusesAnImageThatIsNotThisChipsAndLeavesItUntouched) {
  TempDir dir;
  SimChip::ImageLayout const layout = SimChip::imageLayout(SimChip::profile("corvane-sim-a"));
  SimChip::ImageLayout const small = SimChip::imageLayout(SimChip::profile("corvane-sim-small"));
  std::string const path = dir.file("x.img");
  auto fresh = [&](SimChip::ImageLayout const& l) {
    std::filesystem::remove(path);
    SimChip::AsicImage image(l);
    image.create(path);
  };
  struct Case {
    std::size_t at;
    std::string bytes;
    std::string message;
  };
  std::vector<Case> const cases = {
      {0, "JUNK", "not an IFA ASIC image (no \"IFAASIC\" magic in a 4096-byte header)"},
      {8, std::string("\x02", 1), "format version 2, this chip reads version 1"},
      {12, std::string("\x00\x20", 2), "header of 8192 bytes, expected 4096"},
      {16, "corvane-sim-b",
       "made for chip profile \"corvane-sim-b\", this chip is \"corvane-sim-a\""},
      {48, std::string("\x0d", 1), "13 tables, this chip has 14"},
      {64 + 10, "X",
       "table 0 (CorvaneInt::IfaActionProfile): the image has \"CorvaneIntX:IfaActionProfile\" "
       "there"},
      {64 + 64 + 52, std::string("\x7f", 1),
       "table 1 (CorvaneInt::IfaActionVector): maxIndex 127 in the image, 255 expected"},
      {64 + 58, std::string("\x07", 1),
       "table 0 (CorvaneInt::IfaActionProfile): row bytes 7 in the image, 6 expected"},
      {4000, "x", "the header's unused bytes are not zero"},
  };
  for (Case const& c : cases) {
    fresh(layout);
    patch(path, c.at, c.bytes);
    std::string const before = contents(path);
    EXPECT_EQ(openError(layout, path), "image " + path + ": " + c.message) << c.at;
    EXPECT_EQ(contents(path), before);
  }
  // An image of another profile, and a truncated or an empty file.
  fresh(small);
  EXPECT_EQ(openError(layout, path), "image " + path +
                                         ": made for chip profile \"corvane-sim-small\", this "
                                         "chip is \"corvane-sim-a\"");
  fresh(layout);
  std::filesystem::resize_file(path, layout.imageBytes - 64);
  EXPECT_EQ(openError(layout, path),
            "image " + path + ": image of " + std::to_string(layout.imageBytes - 64) +
                " bytes (header says " + std::to_string(layout.imageBytes) + "), " +
                std::to_string(layout.imageBytes) + " expected");
  std::filesystem::resize_file(path, 0);
  EXPECT_EQ(openError(layout, path),
            "image " + path + ": not an IFA ASIC image (0 bytes, shorter than its header)");
  // Creating over an existing file is refused; a missing file cannot be opened.
  SimChip::AsicImage image(layout);
  EXPECT_THROW(image.create(path), Asic::ChipDevice::Error);
  EXPECT_EQ(openError(layout, dir.file("none.img"))
                .rfind("image " + dir.file("none.img") + ": cannot open: ", 0),
            0u);
}

// Any one field of the header changed, in the header or in any descriptor,
// is refused by a message that names the field (and its table).
TEST(AsicImage, RefusesAHeaderWithAnyOneFieldChangedAndNamesTheField) {
  SimChip::ImageLayout const layout = SimChip::imageLayout(SimChip::profile("corvane-sim-a"));
  std::vector<std::uint8_t> const header = layout.header();
  std::vector<bool> covered(header.size(), false);
  layout.checkHeader(header.data(), layout.imageBytes, "p");
  for (SimChip::HeaderField const& f : SimChip::kHeaderFields) {
    for (std::size_t i = 0; i < (f.perRegion ? layout.regions.size() : 1); ++i) {
      std::size_t const at = SimChip::ImageLayout::fieldAt(f, i);
      for (std::size_t b = at; b < at + f.bytes; ++b) {
        EXPECT_FALSE(covered[b]) << f.name << " overlaps at " << b;
        covered[b] = true;
      }
      std::vector<std::uint8_t> changed = header;
      changed[at] ^= 1;
      std::string message = "accepted";
      try {
        layout.checkHeader(changed.data(), layout.imageBytes, "p");
      } catch (Asic::ChipDevice::Error const& e) {
        message = e.what();
      }
      std::string const table =
          f.perRegion ? "table " + std::to_string(i) + " (" + layout.regions[i].table + "): " : "";
      EXPECT_EQ(message.rfind("image p: " + table, 0), 0u) << message;
      EXPECT_NE(message.find(f.name), std::string::npos) << f.name << ": " << message;
    }
  }
}

// --- The chip's Utils under the engine ---

// All fourteen tables on one chip, for one run.
template <class Table>
struct Slot {
  Orrin::Ptr<Table> table;
};

struct Rig {
  explicit Rig(SimChip::Chip& chip) : chip(chip) {}
  template <class Table>
  Orrin::Ptr<Table> make() {
    Orrin::Ptr<Table> t = Orrin::ptrIsImpl<Table>();
    Orrin::Ptr<Asic::SwTable::Util> util(new SimChip::SimUtil<Table>(chip));
    auto const* typed = static_cast<typename Table::Util const*>(util.get());
    t->doCreateHwTable(Orrin::String(Table::kQualifiedName), typed->minIndex(), typed->maxIndex());
    t->utilIs(util);
    return t;
  }
  SimChip::Chip& chip;
};

// What the rows of one table should be, and a reference model of a warm
// restart: rows equal to the wanted entry are matched, different ones
// mismatched, absent ones missing, unwanted ones stale.
template <class Table>
using Rows = std::map<std::uint32_t, typename Table::Entry>;

template <class Table>
Rows<Table> randomRows(std::mt19937_64& rng, std::uint32_t min, std::uint32_t max) {
  Rows<Table> rows;
  std::uint64_t const span = std::uint64_t{max} - min + 1;
  std::size_t const n = rng() % (std::min<std::uint64_t>(span, 12) + 1);
  for (std::size_t i = 0; i < n; ++i) {
    auto const key = static_cast<std::uint32_t>(min + rng() % span);
    // Half the time reuse a value, so that equal rows occur for every table.
    rows[key] =
        rng() % 2 ? typename Table::Entry() : IfaTest::randomEntry<typename Table::Entry>(rng);
  }
  return rows;
}

template <class Table>
Rows<Table> readBack(Rig& rig) {
  Orrin::Ptr<Table> t = rig.make<Table>();
  t->syncEntries();
  Rows<Table> rows;
  for (auto it = t->syncedEntryColl().begin(); !it.atEnd(); it.advance()) {
    rows[it.staleNode()->key.value] = it.staleNode()->value;
  }
  EXPECT_EQ(t->hwTable()->indexUserTracker()->indicesInUse(), rows.size());
  t->utilIs({});
  return rows;
}

template <class Table>
void expectSameRows(Rows<Table> const& a, Rows<Table> const& b) {
  ASSERT_EQ(a.size(), b.size());
  for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib) {
    EXPECT_EQ(ia->first, ib->first);
    EXPECT_EQ(IfaTest::fieldValues(ia->second), IfaTest::fieldValues(ib->second)) << ia->first;
  }
}

template <class Table>
class SimUtilAllTables : public ::testing::Test {};
TYPED_TEST_SUITE(SimUtilAllTables, IfaTest::AllTableTypes, IfaTest::TableName);

TYPED_TEST(SimUtilAllTables, ColdStartThenWarmRestartsReconcileAsTheModelSays) {
  using Table = TypeParam;
  TempDir dir;
  SimChip::Chip chip(SimChip::profile("corvane-sim-small"));
  Rig rig(chip);
  std::string const image = dir.file("chip.img");
  std::mt19937_64 rng(std::hash<std::string_view>()(Table::kName));
  auto const* range = chip.profile().range(Table::kQualifiedName);
  ASSERT_NE(range, nullptr);

  chip.attach(image, Asic::ChipDevice::Mode::create, {});
  Rows<Table> current = randomRows<Table>(rng, range->minIndex, range->maxIndex);
  {
    Orrin::Ptr<Table> t = rig.make<Table>();
    t->doInitComplete();
    for (auto const& [key, entry] : current) t->entryCommit(key, entry);
    t->utilIs({});  // the rows stay when the table goes
  }
  chip.detach();

  for (int round = 0; round < 20; ++round) {
    Rows<Table> const wanted = randomRows<Table>(rng, range->minIndex, range->maxIndex);
    Asic::SwTable::ReconciliationStatistics model;
    for (auto const& [key, entry] : wanted) {
      auto const it = current.find(key);
      if (it == current.end()) {
        ++model.entryMissing;
      } else if (it->second == entry) {
        ++model.entryMatched;
      } else {
        ++model.entryMismatched;
      }
    }
    for (auto const& [key, entry] : current) model.entryStale += wanted.count(key) ? 0 : 1;

    chip.attach(image, Asic::ChipDevice::Mode::open, {});
    {
      Orrin::Ptr<Table> t = rig.make<Table>();
      t->syncEntries();
      EXPECT_EQ(t->syncedEntrys(), current.size());
      for (auto const& [key, entry] : wanted) t->entryCommit(key, entry);
      t->doInitComplete();
      t->purgeStaleEntries();
      EXPECT_EQ(t->statistics(), model) << "round " << round;
      // Every wanted row holds exactly one use of its index.
      auto const* tracker = t->hwTable()->indexUserTracker();
      EXPECT_EQ(tracker->indicesInUse(), wanted.size());
      for (auto const& [key, entry] : wanted) EXPECT_EQ(tracker->uses(key), 1u) << key;
      EXPECT_EQ(tracker->refusals(), 0u);
      t->utilIs({});
    }
    expectSameRows<Table>(readBack<Table>(rig), wanted);
    chip.detach();
    current = wanted;
  }
}

TEST(SimUtil, TrackerRefusesAnInconsistentUpdateAndRangesAreChecked) {
  TempDir dir;
  SimChip::Chip chip(SimChip::profile("corvane-sim-small"));
  Rig rig(chip);
  using Table = CorvaneInt::IfaPortSwTable;
  Orrin::Ptr<Table> t = rig.make<Table>();
  EXPECT_EQ(t->minIndex(), 1u);
  EXPECT_EQ(t->maxIndex(), 32u);
  auto const* util = t->util();
  // No image attached: the row cannot be reached.
  Table::Entry e;
  e.ifaEnable = 1;
  EXPECT_THROW(util->hwTableEntryIs(t.get(), 1, Kiva::Optional<Table::Entry>(e)), std::logic_error);
  chip.attach(dir.file("p.img"), Asic::ChipDevice::Mode::create, {});
  try {
    util->hwTableEntryIs(t.get(), 33, Kiva::Optional<Table::Entry>(e));
    ADD_FAILURE() << "no error";
  } catch (std::out_of_range const& x) {
    EXPECT_STREQ(
        x.what(),
        "CorvaneInt::IfaPortSwTable: index 33 is outside the hardware table's range 1..32");
  }
  try {
    util->updateHwIndexRefCountTracker(t->hwTable(), 5,
                                       Asic::IndexUserTracker::OpType::releaseValue);
    ADD_FAILURE() << "no error";
  } catch (Asic::IndexUserTracker::Error const& x) {
    EXPECT_EQ(x.index(), 5u);
    EXPECT_EQ(x.operation(), "releaseValue (3)");
  }
  // An empty value clears the row; compare sees a cleared row as different.
  t->doInitComplete();
  t->entryCommit(4, e);
  EXPECT_TRUE(util->compareHwEntries(t.get(), 4, e));
  t->resolvedEntryIs(4, Kiva::Optional<Table::Entry>());
  EXPECT_FALSE(util->compareHwEntries(t.get(), 4, Table::Entry()));
  EXPECT_FALSE(RowFormat<Table::Entry>::valid(chip.row(chip.regionOf(Table::kQualifiedName), 4)));
  t->utilIs({});
}

}  // namespace
