// ifa-agent: programs the IFA tables of a switch chip from a configuration,
// and survives its own restarts without disturbing what the chip holds.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Asic/HwTable.h"
#include "Kiva/Trace.h"
#include "agent/Agent.h"
#include "agent/DemoConfigs.h"

namespace {

using IfaAgent::Agent;
using IfaAgent::AgentError;

// Exit statuses.
constexpr int kOk = 0;
constexpr int kConfigRejected = 1;
constexpr int kUsage = 2;
constexpr int kImageRefused = 3;
constexpr int kChipFailure = 4;
constexpr int kIoFailure = 5;
constexpr int kImageBusy = 6;

constexpr char const* kDefaultImage = "ifa-asic.img";

char const kUsageText[] =
    R"(usage: ifa-agent COMMAND [ARGS] [OPTIONS]

Programs the IFA tables of a switch chip from a configuration and keeps them
across agent restarts: with no chip image yet it cold-starts (when asked to
with --create); with one, it reads the hardware back, reconciles it with the
configuration (equal rows are left alone, different rows rewritten, missing
rows written) and purges the rows nobody claimed.

commands:
  apply CONFIG [--image FILE] [--create] [--allow-purge-all] [--json]
                                         bring the chip to the configuration
  plan CONFIG [--image FILE] [--verbose] [--json]
                                         what apply would do, writing nothing
  show [TABLE] [--image FILE]            the rows in hardware, as configuration
  demo [--image FILE] [--json]           a cold start, then a warm restart with
                                         a changed configuration
  help                                   this text
  --version                              the release of ifa-swtables

CONFIG is a regular file of at most 16777216 bytes, or - for standard input.

options of apply:
  --create         cold-start a new image when nothing is at the image path
                   (without it, apply refuses with exit status 3)
  --allow-purge-all
                   let a configuration that claims none of the image's rows
                   purge them all (without it, apply refuses with exit
                   status 3 and writes nothing)

options of every command:
  --image FILE     the chip's memory image (default: ifa-asic.img); a
                   symbolic link is followed to its target
  --lock-timeout SECONDS
                   wait up to SECONDS for an image another ifa-agent is using
                   (default 0: give up at once, exit status 6)
  --trace LEVELS   enable text-trace levels, as in KIVA_TRACE, for example
                   --trace 'SwTableStat=0' or --trace 'CorvaneInt::*=5-9'
  --help           help on the command

exit statuses:
  0  done
  1  the configuration was rejected (or unreadable); nothing was written
  2  usage error
  3  the image is missing (show, apply without --create) or was refused (not
     a regular file, not this chip's, damaged), or apply would purge every
     row of it (without --allow-purge-all)
  4  no chip plug-in, or a hardware operation failed
  5  the image's storage failed (disk full, a write or sync failed); a new
     image is not created, an existing one is left as an interrupted apply
     leaves it
  6  another ifa-agent is using the image (see --lock-timeout)

environment:
  SIDECAR_PLUGIN_PATH  directories searched for the chip plug-in, separated by
                       ':' (default: the plug-in directory installed with the
                       library, lib/ifa-swtables/chip-plugins beside bin/)
  IFA_CHIP_PROFILE     the chip profile of the simulated chip (corvane-sim-a)
  KIVA_TRACE, KIVA_TRACE_FILE  trace levels and trace file
)";

std::map<std::string, std::string> const kCommandHelp = {
    {"apply",
     R"(usage: ifa-agent apply CONFIG [--image FILE] [--create] [--allow-purge-all] [--json]
                       [--lock-timeout SECONDS] [--trace LEVELS]

Validates the whole configuration first: an unknown table, a bad or
out-of-range index, a key given twice or malformed entry text is reported as
FILE:LINE:COLUMN: ... and nothing is written (exit status 1).

With no image at FILE, apply creates nothing and ends with exit status 3,
unless --create is given: then a cold start creates the image and programs
every entry. With an image, a warm restart reads every table back, replays
the configuration, ends the replay and purges stale rows, then reports per
table the entries, the rows read back and how many were matched (left
alone), mismatched (rewritten in place), missing (written) and stale
(purged). --json prints the report as one JSON object, with the
microseconds spent reading back, replaying and purging ("phases").

A warm restart whose configuration claims none of the rows the image holds
would purge them all: it is refused after the read-back, before anything is
written (exit status 3), unless --allow-purge-all is given.

CONFIG is a regular file (at most 16777216 bytes) or - for standard input.
The image is locked for the whole run: another ifa-agent using it makes
apply end with exit status 6 at once, or after --lock-timeout SECONDS. A
full disk or a failed write ends it with exit status 5; a new image is then
not created.
)"},
    {"plan",
     R"(usage: ifa-agent plan CONFIG [--image FILE] [--verbose] [--json] [--lock-timeout SECONDS]
                      [--trace LEVELS]

The comparison a warm restart would make, without writing anything: per table
how many rows would be left alone (matched), rewritten (mismatched), written
(missing) and purged (stale); with --verbose also per key. The apply of the
same configuration that follows reports exactly these figures. With no image
at FILE, what a cold start (apply --create) would write.
)"},
    {"show",
     R"(usage: ifa-agent show [TABLE] [--image FILE] [--lock-timeout SECONDS] [--trace LEVELS]

Prints the valid rows of every table, or of TABLE (a table name such as
IfaVectorMatch), decoded as entries, one configuration line each.
)"},
    {"demo",
     R"(usage: ifa-agent demo [--image FILE] [--json] [--trace LEVELS]

Runs the built-in scenario: a cold start from a configuration that fills all
fourteen tables, then a warm restart with a changed configuration (entries
equal, changed, new and removed), printing both reports. The image goes in a
temporary directory that is removed afterwards, unless --image names a file
(which must not exist yet, and is kept).
)"},
};

struct Options {
  std::string command;
  std::vector<std::string> args;
  std::string image = kDefaultImage;
  bool imageGiven = false;
  bool json = false;
  bool verbose = false;
  bool create = false;
  bool allowPurgeAll = false;
  bool help = false;
  bool version = false;
  std::optional<std::string> trace;
  std::chrono::milliseconds lockWait{0};
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

Options parseArgs(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string const a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw UsageError(a + " needs a value");
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--version") {
      o.version = true;
    } else if (a == "--image") {
      o.image = value();
      o.imageGiven = true;
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--verbose" || a == "-v") {
      o.verbose = true;
    } else if (a == "--create") {
      o.create = true;
    } else if (a == "--allow-purge-all") {
      o.allowPurgeAll = true;
    } else if (a == "--trace") {
      o.trace = value();
    } else if (a == "--lock-timeout") {
      std::string const text = value();
      char* end = nullptr;
      double const seconds = std::strtod(text.c_str(), &end);
      if (text.empty() || *end != '\0' || !(seconds >= 0) || seconds > 86400) {
        throw UsageError("--lock-timeout: \"" + IfaAgent::excerpt(text) +
                         "\" is not a number of seconds from 0 to 86400");
      }
      o.lockWait = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    } else if (a.size() > 1 && a[0] == '-') {
      throw UsageError("unknown option " + a);
    } else if (o.command.empty()) {
      o.command = a;
    } else {
      o.args.push_back(a);
    }
  }
  return o;
}

void expectArgs(Options const& o, std::size_t min, std::size_t max) {
  if (o.args.size() < min) throw UsageError(o.command + ": missing argument");
  if (o.args.size() > max) throw UsageError(o.command + ": unexpected argument " + o.args[max]);
}

void optionsAllowed(Options const& o, bool json, bool verbose, bool applyGuards = false) {
  auto refuse = [&](bool given, bool allowed, char const* option) {
    if (given && !allowed) {
      throw UsageError(o.command + ": " + option + " is not an option of this command");
    }
  };
  refuse(o.json, json, "--json");
  refuse(o.verbose, verbose, "--verbose");
  refuse(o.create, applyGuards, "--create");
  refuse(o.allowPurgeAll, applyGuards, "--allow-purge-all");
}

// Progress of long runs on standard error, when it is a terminal.
IfaAgent::Progress progressOnTerminal() {
  if (!::isatty(STDERR_FILENO)) return {};
  return [](std::size_t done, std::size_t total) {
    if (total < 1000) return;
    if (done % 256 != 0 && done != total) return;
    std::fprintf(stderr, "\rifa-agent: %zu of %zu entries", done, total);
    if (done == total) std::fputc('\n', stderr);
  };
}

void print(IfaAgent::Report const& report, bool json) {
  std::cout << (json ? report.json() : report.text());
}

int runApply(Agent& agent, Options const& o) {
  expectArgs(o, 1, 1);
  optionsAllowed(o, true, false, true);
  IfaAgent::Config const config = IfaAgent::Config::read(o.args[0], agent.ranges());
  print(agent.apply(config, o.image, {o.create, o.allowPurgeAll}, progressOnTerminal()), o.json);
  return kOk;
}

int runPlan(Agent& agent, Options const& o) {
  expectArgs(o, 1, 1);
  optionsAllowed(o, true, true);
  IfaAgent::Config const config = IfaAgent::Config::read(o.args[0], agent.ranges());
  print(agent.plan(config, o.image, o.verbose), o.json);
  return kOk;
}

int runShow(Agent& agent, Options const& o) {
  expectArgs(o, 0, 1);
  optionsAllowed(o, false, false);
  std::cout << agent.show(o.image, o.args.empty() ? std::string() : o.args[0]);
  return kOk;
}

int runDemo(Agent& agent, Options const& o) {
  expectArgs(o, 0, 0);
  optionsAllowed(o, true, false);
  std::string image = o.image;
  std::string directory;
  if (!o.imageGiven) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "ifa-agent-demo.XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("cannot create " + tmpl);
    directory = tmpl;
    image = directory + "/ifa-asic.img";
  } else if (std::filesystem::exists(image)) {
    throw UsageError("demo: " + image + " exists already; the demo starts without an image");
  }
  struct Cleanup {
    std::string directory;
    ~Cleanup() {
      std::error_code ec;
      if (!directory.empty()) std::filesystem::remove_all(directory, ec);
    }
  } cleanup{directory};
  auto const base =
      IfaAgent::Config::parse(IfaAgent::Demo::kBaseConfig, "base.conf", agent.ranges());
  auto const changed =
      IfaAgent::Config::parse(IfaAgent::Demo::kChangedConfig, "changed.conf", agent.ranges());
  if (!o.json) {
    std::cout << "== 1. cold start with the base configuration (" << base.size()
              << " entries, examples/agent/base.conf) ==\n";
  }
  print(agent.apply(base, image, {.create = true}), o.json);
  if (!o.json) {
    std::cout << "\n== 2. warm restart with the changed configuration (" << changed.size()
              << " entries, examples/agent/changed.conf) ==\n";
  }
  print(agent.apply(changed, image, {}), o.json);
  return kOk;
}

int run(Options const& o) {
  if (o.version) {
    std::cout << "ifa-agent (ifa-swtables) " << IfaHost::kRelease << '\n';
    return kOk;
  }
  if (o.command.empty() || o.command == "help") {
    std::cout << kUsageText;
    return o.command.empty() && !o.help ? kUsage : kOk;
  }
  auto const help = kCommandHelp.find(o.command);
  if (help == kCommandHelp.end()) throw UsageError("unknown command \"" + o.command + "\"");
  if (o.help) {
    std::cout << help->second;
    return kOk;
  }
  if (o.trace) Kiva::TraceHandle::configure(*o.trace);
  Agent agent;
  for (std::string const& refused : agent.pluginsRefused()) {
    std::cerr << "ifa-agent: warning: " << refused << '\n';
  }
  agent.lockWaitIs(o.lockWait);
  if (o.command == "apply") return runApply(agent, o);
  if (o.command == "plan") return runPlan(agent, o);
  if (o.command == "show") return runShow(agent, o);
  return runDemo(agent, o);
}

// The chip's rows live in a mapped image file, whose every block is
// allocated before it is mapped for writing. Should the storage still fail a
// page (an I/O error, the file cut short by another program), the access
// raises SIGBUS: it ends the run with a message and the status of a storage
// failure, as an interrupted apply that the next apply repairs.
extern "C" void onBusError(int) {
  static char const kMessage[] =
      "ifa-agent: the chip image's storage failed under a row access (SIGBUS: I/O error, or "
      "the file was cut short); the image is as an interrupted apply leaves it\n";
  ssize_t const written = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  static_cast<void>(written);
  ::_exit(kIoFailure);
}

}  // namespace

int main(int argc, char** argv) {
  struct sigaction action {};
  action.sa_handler = onBusError;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(SIGBUS, &action, nullptr);
  try {
    return run(parseArgs(argc, argv));
  } catch (UsageError const& e) {
    std::cerr << "ifa-agent: " << e.what() << "\n(ifa-agent --help for usage)\n";
    return kUsage;
  } catch (IfaAgent::ConfigError const& e) {
    for (auto const& problem : e.problems()) std::cerr << problem.text() << '\n';
    std::cerr << "ifa-agent: configuration rejected (" << e.total()
              << (e.total() == 1 ? " problem" : " problems") << "); nothing written\n";
    return kConfigRejected;
  } catch (AgentError const& e) {
    std::cerr << "ifa-agent: " << e.what() << '\n';
    switch (e.kind()) {
      case AgentError::Kind::usage:
        return kUsage;
      case AgentError::Kind::image:
        return kImageRefused;
      case AgentError::Kind::chip:
        return kChipFailure;
      case AgentError::Kind::busy:
        return kImageBusy;
    }
  } catch (IfaHost::ChipError const& e) {
    std::cerr << "ifa-agent: " << e.what() << '\n';
    return kChipFailure;
  } catch (Asic::ChipDevice::IoError const& e) {
    std::cerr << "ifa-agent: " << e.what() << '\n';
    return kIoFailure;
  } catch (Asic::ChipDevice::Error const& e) {
    std::cerr << "ifa-agent: " << e.what() << '\n';
    return kImageRefused;
  } catch (std::invalid_argument const& e) {
    // A bad --trace level list.
    std::cerr << "ifa-agent: " << e.what() << '\n';
    return kUsage;
  } catch (std::exception const& e) {
    std::cerr << "ifa-agent: " << e.what() << '\n';
    return kChipFailure;
  }
  return kChipFailure;
}
