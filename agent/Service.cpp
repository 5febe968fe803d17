#include "agent/Service.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <unordered_set>
#include <utility>
#include <vector>

#include "Orrin/Publisher.h"
#include "agent/ConfigWatch.h"
#include "agent/ExitStatus.h"
#include "agent/ImageLock.h"
#include "agent/Notify.h"
#include "agent/StatusSocket.h"
#include "agent/TableChanges.h"

namespace IfaAgent {
namespace {

using Clock = std::chrono::steady_clock;

// A burst of file events (an editor writing, then renaming) settles this
// long before the file is read.
constexpr std::chrono::milliseconds kSettle{100};

void logLine(std::string const& line) {
  std::string const text = "ifa-agent: " + line + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

std::string utcNow() {
  std::time_t const now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::uint64_t microsSince(Clock::time_point since) {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - since).count());
}

std::string plural(std::uint32_t n, char const* one, char const* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The counts of a start or a reload as one line; `removed` names what went.
std::string summaryLine(Summary const& s, char const* removed) {
  if (!s.changes()) return "No changes.";
  return std::to_string(s.write) + " written, " + std::to_string(s.rewrite) + " rewritten, " +
         std::to_string(s.purge) + " " + removed + ", " + std::to_string(s.unchanged) +
         " unchanged";
}

// What the engine did to the keys of one table during a reload, heard from
// the table's publication of each change of a resolved entry: a key new to
// the resolved entries was written, a key whose value changed rewritten, a
// key gone removed. An unchanged key is not published.
class KeyLog : public Orrin::Observer {
 public:
  std::vector<Change> changes;
  Summary counts;
};

template <class Table>
class KeyObserver final : public KeyLog {
 public:
  explicit KeyObserver(Table& table) : table_(table) { table_.publisher()->observerIs(this); }
  ~KeyObserver() override { table_.publisher()->observerDel(this); }
  KeyObserver(KeyObserver const&) = delete;
  KeyObserver& operator=(KeyObserver const&) = delete;

  void onChange(Orrin::Publisher const&, std::uint32_t fieldId, void const* key,
                void const* previous, Orrin::KeyEqualFn) override {
    if (fieldId != Table::kResolvedEntryFieldId) return;
    std::uint32_t const k = static_cast<Asic::SwTableBase::Index const*>(key)->value;
    auto const* before = static_cast<Kiva::Optional<typename Table::Entry> const*>(previous);
    bool const had = before != nullptr && before->hasValue();
    Change change;
    if (!table_.entryHas(k)) {
      change = changeOf<Table>(Change::Op::purge, k);
      if (had) change.entry = fieldValues(**before);
      ++counts.purge;
    } else if (!had) {
      change = changeOf<Table>(Change::Op::write, k);
      change.entry = fieldValues(table_.entry(k));
      ++counts.write;
    } else {
      change = changeOf<Table>(Change::Op::rewrite, k);
      change.fields = fieldChanges(**before, table_.entry(k));
      ++counts.rewrite;
    }
    changes.push_back(std::move(change));
  }

 private:
  Table& table_;
};

struct TableTally {
  std::string_view qualified;
  std::uint32_t entries = 0;
  std::uint64_t written = 0;
  std::uint64_t removed = 0;
};

// The signals the agent answers, taken from a descriptor instead of a
// handler: blocked for the whole life of the agent.
class Signals {
 public:
  Signals() {
    ::sigemptyset(&set_);
    for (int s : {SIGHUP, SIGTERM, SIGINT}) ::sigaddset(&set_, s);
    ::sigprocmask(SIG_BLOCK, &set_, &before_);
    fd_ = ::signalfd(-1, &set_, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd_ < 0) throw AgentError(AgentError::Kind::chip, "cannot take signals (signalfd)");
  }
  ~Signals() {
    ::close(fd_);
    ::sigprocmask(SIG_SETMASK, &before_, nullptr);
  }
  Signals(Signals const&) = delete;
  Signals& operator=(Signals const&) = delete;
  int fd() const { return fd_; }
  // The next signal waiting, or 0.
  int next() {
    signalfd_siginfo info{};
    ssize_t const n = ::read(fd_, &info, sizeof info);
    return n == sizeof info ? static_cast<int>(info.ssi_signo) : 0;
  }

 private:
  sigset_t set_{};
  sigset_t before_{};
  int fd_ = -1;
};

char const* signalName(int signal) {
  switch (signal) {
    case SIGHUP:
      return "SIGHUP";
    case SIGTERM:
      return "SIGTERM";
    default:
      return "SIGINT";
  }
}

// One life of the agent, from its start to its stop.
class Live {
 public:
  Live(Agent& agent, ServiceOptions const& options, IfaHost::TableSet& run, ImageLock& rows,
       std::string socket, Config config, Report const& start, Notifier const& notifier)
      : agent_(agent),
        o_(options),
        run_(run),
        rows_(rows),
        socket_(std::move(socket)),
        current_(std::move(config)),
        notifier_(notifier),
        startedAt_(utcNow()) {
    forEachTable([&]<class Table>(std::size_t slot) {
      TableFigures const& f = start.tables[slot];
      bool const cold = start.mode == Report::Mode::cold;
      tally_.push_back({Table::kQualifiedName,
                        static_cast<std::uint32_t>(current_.table<Table>().items.size()),
                        cold ? f.entries : f.mismatched + f.missing, cold ? 0 : f.stale});
    });
    snapshot();
  }

  // A new configuration, read from the file, applied as changes in steady
  // state; `trigger` names what asked for it, `since` when it did.
  void reload(std::string const& trigger, Clock::time_point since);
  // The status as the socket gives it.
  std::string status() const {
    Json answer = snapshot_;
    answer["uptimeSeconds"] =
        std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started_).count();
    return answer.dump(-1, ' ', false, Json::error_handler_t::replace);
  }

 private:
  void refuse(std::string const& trigger, std::string const& why,
              std::vector<std::string> const& problems);
  void snapshot();

  Agent& agent_;
  ServiceOptions const& o_;
  IfaHost::TableSet& run_;
  ImageLock& rows_;
  std::string socket_;
  Config current_;
  Notifier const& notifier_;
  std::string startedAt_;
  Clock::time_point started_ = Clock::now();
  std::vector<TableTally> tally_;
  Json lastReload_;  // null until the first reload
  Json snapshot_;
};

void Live::snapshot() {
  Json tables = Json::array();
  TableTally total;
  for (TableTally const& t : tally_) {
    tables.push_back({{"table", t.qualified},
                      {"entries", t.entries},
                      {"written", t.written},
                      {"removed", t.removed}});
    total.entries += t.entries;
    total.written += t.written;
    total.removed += t.removed;
  }
  snapshot_ =
      Json{{"pid", ::getpid()},
           {"uptimeSeconds", 0},
           {"startedAt", startedAt_},
           {"image", o_.image},
           {"profile", agent_.profileName()},
           {"config", o_.config},
           {"socket", socket_},
           {"tables", std::move(tables)},
           {"total",
            {{"entries", total.entries}, {"written", total.written}, {"removed", total.removed}}},
           {"lastReload", lastReload_}};
}

void Live::refuse(std::string const& trigger, std::string const& why,
                  std::vector<std::string> const& problems) {
  std::string const line = "reload (" + trigger + ") refused: " + why + "; nothing changed";
  logLine(line);
  lastReload_ = Json{{"time", utcNow()},
                     {"trigger", trigger},
                     {"result", "refused"},
                     {"message", why},
                     {"problems", problems}};
  snapshot();
  notifier_.send("READY=1\nSTATUS=" + line);
}

void Live::reload(std::string const& trigger, Clock::time_point since) {
  notifier_.send("RELOADING=1\nSTATUS=reloading (" + trigger + ")\nMONOTONIC_USEC=" +
                 std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(
                                    Clock::now().time_since_epoch())
                                    .count()));
  std::optional<Config> read;
  try {
    read.emplace(Config::read(o_.config, agent_.ranges()));
  } catch (ConfigError const& e) {
    std::vector<std::string> problems;
    for (Problem const& p : e.problems()) {
      std::cerr << p.text() << '\n';
      problems.push_back(p.text());
    }
    refuse(trigger,
           "configuration rejected (" +
               plural(static_cast<std::uint32_t>(e.total()), "problem", "problems") + ")",
           problems);
    return;
  }
  Config& next = *read;

  // What changes: one lookup per configured key, and the keys no longer
  // configured. The rows lock is taken exclusively only when a row will be
  // written.
  bool changes = false;
  bool claimed = false;
  std::uint32_t held = 0;
  std::vector<std::vector<std::uint32_t>> gone(IfaRuntime::kTableCount);
  forEachTable([&]<class Table>(std::size_t slot) {
    Table& table = run_.table<Table>();
    std::unordered_set<std::uint32_t> keys;
    for (auto const& item : next.table<Table>().items) {
      keys.insert(item.key);
      auto const resolved = table.resolvedEntry(item.key);
      if (resolved.hasValue()) claimed = true;
      if (!resolved.hasValue() || !(*resolved == item.entry)) changes = true;
    }
    for (auto const& item : current_.table<Table>().items) {
      ++held;
      if (keys.count(item.key) == 0) gone[slot].push_back(item.key);
    }
    std::sort(gone[slot].rbegin(), gone[slot].rend());
    changes = changes || !gone[slot].empty();
  });
  if (held > 0 && !claimed && !o_.allowPurgeAll) {
    std::string const rows = plural(held, "row", "rows");
    refuse(trigger,
           "the configuration claims none of the " + rows + " the agent holds, so the reload " +
               "would remove all " + rows + " (--allow-purge-all to allow it)",
           {});
    return;
  }

  Summary summary;
  std::vector<Change> listing;
  std::optional<std::uint64_t> latencyUs;
  if (changes) {
    rows_.modeIs(ImageLock::Mode::exclusive);
    std::vector<std::unique_ptr<KeyLog>> logs;
    std::vector<std::function<void()>> removals;
    // New and changed keys, in catalogue order.
    forEachTable([&]<class Table>(std::size_t slot) {
      Table& table = run_.table<Table>();
      logs.push_back(std::make_unique<KeyObserver<Table>>(table));
      for (auto const& item : next.table<Table>().items) table.entryCommit(item.key, item.entry);
      removals.push_back([&table, &keys = gone[slot]] {
        for (std::uint32_t key : keys) table.entryRemove(key);
      });
    });
    // Keys no longer configured, in reverse catalogue order.
    for (auto it = removals.rbegin(); it != removals.rend(); ++it) (*it)();
    latencyUs = microsSince(since);
    run_.sync();
    rows_.modeIs(ImageLock::Mode::shared);
    for (std::size_t slot = 0; slot < logs.size(); ++slot) {
      Summary const& c = logs[slot]->counts;
      summary.write += c.write;
      summary.rewrite += c.rewrite;
      summary.purge += c.purge;
      tally_[slot].written += c.write + c.rewrite;
      tally_[slot].removed += c.purge;
      if (o_.verbose) appendInKeyOrder(listing, std::move(logs[slot]->changes));
    }
  }
  summary.unchanged = static_cast<std::uint32_t>(next.size()) - summary.write - summary.rewrite;
  forEachTable([&]<class Table>(std::size_t slot) {
    tally_[slot].entries = static_cast<std::uint32_t>(next.table<Table>().items.size());
  });
  current_ = std::move(next);

  for (Change const& change : listing) std::cerr << "  " << changeLine(change) << '\n';
  std::string const line = "reload (" + trigger + "): " + summaryLine(summary, "removed");
  logLine(line);
  lastReload_ = Json{{"time", utcNow()},
                     {"trigger", trigger},
                     {"result", "applied"},
                     {"summary",
                      {{"write", summary.write},
                       {"rewrite", summary.rewrite},
                       {"remove", summary.purge},
                       {"unchanged", summary.unchanged}}},
                     {"problems", Json::array()}};
  // From the trigger to the last row written.
  if (latencyUs) lastReload_["latencyUs"] = *latencyUs;
  snapshot();
  notifier_.send("READY=1\nSTATUS=" + line);
}

}  // namespace

Service::Service(Agent& agent, ServiceOptions options)
    : agent_(agent), options_(std::move(options)) {}

int Service::run() {
  ServiceOptions const& o = options_;
  if (o.config == "-") {
    throw AgentError(
        AgentError::Kind::usage,
        "run: CONFIG - (standard input) cannot be read again for a reload; give a file");
  }
  Signals signals;
  std::string const target = agent_.imageTarget(o.image);
  std::string const socketPath = o.socket.empty() ? defaultStatusSocket(target) : o.socket;
  checkSocketPath(socketPath);
  Config config = Config::read(o.config, agent_.ranges());
  if (!o.create && !imageExists(target)) throw noImageError(o.image);
  ConfigWatch watch(o.config);

  ImageLock owner(target, ImageLock::Mode::exclusive, agent_.lockWait_, o.image,
                  ImageLock::Kind::owner);
  owner.holderIs("run");
  StatusSocket socket(socketPath);
  ImageLock rows(target, ImageLock::Mode::exclusive, agent_.lockWait_, o.image);
  std::optional<IfaHost::TableSet> run;
  Report start;
  if (imageExists(target)) {
    run.emplace(agent_.chip_, target, Asic::ChipDevice::Mode::open, o.image);
    start = agent_.warmRestartOn(*run, config, o.image, false,
                                 {o.create, o.allowPurgeAll, o.verbose}, {});
  } else {
    run.emplace(agent_.chip_, target, Asic::ChipDevice::Mode::create, o.image);
    start = agent_.coldStartOn(*run, config, o.image, o.verbose, {});
  }
  rows.modeIs(ImageLock::Mode::shared);

  Notifier const notifier;
  for (Change const& change : start.changes) std::cerr << "  " << changeLine(change) << '\n';
  std::string const started =
      std::string(start.mode == Report::Mode::cold ? "cold start" : "warm restart") + " of " +
      o.image + ": " + summaryLine(start.summary(), "purged");
  logLine("start: " + started);
  Live live(agent_, o, *run, rows, socket.path(), std::move(config), start, notifier);
  logLine("ready: pid " + std::to_string(::getpid()) + ", configuration " + o.config +
          ", status socket " + socket.path());
  notifier.send("READY=1\nMAINPID=" + std::to_string(::getpid()) + "\nSTATUS=" + started);

  // When the file's events have settled, while `settling`.
  Clock::time_point settle{};
  bool settling = false;
  int stop = 0;
  while (stop == 0) {
    int timeout = -1;
    if (settling) {
      auto const left = std::chrono::ceil<std::chrono::milliseconds>(settle - Clock::now());
      timeout = static_cast<int>(std::max<long long>(0, left.count()));
    }
    std::array<pollfd, 3> fds{
        {{signals.fd(), POLLIN, 0}, {watch.fd(), POLLIN, 0}, {socket.fd(), POLLIN, 0}}};
    if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
      throw AgentError(AgentError::Kind::chip, "poll failed");
    }
    if ((fds[2].revents & POLLIN) != 0) socket.answer(live.status());
    if ((fds[1].revents & POLLIN) != 0 && watch.changed()) {
      settle = Clock::now() + kSettle;
      settling = true;
    }
    for (int s; (s = signals.next()) != 0;) {
      if (s != SIGHUP) {
        stop = s;
        break;
      }
      settling = false;  // the reload reads the file anyway
      live.reload("SIGHUP", Clock::now());
    }
    if (stop == 0 && settling && Clock::now() >= settle) {
      settling = false;
      live.reload(o.config + " changed", Clock::now());
    }
  }
  notifier.send("STOPPING=1\nSTATUS=stopping");
  logLine(std::string("stopping (") + signalName(stop) + "): every row stays in hardware");
  return ExitStatuses::kOk;
}

}  // namespace IfaAgent

namespace IfaAgent {

std::string statusText(Json const& a) {
  auto number = [](Json const& v) {
    return v.is_number() ? std::to_string(v.get<std::uint64_t>()) : std::string("?");
  };
  std::string out = "ifa-agent run, pid " + number(a.value("pid", Json())) + ", up " +
                    number(a.value("uptimeSeconds", Json())) + " s: image " +
                    a.value("image", std::string()) + ", chip profile \"" +
                    a.value("profile", std::string()) + "\", configuration " +
                    a.value("config", std::string()) + "\n";
  char line[160];
  std::snprintf(line, sizeof line, "%-30s %9s %9s %9s\n", "table", "entries", "written", "removed");
  out += line;
  auto row = [&](std::string const& name, Json const& t) {
    std::snprintf(line, sizeof line, "%-30s %9s %9s %9s\n", name.c_str(),
                  number(t.value("entries", Json())).c_str(),
                  number(t.value("written", Json())).c_str(),
                  number(t.value("removed", Json())).c_str());
    out += line;
  };
  for (Json const& t : a.value("tables", Json::array())) {
    std::string name = t.value("table", std::string());
    if (std::size_t const colons = name.rfind("::"); colons != std::string::npos) {
      name = name.substr(colons + 2);
    }
    row(name, t);
  }
  row("total", a.value("total", Json::object()));
  Json const last = a.value("lastReload", Json());
  if (!last.is_object()) {
    return out + "last reload: none since the start at " + a.value("startedAt", std::string()) +
           "\n";
  }
  out += "last reload: " + last.value("time", std::string()) + " (" +
         last.value("trigger", std::string()) + "): ";
  if (last.value("result", std::string()) == "refused") {
    out += "refused: " + last.value("message", std::string()) + "\n";
    for (Json const& p : last.value("problems", Json::array())) {
      out += "  " + p.get<std::string>() + "\n";
    }
    return out;
  }
  Json const s = last.value("summary", Json::object());
  Summary summary;
  summary.write = s.value("write", 0u);
  summary.rewrite = s.value("rewrite", 0u);
  summary.purge = s.value("remove", 0u);
  summary.unchanged = s.value("unchanged", 0u);
  return out + summaryLine(summary, "removed") + "\n";
}

}  // namespace IfaAgent
