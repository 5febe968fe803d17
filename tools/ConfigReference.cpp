// ifa-config-reference: the reference of ifa-agent's configuration, written
// from the catalogue (every table and its fields) and the simulated chip's
// profiles (every index range), as Markdown (docs/configuration.md) or as
// the manual page ifa-agent.conf(5). A build tool; not installed.
#include <cctype>
#include <cstdint>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "IfaSwTablesVersion.h"
#include "agent/CliDocs.h"
#include "chip/ChipProfile.h"
#include "tables/IfaTables.h"

namespace {

// The document, one model for both forms: sections of paragraphs (`code`
// in backquotes), examples and two-column lists.
struct Block {
  enum class Kind { text, example, list } kind;
  std::vector<std::string> lines;  // text: one paragraph; example: its lines
  std::vector<std::pair<std::string, std::string>> items;  // list: term, meaning
};
struct Section {
  std::string title;
  bool sub = false;  // a table's section, under "Tables"
  std::vector<Block> blocks;
};

Block text(std::string paragraph) {
  return {Block::Kind::text, {std::move(paragraph)}, {}};
}
Block example(std::vector<std::string> lines) {
  return {Block::Kind::example, std::move(lines), {}};
}

std::string range(std::uint32_t min, std::uint32_t max) {
  return std::to_string(min) + ".." + std::to_string(max);
}

std::vector<Section> document() {
  std::vector<Section> out;
  out.push_back(
      {"Format",
       false,
       {text("One entry per line: the table (its name or qualified name), the index (the key: "
             "unsigned, decimal or `0x` hex) and the entry. `#` starts a comment; blank lines "
             "are ignored. `CONFIG` may be `-` for standard input; a file is at most 16777216 "
             "bytes."),
        example({"# table          index  entry",
                 "IfaVectorMatch   3      CorvaneInt::IfaVectorMatch::Entry(valid=1, "
                 "reqVector=4096, baseHdr=3)",
                 "IfaVectorMatch   4      valid=1 reqVector=4096 baseHdr=3",
                 "IfaSwitchId      0      0x0a000001", "IfaMetadataSelectProfile 2"}),
        text("The entry is given in the full text form, "
             "`CorvaneInt::TABLE::Entry(FIELD=VALUE, ...)` naming every field in the order "
             "below (a table of one field takes the bare value, a table of none nothing), or "
             "in the short form, `FIELD=VALUE` tokens separated by white space, in any order, "
             "a field left out being 0. Values are unsigned, decimal or `0x` hex, and at most "
             "the field's maximum."),
        text("Every problem of the file is reported as `FILE:LINE:COLUMN: ...`, naming the "
             "field at fault, and then nothing is written: an unknown table or field, an "
             "index outside the table's range on the chip, a key given twice, a value out of "
             "range. `ifa-agent validate CONFIG` checks a file without an image; `ifa-agent "
             "fmt CONFIG` prints it in the canonical form.")}});

  Section profiles{"Chip profiles", false, {}};
  profiles.blocks.push_back(
      text("The index range of each table is the chip's. The simulated chip has these "
           "profiles, chosen by the environment variable `IFA_CHIP_PROFILE` (the first is "
           "the default):"));
  Block list{Block::Kind::list, {}, {}};
  for (SimChip::ChipProfile const& p : SimChip::profiles())
    list.items.emplace_back(std::string(p.name), std::string(p.description));
  profiles.blocks.push_back(std::move(list));
  out.push_back(std::move(profiles));

  out.push_back({"Tables", false, {text("Every table of the catalogue, in catalogue order.")}});
  IfaRuntime::AllTables::forEach([&]<class Table>() {
    Section s{std::string(Table::kName), true, {}};
    std::string ranges;
    for (SimChip::ChipProfile const& p : SimChip::profiles()) {
      SimChip::TableRange const* r = p.range(Table::kQualifiedName);
      if (r == nullptr) continue;
      ranges += std::string(ranges.empty() ? "" : ", ") + "`" + range(r->minIndex, r->maxIndex) +
                "` on " + std::string(p.name);
    }
    s.blocks.push_back(text("`" + std::string(Table::kQualifiedName) + "`; index " + ranges + "."));
    Block fields{Block::Kind::list, {}, {}};
    std::string shortForm;
    IfaRuntime::forEachField<typename Table::Entry>([&](auto const& f) {
      std::uint64_t const max = f.kMax;
      fields.items.emplace_back(std::string(f.name), std::to_string(f.kBits) +
                                                         (f.kBits == 1 ? " bit" : " bits") + ", `" +
                                                         range(0, max) + "`");
      shortForm += " " + std::string(f.name) + "=0";
    });
    if (fields.items.empty()) {
      s.blocks.push_back(text("No fields: a line gives the table and the index only."));
    } else {
      s.blocks.push_back(std::move(fields));
    }
    s.blocks.push_back(example({std::string(Table::kName) + " 0" + shortForm}));
    out.push_back(std::move(s));
  });
  return out;
}

char const kIntro[] =
    "The configuration of `ifa-agent apply`, `plan`, `validate` and `fmt`: the entries the "
    "chip's IFA tables are to hold, one per line.";

void markdown(std::ostream& out) {
  out << "# Configuration reference\n\n"
         "<!-- Made by ifa-config-reference --markdown from the catalogue and the chip "
         "profiles; make test checks that it is current. -->\n\n"
      << kIntro << "\n";
  for (Section const& s : document()) {
    out << "\n" << (s.sub ? "### " : "## ") << s.title << "\n";
    for (Block const& b : s.blocks) {
      out << "\n";
      switch (b.kind) {
        case Block::Kind::text:
          out << b.lines.front() << "\n";
          break;
        case Block::Kind::example:
          out << "```\n";
          for (std::string const& l : b.lines) out << l << "\n";
          out << "```\n";
          break;
        case Block::Kind::list:
          out << "| " << (s.sub ? "field | width, values" : "profile | chip") << " |\n|---|---|\n";
          for (auto const& [term, meaning] : b.items)
            out << "| `" << term << "` | " << meaning << " |\n";
          break;
      }
    }
  }
}

// `code` as bold.
std::string roff(std::string_view markdownText) {
  std::string const escaped = CliDocs::roffText(markdownText);
  std::string out;
  bool open = false;
  for (char c : escaped) {
    if (c == '`') {
      out += open ? "\\fR" : "\\fB";
      open = !open;
    } else {
      out += c;
    }
  }
  return out;
}

void manPage(std::ostream& out) {
  out << CliDocs::roffHead({"ifa-agent.conf", 5, "the configuration of ifa-agent",
                            std::string("ifa-swtables ") + IFA_SWTABLES_VERSION,
                            IFA_SWTABLES_RELEASE_DATE, "File Formats"})
      << ".SH DESCRIPTION\n"
      << roff(kIntro) << "\n";
  for (Section const& s : document()) {
    out << (s.sub ? ".SS " : ".SH ") << CliDocs::roffText(s.sub ? s.title : [&] {
      std::string t = s.title;
      for (char& c : t) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      return t;
    }()) << "\n";
    for (Block const& b : s.blocks) {
      switch (b.kind) {
        case Block::Kind::text:
          out << ".PP\n" << roff(b.lines.front()) << "\n";
          break;
        case Block::Kind::example:
          out << ".PP\n.RS 2\n.nf\n";
          for (std::string const& l : b.lines) out << CliDocs::roffText(l) << "\n";
          out << ".fi\n.RE\n";
          break;
        case Block::Kind::list:
          for (auto const& [term, meaning] : b.items)
            out << ".TP\n\\fB" << CliDocs::roffText(term) << "\\fR\n" << roff(meaning) << "\n";
          break;
      }
    }
  }
  out << ".SH SEE ALSO\n.BR ifa-agent (1)\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::string_view const form = argc == 2 ? argv[1] : "";
  if (form == "--markdown") {
    markdown(std::cout);
  } else if (form == "--man") {
    manPage(std::cout);
  } else {
    std::cerr << "usage: ifa-config-reference --markdown | --man\n";
    return 64;
  }
  return 0;
}
