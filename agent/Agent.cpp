#include "agent/Agent.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <tuple>

#include "agent/ImageLock.h"

namespace IfaAgent {
namespace {

// Calls f.template operator()<Table>(slot) for each table with its catalogue
// position.
template <class F>
void forEachTable(F&& f) {
  std::size_t slot = 0;
  IfaRuntime::AllTables::forEach([&]<class Table>() { f.template operator()<Table>(slot++); });
}

// The chip plug-ins' search path: SIDECAR_PLUGIN_PATH, or the directory
// installed with the library.
std::vector<std::string> pluginSearchPath() {
  char const* path = std::getenv("SIDECAR_PLUGIN_PATH");
  if (path == nullptr) return {IfaHost::pluginDirectory()};
  std::vector<std::string> directories;
  std::string_view rest(path);
  while (true) {
    std::size_t const colon = rest.find(':');
    directories.emplace_back(rest.substr(0, colon));
    if (colon == std::string_view::npos) return directories;
    rest.remove_prefix(colon + 1);
  }
}

// The length of the well-formed UTF-8 sequence at the start of `text`, or 0.
std::size_t utf8Sequence(std::string_view text) {
  auto const byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char const lead = byte(0);
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

// A JSON string of `text`. JSON text is UTF-8: a byte that does not belong to
// a well-formed UTF-8 sequence (a file name is any bytes) is written as
// U+FFFD, the replacement character.
std::string jsonString(std::string_view text) {
  std::string out = "\"";
  while (!text.empty()) {
    char const c = text.front();
    if (static_cast<unsigned char>(c) >= 0x80) {
      std::size_t const n = utf8Sequence(text);
      out += n == 0 ? std::string_view("\\ufffd") : text.substr(0, n);
      text.remove_prefix(n == 0 ? 1 : n);
      continue;
    }
    text.remove_prefix(1);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string pad(std::string text, std::size_t width, bool right) {
  if (text.size() >= width) return text;
  std::string const fill(width - text.size(), ' ');
  return right ? fill + text : text + fill;
}

// Adds up the steady-clock time of the spans it is started and stopped
// around.
class PhaseClock {
 public:
  void start() { since_ = std::chrono::steady_clock::now(); }
  void stop() { total_ += std::chrono::steady_clock::now() - since_; }
  std::uint64_t micros() const {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(total_).count());
  }

 private:
  std::chrono::steady_clock::time_point since_;
  std::chrono::steady_clock::duration total_{};
};

// Whether anything is at the resolved image path (a FIFO or a directory
// there is found, and refused when attached).
bool imageExists(std::string const& resolvedImage) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(resolvedImage, ec));
}

AgentError noImage(std::string const& image) {
  return AgentError(AgentError::Kind::image,
                    "no image at " + image + "; nothing was created (--create to cold-start one)");
}

// `message` with the image named as the user gave it (`image`) instead of by
// the path it resolves to (`target`).
std::string naming(std::string message, std::string const& target, std::string const& image) {
  if (target == image) return message;
  std::string const from = "image " + target, to = "image " + image;
  for (std::size_t at = 0; (at = message.find(from, at)) != std::string::npos; at += to.size()) {
    message.replace(at, from.size(), to);
  }
  return message;
}

}  // namespace

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

std::string Report::text() const {
  std::ostringstream out;
  bool const cold = mode == Mode::cold;
  if (plan && cold) {
    out << "plan: no image at " << image
        << " yet: a cold start (apply --create) would create it and write every entry\n";
  } else if (plan) {
    out << "plan for a warm restart of " << image << " (chip profile \"" << profile
        << "\"): matched rows are left alone, mismatched rewritten, missing written, stale "
           "purged\n";
  } else if (cold) {
    out << "cold start: created " << image << " (chip profile \"" << profile << "\")\n";
  } else {
    out << "warm restart of " << image << " (chip profile \"" << profile << "\")\n";
  }
  constexpr std::size_t kName = 42, kNum = 12;
  std::vector<std::string> const columns =
      cold ? std::vector<std::string>{"entries", "written"}
           : std::vector<std::string>{"entries",    "read back", "matched",
                                      "mismatched", "missing",   "stale"};
  auto row = [&](std::string const& name, std::vector<std::uint32_t> const& values) {
    out << pad(name, kName, false);
    for (std::uint32_t v : values) out << pad(std::to_string(v), kNum, true);
    out << '\n';
  };
  out << pad("table", kName, false);
  for (std::string const& c : columns) out << pad(c, kNum, true);
  out << '\n';
  auto values = [&](TableFigures const& t) {
    return cold ? std::vector<std::uint32_t>{t.entries, t.entries}
                : std::vector<std::uint32_t>{t.entries,    t.readBack, t.matched,
                                             t.mismatched, t.missing,  t.stale};
  };
  for (TableFigures const& t : tables) row(t.table, values(t));
  row("total", values(total()));
  for (std::string const& d : details) out << "  " << d << '\n';
  return out.str();
}

std::string Report::json() const {
  bool const cold = mode == Mode::cold;
  auto figures = [&](TableFigures const& t) {
    std::ostringstream o;
    o << "\"entries\":" << t.entries << ",\"readBack\":" << t.readBack
      << ",\"matched\":" << t.matched << ",\"mismatched\":" << t.mismatched
      << ",\"missing\":" << t.missing << ",\"stale\":" << t.stale
      << ",\"written\":" << (cold ? t.entries : t.mismatched + t.missing)
      << ",\"deleted\":" << t.stale;
    return o.str();
  };
  std::ostringstream out;
  out << "{\"command\":" << jsonString(plan ? "plan" : "apply")
      << ",\"mode\":" << jsonString(cold ? "cold" : "warm") << ",\"image\":" << jsonString(image)
      << ",\"profile\":" << jsonString(profile) << ",\"tables\":[";
  for (std::size_t i = 0; i < tables.size(); ++i) {
    out << (i ? "," : "") << "{\"table\":" << jsonString(tables[i].table) << ","
        << figures(tables[i]) << "}";
  }
  out << "],\"total\":{" << figures(total()) << "}";
  if (phases) {
    out << ",\"phases\":{\"syncUs\":" << phases->syncUs << ",\"replayUs\":" << phases->replayUs
        << ",\"purgeUs\":" << phases->purgeUs << "}";
  }
  if (!details.empty()) {
    out << ",\"details\":[";
    for (std::size_t i = 0; i < details.size(); ++i) {
      out << (i ? "," : "") << jsonString(details[i]);
    }
    out << "]";
  }
  out << "}\n";
  return out.str();
}

Agent::Agent() : chip_(pluginSearchPath()) {
  forEachTable([&]<class Table>(std::size_t) {
    auto const& util = chip_.template util<Table>();
    ranges_[std::string(Table::kQualifiedName)] = {util->minIndex(), util->maxIndex()};
  });
}

Agent::~Agent() = default;

Report Agent::apply(Config const& config, std::string const& image, ApplyOptions const& options,
                    Progress const& progress) {
  std::string const target = resolveImagePath(image);
  // A path where nothing is is refused before the lock is taken, so that a
  // mistyped path leaves no lock file behind either.
  if (!options.create && !imageExists(target)) throw noImage(image);
  try {
    ImageLock const lock(target, ImageLock::Mode::exclusive, lockWait_);
    if (imageExists(target)) {
      return warmRestart(config, image, target, false, false, options.allowPurgeAll, progress);
    }
    if (!options.create) throw noImage(image);  // removed while the lock was awaited
    return coldStart(config, image, target, progress);
  } catch (AgentError const& e) {
    throw AgentError(e.kind(), naming(e.what(), target, image));
  } catch (Asic::ChipDevice::IoError const& e) {
    throw Asic::ChipDevice::IoError(naming(e.what(), target, image));
  } catch (Asic::ChipDevice::Error const& e) {
    throw Asic::ChipDevice::Error(naming(e.what(), target, image));
  }
}

Report Agent::coldStart(Config const& config, std::string const& image, std::string const& target,
                        Progress const& progress) {
  IfaHost::TableSet run(chip_, target, Asic::ChipDevice::Mode::create);
  Report report{Report::Mode::cold, false, image, profileName(), {}, {}, {}};
  std::size_t done = 0;
  std::size_t const total = config.size();
  PhaseClock commits;  // the progress reports excluded
  forEachTable([&]<class Table>(std::size_t) {
    Table& table = run.table<Table>();
    table.doInitComplete();
    TableFigures figures;
    figures.table = std::string(Table::kQualifiedName);
    commits.start();
    for (auto const& item : config.table<Table>().items) {
      table.entryCommit(item.key, item.entry);
      ++figures.entries;
      if (progress) {
        commits.stop();
        progress(++done, total);
        commits.start();
      }
    }
    commits.stop();
    report.tables.push_back(figures);
  });
  report.phases = Phases{0, commits.micros(), 0};
  run.sync();
  return report;
}

Report Agent::plan(Config const& config, std::string const& image, bool verbose) {
  std::string const target = resolveImagePath(image);
  ImageLock const lock(target, ImageLock::Mode::shared, lockWait_);
  if (imageExists(target)) return warmRestart(config, image, target, true, verbose, true, {});
  Report report{Report::Mode::cold, true, image, profileName(), {}, {}, {}};
  forEachTable([&]<class Table>(std::size_t) {
    TableFigures figures;
    figures.table = std::string(Table::kQualifiedName);
    figures.entries = static_cast<std::uint32_t>(config.table<Table>().items.size());
    report.tables.push_back(figures);
    if (!verbose) return;
    for (auto const& item : config.table<Table>().items) {
      report.details.push_back(std::string(Table::kName) + " " + std::to_string(item.key) +
                               ": write");
    }
  });
  return report;
}

Report Agent::warmRestart(Config const& config, std::string const& image, std::string const& target,
                          bool plan, bool verbose, bool allowPurgeAll, Progress const& progress) {
  IfaHost::TableSet run(chip_, target,
                        plan ? Asic::ChipDevice::Mode::openPrivate : Asic::ChipDevice::Mode::open);
  Report report{Report::Mode::warm, plan, image, profileName(), {}, {}, {}};
  // Each clock times its phase's library calls only, not the report's
  // bookkeeping, the plan's per-key details or the progress reports.
  PhaseClock sync, replay, purge;
  // Read back.
  forEachTable([&]<class Table>(std::size_t) {
    Table& table = run.table<Table>();
    sync.start();
    table.syncEntries();
    sync.stop();
    TableFigures figures;
    figures.table = std::string(Table::kQualifiedName);
    figures.entries = static_cast<std::uint32_t>(config.table<Table>().items.size());
    figures.readBack = table.syncedEntrys();
    report.tables.push_back(figures);
    if (!verbose) return;
    // What the replay will do with each key, in key order.
    std::map<std::uint32_t, std::string> what;
    auto hardware = [&](std::uint32_t key) {
      std::string text(KivaOrrin::Impl::valueToStrep(table.syncedEntry(key)).view());
      return text.empty() ? std::string("an entry without fields") : text;
    };
    for (auto const& item : config.table<Table>().items) {
      auto const synced = table.syncedEntryGet(item.key);
      if (!synced.hasValue()) {
        what[item.key] = "write";
      } else if (*synced == item.entry) {
        what[item.key] = "leave alone";
      } else {
        what[item.key] = "rewrite, hardware holds " + hardware(item.key);
      }
    }
    for (auto it = table.syncedEntryColl().begin(); !it.atEnd(); it.advance()) {
      std::uint32_t const key = it.staleNode()->key.value;
      if (!what.count(key)) what[key] = "purge, hardware holds " + hardware(key);
    }
    for (auto const& [key, text] : what) {
      report.details.push_back(std::string(Table::kName) + " " + std::to_string(key) + ": " + text);
    }
  });
  // A configuration that claims none of the rows read back would purge them
  // all: more likely the wrong configuration or image than a wish. Refused
  // here, before the replay writes anything.
  if (!plan && !allowPurgeAll) {
    std::uint32_t const rows = report.total().readBack;
    bool claimed = false;
    forEachTable([&]<class Table>(std::size_t) {
      Table& table = run.table<Table>();
      for (auto const& item : config.table<Table>().items) {
        if (claimed) return;
        claimed = table.syncedEntryGet(item.key).hasValue();
      }
    });
    if (rows > 0 && !claimed) {
      std::string const count = std::to_string(rows) + (rows == 1 ? " row" : " rows");
      throw AgentError(AgentError::Kind::image,
                       "image " + image + ": the configuration claims none of the " + count +
                           " the image holds, so the apply would purge all " + count +
                           "; nothing was written (--allow-purge-all to purge them)");
    }
  }
  // Replay.
  std::size_t done = 0;
  std::size_t const total = config.size();
  replay.start();
  forEachTable([&]<class Table>(std::size_t) {
    Table& table = run.table<Table>();
    for (auto const& item : config.table<Table>().items) {
      table.entryCommit(item.key, item.entry);
      if (progress) {
        replay.stop();
        progress(++done, total);
        replay.start();
      }
    }
  });
  replay.stop();
  // End of replay, then the purge of what nobody claimed.
  purge.start();
  forEachTable([&]<class Table>(std::size_t) { run.table<Table>().doInitComplete(); });
  purge.stop();
  forEachTable([&]<class Table>(std::size_t slot) {
    Table& table = run.table<Table>();
    purge.start();
    table.purgeStaleEntries();
    purge.stop();
    auto const& s = table.statistics();
    TableFigures& figures = report.tables[slot];
    figures.matched = s.entryMatched;
    figures.mismatched = s.entryMismatched;
    figures.missing = s.entryMissing;
    figures.stale = s.entryStale;
  });
  if (!plan) report.phases = Phases{sync.micros(), replay.micros(), purge.micros()};
  run.sync();
  return report;
}

std::string Agent::show(std::string const& image, std::string_view tableName) {
  bool known = tableName.empty();
  forEachTable([&]<class Table>(std::size_t) {
    known = known || tableName == Table::kName || tableName == Table::kQualifiedName;
  });
  if (!known) {
    throw AgentError(AgentError::Kind::usage, "unknown table \"" + std::string(tableName) + "\"");
  }
  std::string const target = resolveImagePath(image);
  ImageLock const lock(target, ImageLock::Mode::shared, lockWait_);
  if (!imageExists(target)) throw AgentError(AgentError::Kind::image, "no image at " + image);
  IfaHost::TableSet run(chip_, target, Asic::ChipDevice::Mode::openPrivate);
  std::string out;
  forEachTable([&]<class Table>(std::size_t) {
    if (!tableName.empty() && tableName != Table::kName && tableName != Table::kQualifiedName) {
      return;
    }
    Table& table = run.table<Table>();
    table.syncEntries();
    std::vector<std::uint32_t> keys;
    for (auto it = table.syncedEntryColl().begin(); !it.atEnd(); it.advance()) {
      keys.push_back(it.staleNode()->key.value);
    }
    std::sort(keys.begin(), keys.end());
    for (std::uint32_t key : keys) out += configLine<Table>(key, table.syncedEntry(key)) + "\n";
  });
  return out;
}

}  // namespace IfaAgent
