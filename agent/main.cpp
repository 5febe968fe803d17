// ifa-agent: programs the IFA tables of a switch chip from a configuration,
// and survives its own restarts without disturbing what the chip holds.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "Asic/HwTable.h"
#include "Kiva/Trace.h"
#include "agent/Agent.h"
#include "agent/ConfigFormat.h"
#include "agent/DemoConfigs.h"
#include "agent/DocCommands.h"
#include "agent/ExitStatus.h"
#include "agent/ImageLock.h"
#include "agent/PlanFile.h"
#include "agent/Service.h"
#include "agent/StatusSocket.h"
#include "files/FilePaths.h"
#include "text/Colour.h"
#include "text/Suggest.h"
#include "text/Usage.h"

namespace {

using IfaAgent::Agent;
using IfaAgent::AgentError;

using namespace IfaAgent::ExitStatuses;

constexpr char const* kDefaultImage = "ifa-asic.img";

char const kDescription[] =
    R"(Programs the IFA tables of a switch chip from a configuration and keeps them
across agent restarts: with no chip image yet it cold-starts (when asked to with
--create); with one, it reads the hardware back, reconciles it with the
configuration (equal rows are left alone, different rows rewritten, missing rows
written) and purges the rows nobody claimed.)";

// The program's help after the commands: the exit statuses come from their
// one table (agent/ExitStatuses.def).
std::string footer() {
  return R"(CONFIG is a regular file of at most 16777216 bytes, or - for standard input.
"ifa-agent help COMMAND" or "ifa-agent COMMAND --help" gives a command's options.

Exit statuses:
)" + IfaAgent::exitStatusHelp() +
         R"(
Environment:
  SIDECAR_PLUGIN_PATH  directories searched for the chip plug-in, separated by ':'
                       (default: lib/ifa-swtables/chip-plugins beside bin/)
  IFA_CHIP_PROFILE     the chip profile of the simulated chip (corvane-sim-a)
  KIVA_TRACE, KIVA_TRACE_FILE  trace levels and trace file)";
}

char const kApplyFooter[] =
    R"(Validates the whole configuration first: an unknown table, a bad or
out-of-range index, a key given twice or malformed entry text is reported as
FILE:LINE:COLUMN: ... and nothing is written (exit status 1).

With no image at FILE, apply creates nothing and ends with exit status 3,
unless --create is given: then a cold start creates the image and programs
every entry. With an image, a warm restart reads every table back, replays
the configuration, ends the replay and purges stale rows, then reports per
table the entries, the rows read back and how many were matched (left alone),
mismatched (rewritten in place), missing (written) and stale (purged).
--verbose lists every change: "+" a row written (its fields that are not 0),
"~" a row rewritten (the fields that change), "-" a row purged. The report
shows the tables with entries, rows or changes; --all-tables shows all.
--json prints the report as one JSON object, with the microseconds spent
reading back, replaying and purging.

A warm restart whose configuration claims none of the rows the image holds
would purge them all: it is refused after the read-back, before anything is
written (exit status 3), unless --allow-purge-all is given. The image is
locked for the whole run: another ifa-agent using it makes apply end with
exit status 6, at once or after --lock-timeout SECONDS.)";

char const kPlanFooter[] =
    R"(Makes the apply's warm restart on a private copy of the image, so nothing
reaches the file, and reports what it did: the apply of the same configuration
that follows reports exactly these figures. --verbose lists the change of every
key as the apply's --verbose does; the last line sums them up ("N to write, M
to rewrite, K to purge, L unchanged", or "No changes."). With no image at FILE,
what a cold start (apply --create) would write.)";

char const kValidateFooter[] =
    R"(Reads the whole configuration and checks it against the chip profile's tables,
fields and index ranges, as apply does before it writes anything, without an
image: exit status 0 when it is valid, 1 with every problem listed when not.)";

char const kFmtFooter[] =
    R"(Prints CONFIG in the canonical form: each entry in the short, named form
(the fields that are not 0, numbers in the base they were written in), grouped
by table in catalogue order and sorted by key, each comment kept with the
entry it precedes or ends, the comments at the top kept at the top. The result
reads back to the same entries. -w rewrites the file instead; --check prints
nothing but the first difference and ends with status 1 when there is one.)";

char const kShowFooter[] =
    R"(Prints the valid rows of every table, or of TABLE, decoded as entries, one
configuration line each, whole: the output is itself a configuration. The
short form (default) gives the fields that are not 0 as NAME=VALUE, in decimal
or with --base hex in hex; --format full gives the entry's text form.)";

char const kTablesFooter[] =
    R"(Without TABLE, every table with its index range on this chip and its number
of fields; with TABLE, its fields with their widths and the values they take,
and a template configuration line.)";

char const kDemoFooter[] =
    R"(Runs the built-in scenario: a cold start from a configuration that fills all
fourteen tables, then a warm restart with a changed configuration (entries
equal, changed, new and removed), printing a legend of the four outcomes, both
reports (with -v, every change) and the next command to try. The image goes in
a temporary directory that is removed afterwards, unless --image names a file
(which must not exist yet, and is kept).)";

char const kDemoLegend[] =
    R"(Each report gives per table the entries configured and the rows read back,
and what became of them, in one of four outcomes:
  matched     a row equal to its entry, left alone
  mismatched  a row that differs from its entry, rewritten in place ("~" with -v)
  missing     an entry without a row, written ("+" with -v)
  stale       a row that no entry claims, purged ("-" with -v)
)";
char const kRunFooter[] =
    R"(Starts as apply does (a warm restart of the image, or a cold start with
--create), then stays, keeping the tables, and applies every new
configuration as changes in steady state: a commit of each new or changed key,
then a removal of each key no longer configured; unchanged keys cost a lookup.
It reloads on SIGHUP and when CONFIG changes on disk (also when an editor
replaces it by renaming). A reload reads and validates the whole file first: a
file refused, or one that would remove every row while claiming none (without
--allow-purge-all), is logged with its problems and changes nothing. Each
reload logs one summary line ("2 written, 1 rewritten, 1 removed, 1018
unchanged", or "No changes."); --verbose also logs each key's change.

SIGTERM or SIGINT ends the change in hand; the agent exits with status 0,
leaving every row in hardware. A chip or storage failure ends it with status 4
or 5. It notifies systemd over $NOTIFY_SOCKET (READY=1, RELOADING=1,
STOPPING=1, STATUS=) and logs one line per event to standard error. While it
runs, apply and plan of the image end at once with status 6, naming its pid;
show waits out a reload. "ifa-agent status" asks it over its status socket
(default: .NAME.sock beside the image NAME, mode 0600).)";

char const kStatusFooter[] =
    R"(Asks the agent running on the image (ifa-agent run) over its status socket:
its pid, uptime, image and chip profile; per table the entries and the rows
written and removed since its start; the last reload's time, result, counts
and problems. Takes no lock. With no agent running, says so and ends with exit
status 7.)";

struct Options {
  std::string command;
  std::string config;
  std::string table;
  std::string image = kDefaultImage;
  std::string socket;
  bool json = false;
  bool verbose = false;
  bool wide = false;
  bool create = false;
  bool allowPurgeAll = false;
  bool detailedExitcode = false;
  std::string output;       // plan -o: the saved plan's file
  bool imageGiven = false;  // --image on the command line
  std::string profile;      // validate --profile
  bool write = false;       // fmt -w
  bool check = false;       // fmt --check
  bool allTables = false;
  std::string format = "named";
  std::string base = "dec";
  std::string colour = "auto";
  std::optional<std::string> trace;
  std::string lockTimeout = "0";
  std::chrono::milliseconds lockWait{0};
};

using IfaText::UsageError;

// The command line, read by CLI11: one command, its arguments and options
// (--opt value and --opt=value, -- before operands that begin with -).
class CommandLine {
 public:
  CommandLine() : app_(kDescription, "ifa-agent") {
    app_.set_version_flag("--version", "ifa-agent (ifa-swtables) " + std::string(IfaHost::kRelease),
                          "print the release and exit");
    app_.set_help_flag("-h,--help", "print this help and exit");
    app_.footer(footer());
    app_.get_formatter()->column_width(26);
    app_.get_formatter()->label("SUBCOMMAND", "COMMAND");
    app_.get_formatter()->label("SUBCOMMANDS", "COMMANDS");
    app_.require_subcommand(0, 1);

    CLI::App* apply = command("apply", "bring the chip to the configuration", kApplyFooter);
    configOperand(apply);
    imageOptions(apply);
    apply->add_flag("--create", o_.create,
                    "cold-start a new image when nothing is at the image path");
    apply->add_flag("--allow-purge-all", o_.allowPurgeAll,
                    "let a configuration that claims none of the image's rows purge them all");
    listingOptions(apply);
    outputOptions(apply);

    CLI::App* plan = command("plan", "what apply would do, writing nothing", kPlanFooter);
    configOperand(plan);
    imageOptions(plan);
    listingOptions(plan);
    plan->add_flag("--detailed-exitcode", o_.detailedExitcode,
                   "exit status 0 when the apply would change nothing, 2 when it would");
    plan->add_option("-o,--out", o_.output, "save the plan in FILE, for apply FILE")
        ->type_name("FILE");
    outputOptions(plan);

    CLI::App* validate =
        command("validate", "check a configuration without an image", kValidateFooter);
    configOperand(validate);
    validate
        ->add_option("--profile", o_.profile,
                     "check against this chip profile (default: the chip's, IFA_CHIP_PROFILE)")
        ->type_name("NAME");
    outputOptions(validate);

    CLI::App* fmt = command("fmt", "rewrite a configuration in the canonical form", kFmtFooter);
    configOperand(fmt);
    fmt->add_flag("-w,--write", o_.write, "rewrite CONFIG in place (atomically) when it differs");
    fmt->add_flag("--check", o_.check,
                  "exit status 1 when CONFIG is not formatted, naming its first difference");

    CLI::App* show = command("show", "the rows in hardware, as configuration", kShowFooter);
    show->add_option("TABLE", o_.table, "only this table (IfaVectorMatch, ...)");
    imageOptions(show);
    show->add_option("--format", o_.format,
                     "named (default): the fields not 0, NAME=VALUE; full: the text form")
        ->check(CLI::IsMember({"full", "named"}));
    baseOption(show);
    outputOptions(show);

    CLI::App* run = command("run", "keep the chip at the configuration, reloading it as it changes",
                            kRunFooter);
    configOperand(run);
    imageOptions(run);
    run->add_flag("--create", o_.create,
                  "cold-start a new image when nothing is at the image path");
    run->add_flag("--allow-purge-all", o_.allowPurgeAll,
                  "let a configuration that claims none of the rows held remove them all");
    run->add_option("--socket", o_.socket,
                    "the status socket (default: .NAME.sock beside the image)")
        ->type_name("PATH");
    run->add_flag("-v,--verbose", o_.verbose, "log the change of every key");

    CLI::App* status = command("status", "what the running agent holds", kStatusFooter);
    CLI::Option* statusImage =
        status
            ->add_option("--image", o_.image, "the image the agent runs on (default ifa-asic.img)")
            ->type_name("FILE");
    status->add_option("--socket", o_.socket, "the agent's status socket")
        ->type_name("PATH")
        ->excludes(statusImage);
    outputOptions(status);

    CLI::App* tables =
        command("tables", "the tables, their index ranges and fields", kTablesFooter);
    tables->add_option("TABLE", o_.table, "only this table, with its fields");
    outputOptions(tables);

    CLI::App* demo = command(
        "demo", "a cold start, then a warm restart with a changed configuration", kDemoFooter);
    demo->add_option("--image", o_.image, "keep the demo's image in FILE (must not exist yet)")
        ->type_name("FILE");
    traceOption(demo);
    listingOptions(demo);
    outputOptions(demo);

    CLI::App* help = app_.add_subcommand("help", "this help, or a command's")->group("Commands");
    help->add_option("COMMAND", o_.table, "the command");
    IfaAgent::addDocCommands(app_);
  }

  // Reads the command line; raises UsageError, or returns a status when the
  // line asked for help or the version (printed).
  std::optional<int> parse(int argc, char** argv) {
    // An unknown command gets a message of its own, not CLI11's "not
    // expected".
    if (argc > 1 && argv[1][0] != '-' && find(argv[1]) == nullptr) {
      throw UsageError("unknown command \"" + IfaAgent::excerpt(argv[1]) + "\"" +
                       didYouMean(argv[1]));
    }
    try {
      app_.parse(argc, argv);
    } catch (CLI::CallForHelp const&) {
      std::cout << helpOf(selected());
      return kOk;
    } catch (CLI::CallForVersion const& e) {
      std::cout << e.what() << '\n';
      return kOk;
    } catch (CLI::ExtrasError const& e) {
      // Name the first word the command does not take, and the command.
      CLI::App const* sub = selected();
      std::vector<std::string> const extra = sub ? sub->remaining() : app_.remaining();
      if (extra.empty()) throw UsageError(e.what());
      std::string const prefix = sub ? sub->get_name() + ": " : std::string();
      std::string const& word = extra.front();
      throw UsageError(prefix + (word.size() > 1 && word[0] == '-'
                                     ? IfaText::unknownOption(word, optionNames(sub))
                                     : "unexpected argument \"" + IfaAgent::excerpt(word) + "\""));
    } catch (CLI::ParseError const& e) {
      CLI::App const* sub = selected();
      throw UsageError((sub ? sub->get_name() + ": " : std::string()) + e.what());
    }
    CLI::App const* sub = selected();
    if (sub == nullptr) {
      std::cerr << helpOf(nullptr);
      return kUsage;
    }
    o_.command = sub->get_name();
    if (auto const status = IfaAgent::runDocCommand(app_)) return status;
    CLI::Option const* image = sub->get_option_no_throw("--image");
    o_.imageGiven = image != nullptr && image->count() > 0;
    if (o_.command == "help") {
      if (o_.table.empty()) {
        std::cout << helpOf(nullptr);
        return kOk;
      }
      CLI::App* of = find(o_.table);
      if (of == nullptr) {
        throw UsageError("help: unknown command \"" + IfaAgent::excerpt(o_.table) + "\"" +
                         didYouMean(o_.table));
      }
      std::cout << helpOf(of);
      return kOk;
    }
    double seconds = -1;
    char* end = nullptr;
    seconds = std::strtod(o_.lockTimeout.c_str(), &end);
    if (o_.lockTimeout.empty() || *end != '\0' || !(seconds >= 0) || seconds > 86400) {
      throw UsageError("--lock-timeout: \"" + IfaAgent::excerpt(o_.lockTimeout) +
                       "\" is not a number of seconds from 0 to 86400");
    }
    o_.lockWait = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    return std::nullopt;
  }

  Options const& options() const { return o_; }

 private:
  CLI::App* command(char const* name, char const* summary, char const* footer) {
    CLI::App* sub = app_.add_subcommand(name, summary);
    sub->group("Commands");
    sub->footer(footer);
    return sub;
  }
  void configOperand(CLI::App* sub) {
    sub->add_option("CONFIG", o_.config, "the configuration file, - for standard input")
        ->required()
        ->type_name("");
  }
  void imageOptions(CLI::App* sub) {
    sub->add_option("--image", o_.image,
                    "the chip's memory image (default ifa-asic.img); links are followed")
        ->type_name("FILE");
    sub->add_option("--lock-timeout", o_.lockTimeout,
                    "wait up to SECONDS for an image another ifa-agent uses (default 0)")
        ->type_name("SECONDS");
    traceOption(sub);
  }
  void traceOption(CLI::App* sub) {
    sub->add_option("--trace", o_.trace,
                    "enable text-trace levels as in KIVA_TRACE, e.g. 'SwTableStat=0'")
        ->type_name("LEVELS");
  }
  void listingOptions(CLI::App* sub) {
    sub->add_flag("-v,--verbose", o_.verbose, "list the change of every key");
    sub->add_flag("--wide", o_.wide, "do not cut lines at 100 columns");
    baseOption(sub);
    sub->add_flag("--all-tables", o_.allTables,
                  "list every table, not only those with entries, rows or changes");
  }
  void baseOption(CLI::App* sub) {
    sub->add_option("--base", o_.base, "print values in decimal (dec, default) or hex")
        ->check(CLI::IsMember({"dec", "hex"}))
        ->type_name("dec|hex");
  }
  // Every command takes --color (its errors may be coloured) and --json.
  void outputOptions(CLI::App* sub) {
    sub->add_option("--color", o_.colour,
                    "auto (default: on a terminal, NO_COLOR unset), always or never")
        ->check(CLI::IsMember({"auto", "always", "never"}))
        ->type_name("WHEN");
    sub->add_flag("--json", o_.json, "print one JSON document (errors too)");
  }
  CLI::App* find(std::string_view name) {
    for (CLI::App* sub : app_.get_subcommands({})) {
      if (sub->get_name() == name) return sub;
    }
    return nullptr;
  }
  CLI::App* selected() {
    auto const subs = app_.get_subcommands();
    return subs.empty() ? nullptr : subs.front();
  }
  // The help of a command, or of the program (which CLI11's help() would
  // give for the command selected, if any).
  std::string helpOf(CLI::App const* sub) const {
    if (sub != nullptr) return sub->help("ifa-agent");
    return app_.get_formatter()->make_help(&app_, "ifa-agent", CLI::AppFormatMode::Normal);
  }
  std::string didYouMean(std::string_view name) const {
    std::vector<std::string_view> names;
    for (CLI::App const* sub : app_.get_subcommands({})) names.push_back(sub->get_name());
    return IfaText::didYouMean(name, names);
  }
  // The options of a command (of the program without one), as written.
  std::vector<std::string> optionNames(CLI::App const* sub) const {
    std::vector<std::string> names;
    for (CLI::Option const* option : (sub ? sub : &app_)->get_options()) {
      for (std::string const& name : option->get_lnames()) names.push_back("--" + name);
      for (std::string const& name : option->get_snames()) names.push_back("-" + name);
    }
    return names;
  }

  CLI::App app_;
  Options o_;
};

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

// JSON text is UTF-8: a byte of a name that is not part of a well-formed
// UTF-8 sequence (a file name is any bytes) is written as U+FFFD.
void printJson(IfaAgent::Json const& document) {
  std::cout << document.dump(-1, ' ', false, IfaAgent::Json::error_handler_t::replace) << '\n';
}

IfaText::ColourChoice colourChoice(Options const& o) {
  IfaText::ColourChoice choice = IfaText::ColourChoice::automatic;
  IfaText::readColourChoice(o.colour, choice);  // checked by the command line
  return choice;
}

IfaAgent::Base base(Options const& o) {
  return o.base == "hex" ? IfaAgent::Base::hex : IfaAgent::Base::dec;
}

IfaAgent::TextStyle style(Options const& o) {
  return {.wide = o.wide,
          .base = base(o),
          .allTables = o.allTables,
          .colour = IfaText::colourOn(colourChoice(o), STDOUT_FILENO)};
}

void print(Options const& o, IfaAgent::Report const& report) {
  if (!o.json) {
    std::cout << report.text(style(o));
    return;
  }
  IfaAgent::Json document = IfaAgent::jsonDocument(o.command);
  document.update(report.json());
  printJson(document);
}

// A saved plan (agent/PlanFile.h) read from the text of CONFIG, made for
// this chip.
IfaAgent::SavedPlan savedPlan(Agent& agent, Options const& o, std::string const& text) {
  IfaAgent::SavedPlan plan = IfaAgent::readPlanText(text, o.config);
  if (plan.profile != agent.profileName()) {
    throw AgentError(AgentError::Kind::stale, o.config + ": the plan was made for chip profile \"" +
                                                  plan.profile + "\", this chip is \"" +
                                                  agent.profileName() + "\"; plan again");
  }
  return plan;
}

int runApply(Agent& agent, Options const& o) {
  std::string const text = IfaAgent::Config::readText(o.config);
  IfaAgent::ApplyOptions options{o.create, o.allowPurgeAll, o.verbose};
  std::string image = o.image;
  std::optional<IfaAgent::Config> config;
  if (IfaAgent::isPlanText(text)) {
    // Exactly the configuration planned, on the image planned, as long as
    // its bytes are those the plan was made on.
    IfaAgent::SavedPlan const plan = savedPlan(agent, o, text);
    if (!o.imageGiven) image = plan.image;
    config = IfaAgent::Config::parse(plan.configuration, plan.configurationName, agent.ranges());
    options.planned = true;
    options.plannedImageSha256 = plan.imageSha256;
  } else {
    config = IfaAgent::Config::parse(text, o.config, agent.ranges());
  }
  print(o, agent.apply(*config, image, options, progressOnTerminal()));
  return kOk;
}

// Writes `text` to `path` whole or not at all: a hidden file beside it,
// given the mode of the file it replaces, renamed over it.
void writeAtomically(std::string const& path, std::string const& text) {
  std::string const temporary = IfaFiles::siblingPath(path, ".new");
  auto fail = [&](int error) {
    std::remove(temporary.c_str());
    throw Asic::ChipDevice::IoError("cannot write " + path + ": " + std::strerror(error));
  };
  struct stat st;
  mode_t const mode = ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0644;
  int const fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) fail(errno);
  bool const written = ::fchmod(fd, mode) == 0 &&
                       ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                       ::fsync(fd) == 0;
  int const error = errno;
  ::close(fd);
  if (!written) fail(error);
  if (std::rename(temporary.c_str(), path.c_str()) != 0) fail(errno);
}

int showSavedPlan(Agent& agent, Options const& o, std::string const& text) {
  IfaAgent::SavedPlan const plan = savedPlan(agent, o, text);
  if (!o.json) {
    std::cout << plan.listing;
    return kOk;
  }
  IfaAgent::Json document = IfaAgent::jsonDocument("plan");
  document.update({{"savedPlan", o.config},
                   {"image", plan.image},
                   {"profile", plan.profile},
                   {"imageSha256", plan.imageSha256 ? IfaAgent::Json(*plan.imageSha256) : nullptr},
                   {"configuration", plan.configurationName},
                   {"listing", plan.listing}});
  printJson(document);
  return kOk;
}

int runPlan(Agent& agent, Options const& o) {
  std::string const text = IfaAgent::Config::readText(o.config);
  if (IfaAgent::isPlanText(text)) return showSavedPlan(agent, o, text);
  IfaAgent::Config const config = IfaAgent::Config::parse(text, o.config, agent.ranges());
  // A saved plan keeps the per-key listing, asked for or not.
  IfaAgent::Report report = agent.plan(config, o.image, o.verbose || !o.output.empty());
  if (!o.output.empty()) {
    writeAtomically(
        o.output,
        IfaAgent::planFileText(
            {agent.profileName(), o.image, report.imageSha256, o.config,
             report.text({.wide = true, .base = base(o), .allTables = o.allTables}), text}));
    if (!o.verbose) {
      report.listed = false;
      report.changes.clear();
    }
  }
  print(o, report);
  return o.detailedExitcode && report.summary().changes() ? kChangesPresent : kOk;
}

int runFmt(Agent& agent, Options const& o) {
  if (o.write && o.config == "-") throw UsageError("fmt: -w needs a file, not standard input");
  std::string const text = IfaAgent::Config::readText(o.config);
  std::string const formatted = IfaAgent::formatConfig(text, o.config, agent.ranges());
  if (o.check) {
    std::size_t const line = IfaAgent::firstDifferentLine(text, formatted);
    if (line == 0) return kOk;
    std::cout << o.config << ":" << line << ": not formatted (ifa-agent fmt -w " << o.config
              << " formats it)\n";
    return kConfigRejected;
  }
  if (!o.write) {
    std::cout << formatted;
  } else if (formatted != text) {
    writeAtomically(o.config, formatted);
  }
  return kOk;
}

int runValidate(Agent& agent, Options const& o) {
  IfaAgent::Config const config = IfaAgent::Config::read(o.config, agent.ranges());
  std::size_t const entries = config.size();
  std::string const summary = o.config + ": valid for chip profile \"" + agent.profileName() +
                              "\" (" + std::to_string(entries) +
                              (entries == 1 ? " entry)" : " entries)");
  if (!o.json) {
    std::cout << summary << '\n';
    return kOk;
  }
  IfaAgent::Json document = IfaAgent::jsonDocument("validate");
  document.update({{"configuration", o.config},
                   {"profile", agent.profileName()},
                   {"entries", entries},
                   {"valid", true}});
  printJson(document);
  return kOk;
}

int runShow(Agent& agent, Options const& o) {
  auto const form = o.format == "named" ? IfaAgent::LineForm::named : IfaAgent::LineForm::full;
  if (form == IfaAgent::LineForm::full && o.base == "hex") {
    throw UsageError(
        "show: --base hex: the full form prints values as the entry's text form "
        "does, in decimal; --format named prints them in hex");
  }
  auto const rows = agent.show(o.image, o.table);
  if (!o.json) {
    std::cout << IfaAgent::showText(rows, form, base(o));
    return kOk;
  }
  IfaAgent::Json document = IfaAgent::jsonDocument("show");
  document.update(IfaAgent::showJson(rows, o.image, agent.profileName()));
  printJson(document);
  return kOk;
}

int runTables(Agent& agent, Options const& o) {
  auto const tables = agent.describe(o.table);
  if (!o.json) {
    std::cout << IfaAgent::tablesText(tables, agent.profileName(), !o.table.empty());
    return kOk;
  }
  IfaAgent::Json document = IfaAgent::jsonDocument("tables");
  document.update(IfaAgent::tablesJson(tables, agent.profileName()));
  printJson(document);
  return kOk;
}

int runDemo(Agent& agent, Options const& o) {
  std::string image = o.image;
  std::string directory;
  if (image == kDefaultImage) {
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
  IfaAgent::ApplyOptions const listed{.verbose = o.verbose};
  if (o.json) {
    IfaAgent::Json document = IfaAgent::jsonDocument("demo");
    document["coldStart"] = agent.apply(base, image, {.create = true, .verbose = o.verbose}).json();
    document["warmRestart"] = agent.apply(changed, image, listed).json();
    printJson(document);
    return kOk;
  }
  std::cout << kDemoLegend;
  std::cout << "\n== 1. cold start with the base configuration (" << base.size()
            << " entries, examples/agent/base.conf) ==\n";
  std::cout << agent.apply(base, image, {.create = true, .verbose = o.verbose}).text(style(o));
  std::cout << "\n== 2. warm restart with the changed configuration (" << changed.size()
            << " entries, examples/agent/changed.conf) ==\n";
  std::cout << agent.apply(changed, image, listed).text(style(o));
  if (directory.empty()) {
    std::cout << "\nNext: ifa-agent plan examples/agent/base.conf -v --image " << image
              << "\n(what going back to the base configuration would change)\n";
  } else {
    std::cout << "\nNext: ifa-agent demo -v --image demo.img keeps the image; then\n"
                 "ifa-agent show --image demo.img prints its rows as configuration\n";
  }
  return kOk;
}

int runService(Agent& agent, Options const& o) {
  return IfaAgent::Service(agent,
                           {o.config, o.image, o.socket, o.create, o.allowPurgeAll, o.verbose})
      .run();
}

// Needs no chip: it only asks the agent that runs.
int runStatus(Options const& o) {
  std::string const path = o.socket.empty()
                               ? IfaAgent::defaultStatusSocket(IfaAgent::resolveImagePath(o.image))
                               : o.socket;
  auto const answer = IfaAgent::askStatus(path);
  if (!answer) {
    throw AgentError(AgentError::Kind::noAgent, o.socket.empty()
                                                    ? "no agent running for image " + o.image +
                                                          " (nothing answers on " + path + ")"
                                                    : "no agent answers on " + path);
  }
  IfaAgent::Json const status = IfaAgent::Json::parse(*answer, nullptr, false);
  if (!status.is_object()) {
    throw AgentError(AgentError::Kind::chip,
                     "status socket " + path + ": the answer is not a JSON object");
  }
  if (!o.json) {
    std::cout << IfaAgent::statusText(status);
    return kOk;
  }
  IfaAgent::Json document = IfaAgent::jsonDocument("status");
  document.update(status);
  printJson(document);
  return kOk;
}

int run(Options const& o) {
  if (o.command == "status") return runStatus(o);
  if (o.trace) Kiva::TraceHandle::configure(*o.trace);
  // The simulated chip takes its profile from the environment when it loads.
  if (!o.profile.empty()) ::setenv("IFA_CHIP_PROFILE", o.profile.c_str(), 1);
  Agent agent;
  for (std::string const& refused : agent.pluginsRefused()) {
    std::cerr << "ifa-agent: warning: " << refused << '\n';
  }
  agent.lockWaitIs(o.lockWait);
  if (o.command == "apply") return runApply(agent, o);
  if (o.command == "plan") return runPlan(agent, o);
  if (o.command == "validate") return runValidate(agent, o);
  if (o.command == "fmt") return runFmt(agent, o);
  if (o.command == "show") return runShow(agent, o);
  if (o.command == "tables") return runTables(agent, o);
  if (o.command == "run") return runService(agent, o);
  return runDemo(agent, o);
}

// A failure of a run: its exit status, what kind it is and its message, as
// text on standard error or, with --json, one JSON document on standard
// output.
// An error line, red on a terminal.
std::string errorLine(Options const& o, std::string const& line) {
  return IfaText::painted(line, IfaText::Colour::red,
                          IfaText::colourOn(colourChoice(o), STDERR_FILENO)) +
         '\n';
}

int fail(Options const& o, IfaAgent::ExitStatus status, std::string const& message) {
  if (!o.json) {
    std::cerr << errorLine(o, "ifa-agent: " + message);
    if (status == kUsage) std::cerr << "(ifa-agent --help for usage)\n";
    return status;
  }
  IfaAgent::Json document = IfaAgent::jsonDocument(o.command);
  document["error"] = {
      {"status", status}, {"kind", IfaAgent::kindOf(status)}, {"message", message}};
  printJson(document);
  return status;
}

int configRejected(Options const& o, IfaAgent::ConfigError const& e) {
  std::string const summary = "configuration rejected (" + std::to_string(e.total()) +
                              (e.total() == 1 ? " problem" : " problems") + "); nothing written";
  if (!o.json) {
    for (auto const& problem : e.problems()) std::cerr << errorLine(o, problem.text());
    if (e.unlisted() != 0) {
      std::cerr << e.problems().front().file << ": " << e.unlisted()
                << " more problems not listed\n";
    }
    std::cerr << errorLine(o, "ifa-agent: " + summary);
    return kConfigRejected;
  }
  IfaAgent::Json problems = IfaAgent::Json::array();
  for (auto const& p : e.problems()) {
    IfaAgent::Json problem{{"file", p.file}};
    if (p.line != 0) problem.update({{"line", p.line}, {"column", p.column}});
    if (!p.field.empty()) problem["field"] = p.field;
    problem["message"] = p.message;
    problems.push_back(std::move(problem));
  }
  IfaAgent::Json document = IfaAgent::jsonDocument(o.command);
  document["error"] = {{"status", kConfigRejected}, {"kind", IfaAgent::kindOf(kConfigRejected)},
                       {"message", summary},        {"total", e.total()},
                       {"unlisted", e.unlisted()},  {"problems", std::move(problems)}};
  printJson(document);
  return kConfigRejected;
}

int runReporting(Options const& o) {
  try {
    return run(o);
  } catch (UsageError const& e) {
    std::cerr << errorLine(o, std::string("ifa-agent: ") + e.what())
              << "(ifa-agent --help for usage)\n";  // usageText, the first line coloured
    return kUsage;
  } catch (IfaAgent::ConfigError const& e) {
    return configRejected(o, e);
  } catch (AgentError const& e) {
    switch (e.kind()) {
      case AgentError::Kind::usage:
        return fail(o, kUsage, e.what());
      case AgentError::Kind::image:
        return fail(o, kImageRefused, e.what());
      case AgentError::Kind::chip:
        return fail(o, kChipFailure, e.what());
      case AgentError::Kind::busy:
        return fail(o, kImageBusy, e.what());
      case AgentError::Kind::stale:
        return fail(o, kPlanStale, e.what());
      case AgentError::Kind::noAgent:
        return fail(o, kNoAgent, e.what());
    }
  } catch (IfaHost::ChipError const& e) {
    return fail(o, kChipFailure, e.what());
  } catch (Asic::ChipDevice::IoError const& e) {
    return fail(o, kStorageFailure, e.what());
  } catch (Asic::ChipDevice::Error const& e) {
    return fail(o, kImageRefused, e.what());
  } catch (std::invalid_argument const& e) {
    // A bad --trace level list.
    return fail(o, kUsage, e.what());
  } catch (std::exception const& e) {
    return fail(o, kChipFailure, e.what());
  }
  return kChipFailure;
}

// The chip's rows live in a mapped image file, whose every block is
// allocated before it is mapped for writing. Should the storage still fail a
// page (an I/O error, the file cut short by another program), the access
// raises SIGBUS: it ends the run with the status of a storage failure, as an
// interrupted apply that the next apply repairs, and a message naming the
// image, as text on standard error or as the JSON error document. The message
// is made before the run, since the handler may only write it.
struct BusFault {
  std::string message;
  int fd = STDERR_FILENO;
};
BusFault busFault;

extern "C" void onBusError(int) {
  ssize_t const written = ::write(busFault.fd, busFault.message.data(), busFault.message.size());
  static_cast<void>(written);
  ::_exit(kStorageFailure);
}

void prepareBusFault(Options const& o) {
  std::string const message = "image " + o.image +
                              ": its storage failed under a row access (SIGBUS: an I/O error, or "
                              "the file was cut short); the image is as an interrupted apply "
                              "leaves it";
  if (!o.json) {
    busFault = {"ifa-agent: " + message + "\n", STDERR_FILENO};
    return;
  }
  IfaAgent::Json document = IfaAgent::jsonDocument(o.command);
  document["error"] = {{"status", kStorageFailure},
                       {"kind", IfaAgent::kindOf(kStorageFailure)},
                       {"message", message}};
  busFault = {document.dump(-1, ' ', false, IfaAgent::Json::error_handler_t::replace) + "\n",
              STDOUT_FILENO};
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine line;
  try {
    if (auto const status = line.parse(argc, argv)) return *status;
  } catch (UsageError const& e) {
    std::cerr << IfaText::usageText("ifa-agent", e.what());
    return kUsage;
  }
  prepareBusFault(line.options());
  struct sigaction action {};
  action.sa_handler = onBusError;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(SIGBUS, &action, nullptr);
  return runReporting(line.options());
}
