#include "agent/Report.h"

#include <cstdio>

#include "text/Colour.h"

namespace IfaAgent {
namespace {

std::string pad(std::string text, std::size_t width, bool right) {
  if (text.size() >= width) return text;
  std::string const fill(width - text.size(), ' ');
  return right ? fill + text : text + fill;
}

// The fields that are not 0, as NAME=VALUE: what a configuration line gives.
std::string fieldsText(std::vector<FieldValue> const& fields, Base base) {
  std::string out;
  for (FieldValue const& f : fields) {
    if (f.value == 0) continue;
    if (!out.empty()) out += ' ';
    out += std::string(f.name) + "=" + valueText(f.value, base);
  }
  return out;
}

Json fieldsJson(std::vector<FieldValue> const& fields) {
  Json out = Json::object();
  for (FieldValue const& f : fields) out[std::string(f.name)] = f.value;
  return out;
}

// A table's figures; rowsWritten counts the rows written whole, new or
// rewritten, and rowsPurged the rows deleted.
Json figuresJson(TableFigures const& t, bool cold) {
  return Json{{"entries", t.entries},
              {"readBack", t.readBack},
              {"matched", t.matched},
              {"mismatched", t.mismatched},
              {"missing", t.missing},
              {"stale", t.stale},
              {"rowsWritten", cold ? t.entries : t.mismatched + t.missing},
              {"rowsPurged", t.stale}};
}

// A table's names: as the text reports give it, and qualified.
Json namesJson(std::string_view table, std::string_view qualified) {
  return Json{{"table", table}, {"qualified", qualified}};
}

char const* opName(Change::Op op) {
  switch (op) {
    case Change::Op::write:
      return "write";
    case Change::Op::rewrite:
      return "rewrite";
    case Change::Op::purge:
      return "purge";
  }
  return "";
}

Json changeJson(Change const& c) {
  Json out{{"op", opName(c.op)}, {"table", c.table}, {"qualified", c.qualified}, {"key", c.key}};
  switch (c.op) {
    case Change::Op::write:
      out["entry"] = fieldsJson(c.entry);
      break;
    case Change::Op::purge:
      out["row"] = fieldsJson(c.entry);
      break;
    case Change::Op::rewrite: {
      Json fields = Json::object();
      for (FieldChange const& f : c.fields) {
        fields[std::string(f.name)] = Json{{"from", f.from}, {"to", f.to}};
      }
      out["fields"] = fields;
      if (c.fields.empty()) {
        out["rowBefore"] = rowHex(c.rowBefore);
        out["rowAfter"] = rowHex(c.rowAfter);
      }
      break;
    }
  }
  return out;
}

}  // namespace

Json summaryJson(Summary const& s) {
  return Json{{"written", s.write},
              {"rewritten", s.rewrite},
              {"purged", s.purge},
              {"unchanged", s.unchanged}};
}

Json jsonDocument(std::string_view command) {
  return Json{{"formatVersion", kJsonFormatVersion}, {"command", command}};
}

std::string elide(std::string line, std::size_t width) {
  if (line.size() <= width) return line;
  line.resize(width - 3);
  return line + "...";
}

std::string rowHex(std::vector<std::uint8_t> const& row) {
  if (row.empty()) return "unknown";
  std::string out = "0x";
  for (auto it = row.rbegin(); it != row.rend(); ++it) {
    char byte[3];
    std::snprintf(byte, sizeof byte, "%02x", *it);
    out += byte;
  }
  return out;
}

std::string changeLine(Change const& c, Base base) {
  std::string const subject = std::string(c.table) + " " + std::to_string(c.key);
  switch (c.op) {
    case Change::Op::write:
    case Change::Op::purge: {
      // A table without fields has nothing to say after the key.
      std::string const fields = c.entry.empty() ? "" : fieldsText(c.entry, base);
      return (c.op == Change::Op::write ? "+ " : "- ") + subject +
             (c.entry.empty()  ? ""
              : fields.empty() ? " (all fields 0)"
                               : ": " + fields);
    }
    case Change::Op::rewrite: {
      if (c.fields.empty()) {
        return "~ " + subject + ": row " + rowHex(c.rowBefore) + " -> " + rowHex(c.rowAfter) +
               " (no field differs)";
      }
      std::string out = "~ " + subject + ": ";
      for (std::size_t i = 0; i < c.fields.size(); ++i) {
        FieldChange const& f = c.fields[i];
        out += (i ? ", " : "") + std::string(f.name) + ": " + valueText(f.from, base) + " -> " +
               valueText(f.to, base);
      }
      return out;
    }
  }
  return subject;
}

std::string listing(std::vector<Change> const& changes, TextStyle const& style) {
  std::string out;
  for (Change const& c : changes) {
    std::string line = "  " + changeLine(c, style.base);
    if (!style.wide) line = elide(std::move(line));
    IfaText::Colour const colour = c.op == Change::Op::write     ? IfaText::Colour::green
                                   : c.op == Change::Op::rewrite ? IfaText::Colour::yellow
                                                                 : IfaText::Colour::red;
    out += IfaText::painted(line, colour, style.colour) + '\n';
  }
  return out;
}

std::string summaryLine(Summary const& s, bool plan) {
  if (!s.changes()) return "No changes.";
  if (plan) {
    return std::to_string(s.write) + " to write, " + std::to_string(s.rewrite) + " to rewrite, " +
           std::to_string(s.purge) + " to purge, " + std::to_string(s.unchanged) + " unchanged";
  }
  return std::to_string(s.write) + " written, " + std::to_string(s.rewrite) + " rewritten, " +
         std::to_string(s.purge) + " purged, " + std::to_string(s.unchanged) + " unchanged";
}

TableFigures& TableFigures::operator+=(TableFigures const& o) {
  entries += o.entries;
  readBack += o.readBack;
  matched += o.matched;
  mismatched += o.mismatched;
  missing += o.missing;
  stale += o.stale;
  return *this;
}

TableFigures Report::total() const {
  TableFigures sum;
  sum.table = "total";
  for (TableFigures const& t : tables) sum += t;
  return sum;
}

Summary Report::summary() const {
  TableFigures const t = total();
  if (mode == Mode::cold) return {t.entries, 0, 0, 0};
  return {t.missing, t.mismatched, t.stale, t.matched};
}

std::string Report::text(TextStyle const& style) const {
  std::string out;
  bool const cold = mode == Mode::cold;
  std::string const chip = " (chip profile \"" + profile + "\")\n";
  if (plan && cold) {
    out += "plan: no image at " + image +
           " yet: a cold start (apply --create) would create it and write every entry\n";
  } else if (plan) {
    out += "plan for a warm restart of " + image + chip +
           "matched rows are left alone, mismatched rewritten, missing written, stale purged\n";
  } else if (cold) {
    out += "cold start: created " + image + chip;
  } else {
    out += "warm restart of " + image + chip;
  }
  // 28 + 6 * 11 columns: the longest table name fits, and the line 100.
  constexpr std::size_t kName = 28, kNum = 11;
  std::vector<char const*> const columns =
      cold ? std::vector<char const*>{"entries", "written"}
           : std::vector<char const*>{"entries",    "read back", "matched",
                                      "mismatched", "missing",   "stale"};
  auto row = [&](std::string_view name, std::vector<std::uint32_t> const& values) {
    out += pad(std::string(name), kName, false);
    for (std::uint32_t v : values) out += pad(std::to_string(v), kNum, true);
    out += '\n';
  };
  out += pad("table", kName, false);
  for (char const* c : columns) out += pad(c, kNum, true);
  out += '\n';
  auto values = [&](TableFigures const& t) {
    return cold ? std::vector<std::uint32_t>{t.entries, t.entries}
                : std::vector<std::uint32_t>{t.entries,    t.readBack, t.matched,
                                             t.mismatched, t.missing,  t.stale};
  };
  // A table with no entry and no row has no change either.
  for (TableFigures const& t : tables) {
    if (style.allTables || t.entries != 0 || t.readBack != 0) row(t.table, values(t));
  }
  row("total", values(total()));
  out += listing(changes, style);
  Summary const s = summary();
  if (plan && purgesAll) {
    std::uint32_t const rows = total().readBack;
    out += "warning: the configuration claims none of the " + std::to_string(rows) +
           (rows == 1 ? " row" : " rows") +
           " the image holds;\n         apply refuses it without --allow-purge-all\n";
  }
  if (cold && plan) {
    out += s.changes()
               ? summaryLine(s, true) + '\n'
               : "No entries: apply --create would create " + image + " and write nothing\n";
  } else if (cold) {
    out += "Created " + image + ": " +
           (s.changes() ? summaryLine(s, false) : std::string("no entries, nothing written")) +
           '\n';
  } else {
    out += summaryLine(s, plan) + '\n';
  }
  return out;
}

Json Report::json() const {
  bool const cold = mode == Mode::cold;
  Json out{{"command", plan ? "plan" : "apply"},
           {"mode", cold ? "cold" : "warm"},
           {"image", image},
           {"profile", profile}};
  Json list = Json::array();
  for (TableFigures const& t : tables) {
    Json table = namesJson(t.table, t.qualified);
    table.update(figuresJson(t, cold));
    list.push_back(std::move(table));
  }
  out["tables"] = std::move(list);
  out["total"] = figuresJson(total(), cold);
  Summary const s = summary();
  out["summary"] = summaryJson(s);
  if (purgesAll) out["purgesAll"] = true;
  if (listed) {
    Json details = Json::array();
    for (Change const& c : changes) details.push_back(changeJson(c));
    out["details"] = std::move(details);
  }
  // Last, so that two reports of the same change differ only at the end.
  if (phases) {
    out["phases"] = Json{
        {"syncUs", phases->syncUs}, {"replayUs", phases->replayUs}, {"purgeUs", phases->purgeUs}};
  }
  return out;
}

std::string showText(std::vector<ShownRow> const& rows, LineForm form, Base base) {
  std::string out;
  for (ShownRow const& row : rows) {
    if (form == LineForm::full) {
      out += row.line + '\n';
      continue;
    }
    std::string const fields = fieldsText(row.fields, base);
    out += std::string(row.table) + " " + std::to_string(row.key) +
           (fields.empty() ? "" : " " + fields) + '\n';
  }
  return out;
}

Json showJson(std::vector<ShownRow> const& rows, std::string const& image,
              std::string const& profile) {
  Json entries = Json::array();
  for (ShownRow const& row : rows) {
    Json entry = namesJson(row.table, row.qualified);
    entry.update(Json{{"key", row.key}, {"fields", fieldsJson(row.fields)}});
    entries.push_back(std::move(entry));
  }
  return Json{{"image", image}, {"profile", profile}, {"entries", std::move(entries)}};
}

std::string templateLine(TableDescription const& t) {
  std::string line = std::string(t.name) + " " + std::to_string(t.range.minIndex);
  for (auto const& f : t.fields) line += " " + std::string(f.name) + "=0";
  return line;
}

std::string tablesText(std::vector<TableDescription> const& tables, std::string const& profile,
                       bool one) {
  auto column = [](std::string text, std::size_t width) {
    return text.size() >= width ? text + " " : pad(std::move(text), width, false);
  };
  std::string out;
  if (!one) {
    out += "chip profile \"" + profile + "\": " + std::to_string(tables.size()) + " tables\n" +
           column("table", 30) + column("indices", 14) + "fields\n";
    for (auto const& t : tables) {
      out +=
          column(std::string(t.name), 30) +
          column(std::to_string(t.range.minIndex) + ".." + std::to_string(t.range.maxIndex), 14) +
          std::to_string(t.fields.size()) + '\n';
    }
    return out;
  }
  auto const& t = tables.front();
  out += std::string(t.name) + " (" + std::string(t.qualified) + "), chip profile \"" + profile +
         "\": indices " + std::to_string(t.range.minIndex) + ".." +
         std::to_string(t.range.maxIndex) + '\n';
  if (t.fields.empty()) {
    out += "no fields: an entry is its index\n";
  } else {
    out += column("field", 30) + column("bits", 6) + "values\n";
    for (auto const& f : t.fields) {
      out += column(std::string(f.name), 30) + column(std::to_string(f.bits), 6) + "0.." +
             std::to_string(f.max) + '\n';
    }
  }
  return out + "template: " + templateLine(t) + '\n';
}

Json tablesJson(std::vector<TableDescription> const& tables, std::string const& profile) {
  Json list = Json::array();
  for (auto const& t : tables) {
    Json fields = Json::array();
    for (auto const& f : t.fields)
      fields.push_back({{"name", f.name}, {"bits", f.bits}, {"max", f.max}});
    Json table = namesJson(t.name, t.qualified);
    table.update(Json{{"minIndex", t.range.minIndex},
                      {"maxIndex", t.range.maxIndex},
                      {"fields", fields},
                      {"template", templateLine(t)}});
    list.push_back(std::move(table));
  }
  return Json{{"profile", profile}, {"tables", std::move(list)}};
}

}  // namespace IfaAgent
