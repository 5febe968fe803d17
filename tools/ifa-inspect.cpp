// ifa-inspect: looks at the software tables the way the agent's runtime does,
// through the type modules the library registers when it loads and the hooks
// those modules name; nothing here calls a table's C++ interface.
//
//   ifa-inspect modules [NAME] [--json]  the registered modules, types and attributes
//   ifa-inspect table NAME FILE          a new table filled from FILE, then its attributes
//   ifa-inspect help [COMMAND]           the help of the program or of COMMAND
#include <dlfcn.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "IfaSwTablesVersion.h"
#include "Kiva/TypeModule.h"
#include "Orrin/ModuleInspectData.h"
#include "agent/CliDocs.h"
#include "text/Suggest.h"
#include "text/Usage.h"
#include "tools/EntryFile.h"

namespace {

using IfaInspect::excerpt;
using Orrin::ModuleInspectData;
using Orrin::Value;
using Attribute = ModuleInspectData::Attribute;
using Type = ModuleInspectData::Type;

// Exit statuses: done, failed, and a command line that cannot be used
// (EX_USAGE of <sysexits.h>).
constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 64;

// A failure with its message for standard error (exit status 1).
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string hex2(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02x", v);
  return buf;
}

std::string typeText(ModuleInspectData::TypeRef const& t) {
  return t.named() ? std::string(t.name) : std::string("-");
}

std::string argumentsText(std::vector<ModuleInspectData::Argument> const& args) {
  std::string out = "(";
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i != 0) out += ", ";
    out +=
        std::string(args[i].name) + ": " + typeText(args[i].type) + (args[i].optional ? "?" : "");
  }
  return out + ")";
}

// What the kind and access bytes say, in words.
std::string kindText(Attribute const& a) {
  Kiva::AttributeKind const* kind = Kiva::attributeKindOf(a.kind, a.access);
  std::string k = kind != nullptr ? std::string(kind->text) : "kind " + hex2(a.kind);
  if (a.fieldPosition >= 0) k += " " + std::to_string(a.fieldPosition);
  if (!a.inspectable()) k += ", not for the runtime";
  return k;
}

// The hooks a type's record names.
std::vector<std::string> hookNames(ModuleInspectData::Hooks const& h) {
  std::vector<std::string> out;
  auto add = [&](bool present, char const* name) {
    if (present) out.emplace_back(name);
  };
  add(h.newEntityForDir != nullptr, "newEntityForDir");
  add(h.valueOperations != nullptr, "value operations");
  add(h.entityInterface != nullptr, "entity interface");
  add(h.constructFromCtorArgs != nullptr, "genericIfConstructFromCtorArgs");
  add(h.inspectOperation != nullptr, "inspectOperation");
  add(h.iterator != nullptr, "genericIfIterator");
  return out;
}

std::string hooksText(ModuleInspectData::Hooks const& h) {
  std::string out;
  for (std::string const& name : hookNames(h)) out += (out.empty() ? "" : ", ") + name;
  return out.empty() ? "none" : out;
}

std::string categoryText(Type const& t) {
  return t.valueType() ? "value type" : t.abstract() ? "abstract entity" : "entity";
}

void printType(Type const& t) {
  std::cout << "  type " << t.number << ": " << t.name << "\n"
            << "    " << categoryText(t) << ", base " << typeText(t.base) << ", " << t.sizeWords * 4
            << " bytes, flags " << hex2(t.flags) << "\n";
  if (!t.ctorArgs.empty())
    std::cout << "    constructed with " << argumentsText(t.ctorArgs) << "\n";
  std::cout << "    hooks: " << hooksText(t.hooks) << "\n";
  for (Attribute const& a : t.attributes) {
    std::cout << "    " << a.number << " " << a.name;
    if (a.function()) std::cout << argumentsText(a.args);
    if (a.collection()) std::cout << "[" << typeText(a.keyType) << "]";
    std::cout << ": " << typeText(a.valueType) << "  (" << kindText(a) << "; kind " << hex2(a.kind)
              << ", access " << hex2(a.access) << ")\n";
  }
}

// The same facts as printType, as JSON: names are strings, numbers numbers,
// an unnamed type null.
nlohmann::json typeJson(ModuleInspectData::TypeRef const& t) {
  return t.named() ? nlohmann::json(std::string(t.name)) : nlohmann::json(nullptr);
}

nlohmann::json argumentsJson(std::vector<ModuleInspectData::Argument> const& args) {
  nlohmann::json out = nlohmann::json::array();
  for (ModuleInspectData::Argument const& a : args) {
    out.push_back(
        {{"name", std::string(a.name)}, {"type", typeJson(a.type)}, {"optional", a.optional}});
  }
  return out;
}

nlohmann::json typeJson(Type const& t) {
  nlohmann::json attributes = nlohmann::json::array();
  for (Attribute const& a : t.attributes) {
    nlohmann::json j = {{"number", a.number},
                        {"name", std::string(a.name)},
                        {"valueType", typeJson(a.valueType)},
                        {"kind", a.kind},
                        {"access", a.access},
                        {"description", kindText(a)},
                        {"inspectable", a.inspectable()}};
    if (a.function()) j["arguments"] = argumentsJson(a.args);
    if (a.collection()) j["keyType"] = typeJson(a.keyType);
    if (a.fieldPosition >= 0) j["fieldPosition"] = a.fieldPosition;
    attributes.push_back(std::move(j));
  }
  return {{"number", t.number},
          {"name", std::string(t.name)},
          {"category", categoryText(t)},
          {"base", typeJson(t.base)},
          {"bytes", t.sizeWords * 4},
          {"flags", t.flags},
          {"constructorArguments", argumentsJson(t.ctorArgs)},
          {"hooks", hookNames(t.hooks)},
          {"attributes", std::move(attributes)}};
}

int listModules(std::string const& filter, bool json) {
  nlohmann::json modules = nlohmann::json::array();
  bool any = false;
  for (ModuleInspectData::Module const* m : ModuleInspectData::loadedModules()) {
    bool const wanted = filter.empty() || m->name == filter ||
                        std::any_of(m->types.begin(), m->types.end(), [&](Type const& t) {
                          return t.name == filter || t.name.ends_with("::" + filter);
                        });
    if (!wanted) continue;
    any = true;
    if (json) {
      nlohmann::json types = nlohmann::json::array();
      for (Type const& t : m->types) types.push_back(typeJson(t));
      modules.push_back(
          {{"name", m->name}, {"symbol", m->symbol}, {"id", m->id}, {"types", std::move(types)}});
      continue;
    }
    std::cout << "module " << (m->name.empty() ? std::string("(unnamed)") : m->name);
    if (!m->symbol.empty()) std::cout << " (" << m->symbol << ")";
    std::cout << ": " << m->types.size() << " types\n";
    for (Type const& t : m->types) printType(t);
  }
  if (!any) {
    throw Failure(filter.empty() ? "no type modules are registered"
                                 : "no module or type named \"" + excerpt(filter, 48) + "\"");
  }
  if (json) {
    nlohmann::json const out = {{"formatVersion", 1}, {"modules", std::move(modules)}};
    std::cout << out.dump(2) << "\n";
  }
  return kDone;
}

// A table: an entity type built by its construction hook that takes entries.
bool isTable(Type const& t) {
  return !t.valueType() && t.hooks.constructFromCtorArgs != nullptr &&
         t.attribute("entryCommit") != nullptr;
}

Type const& findTable(std::string_view name) {
  std::vector<Type const*> tables;
  for (ModuleInspectData::Module const* m : ModuleInspectData::loadedModules()) {
    for (Type const& t : m->types) {
      if (isTable(t)) tables.push_back(&t);
    }
  }
  for (Type const* t : tables) {
    if (t->name == name) return *t;
  }
  std::vector<Type const*> matches;
  for (Type const* t : tables) {
    if (t->name.ends_with("::" + std::string(name))) matches.push_back(t);
  }
  if (matches.size() == 1) return *matches.front();
  std::string known;
  for (Type const* t : tables) known += "\n  " + std::string(t->name);
  if (matches.empty()) {
    if (Type const* other = ModuleInspectData::type(name)) {
      throw Failure(std::string(other->name) + " is not a table");
    }
    throw Failure("unknown table \"" + excerpt(name, 48) + "\"; the tables are:" + known);
  }
  throw Failure("table name \"" + excerpt(name, 48) + "\" is ambiguous");
}

std::string statusText(Orrin::Inspect::OpStatus s) {
  switch (s) {
    case Orrin::Inspect::statusDone:
      return "done";
    case Orrin::Inspect::statusNotSupported:
      return "not supported (status 1)";
    case Orrin::Inspect::statusNoSuchAttribute:
      return "no such attribute (status 2)";
    case Orrin::Inspect::statusNoValue:
      return "no value (status 3)";
    case Orrin::Inspect::statusAbsent:
      return "absent (status 4)";
  }
  return "status " + std::to_string(static_cast<int>(s));
}

std::string resultText(Value::Result const& r) {
  if (r.status != Orrin::Inspect::statusDone) return statusText(r.status);
  return r.value ? r.value->text() : "done";
}

// Commits every entry of the file; returns how many. A bad line ends the run
// with FILE:LINE:COLUMN (1-based, counted from the start of the line).
std::size_t commitFile(Value const& table, Type const& type, std::string const& file) {
  std::ifstream in;
  std::istream* is = &std::cin;
  if (file != "-") {
    std::error_code ec;
    if (std::filesystem::is_directory(file, ec)) throw Failure(file + ": is a directory");
    in.open(file);
    if (!in) throw Failure(file + ": cannot open: " + std::strerror(errno));
    is = &in;
  }
  Attribute const& commit = type.at("entryCommit");
  if (commit.args.size() != 2) {
    throw Failure(std::string(type.name) + "::entryCommit does not take (key, entry)");
  }
  // Entry files are small; a device or a runaway pipe must not fill memory.
  constexpr std::size_t kMaxBytes = std::size_t{16} << 20;
  std::string text;
  char chunk[1 << 16];
  while (is->read(chunk, sizeof chunk) || is->gcount() > 0) {
    if (text.size() + static_cast<std::size_t>(is->gcount()) > kMaxBytes) {
      throw Failure(file + ": larger than " + std::to_string(kMaxBytes) + " bytes");
    }
    text.append(chunk, static_cast<std::size_t>(is->gcount()));
  }
  if (is->bad()) throw Failure(file + ": cannot read");
  std::size_t count = 0;
  IfaInspect::readEntryFile(
      text, file, commit.args[0].type, commit.args[1].type, [&](IfaInspect::FileEntry entry) {
        Value::Result const r = table.call(commit, {&entry.key, &entry.entry});
        if (r.status != Orrin::Inspect::statusDone) {
          throw IfaInspect::EntryFileError(file, entry.line, entry.keyColumn,
                                           "entryCommit gave " + statusText(r.status));
        }
        ++count;
      });
  return count;
}

void printCollection(Value const& table, Attribute const& a) {
  std::cout << "  " << a.number << " " << a.name << "[" << typeText(a.keyType)
            << "]: " << typeText(a.valueType);
  Value::Result const count = table.memberCount(a);
  if (count.status == Orrin::Inspect::statusDone) {
    auto const members = count.value->number();
    std::cout << ", " << members << (members == 1 ? " member" : " members");
    Value::Result const slots = table.secondSize(a);
    if (slots.status == Orrin::Inspect::statusDone) {
      std::cout << " (" << slots.value->number() << " node slots allocated)";
    }
  }
  std::cout << "\n";
  // Members by key, whatever order the collection keeps.
  std::vector<std::pair<std::uint64_t, std::string>> members;
  Value::Iteration it = table.iterate(a);
  if (!it.started()) {
    std::cout << "    (no iterator)\n";
    return;
  }
  for (; it.atMember(); it.next()) {
    std::optional<Value> v = it.object();
    members.emplace_back(it.key().number(), v ? v->text() : std::string("(no value)"));
  }
  std::sort(members.begin(), members.end());
  for (auto const& [key, text] : members) std::cout << "    " << key << ": " << text << "\n";
}

int showTable(std::string_view name, std::string const& file) {
  Type const& type = findTable(name);
  Value const table = Value::construct(type);
  std::size_t const committed = commitFile(table, type, file);
  std::cout << "table " << type.name << " (module " << type.module->name << ")\n"
            << "committed " << committed << " entr" << (committed == 1 ? "y" : "ies") << " from "
            << file << " through entryCommit\n";
  for (Attribute const& a : type.attributes) {
    if (!a.inspectable()) continue;
    if (a.collection()) {
      printCollection(table, a);
    } else if (!a.function()) {
      std::cout << "  " << a.number << " " << a.name << " = " << resultText(table.get(a)) << "\n";
    } else if (a.args.empty() && (a.kind == Kiva::AttrKind::ReadOnlyFunction.kind ||
                                  a.kind == Kiva::AttrKind::RefFunction.kind)) {
      // Only the functions that read: minIndex, maxIndex, util.
      std::cout << "  " << a.number << " " << a.name << "() = " << resultText(table.call(a))
                << "\n";
    }
  }
  return kDone;
}

// Help texts, wrapped for the formatter's 26-column name field: no line of
// the help is wider than 100 columns.
constexpr char const* kDescription =
    "Looks at the software tables the way the agent's runtime does: through the type modules\n"
    "the library registers when it loads, and the hooks those modules name.";

constexpr char const* kFileFormat =
    "FILE holds one entry per line: KEY ENTRY-TEXT, where KEY is the entry's index (decimal or\n"
    "0x hex) and ENTRY-TEXT the entry's text form, for example\n"
    "  7 CorvaneInt::IfaActionProfile::Entry(baseHdrType=1, ...)\n"
    "or the short form of ifa-agent's configuration (NAME=VALUE, a field left out is 0):\n"
    "  7 baseHdrType=1 hoplimit=64\n"
    "Blank lines and lines starting with # are skipped. A bad line ends the run with\n"
    "FILE:LINE:COLUMN: MESSAGE (COLUMN counted from the start of the line, FILE - for\n"
    "standard input).\n";

constexpr char const* kExitStatus =
    "Exit status: 0 done, 1 failed (unknown name, bad entry), 64 usage error.";

// CLI11's formatter, with each command listed with its arguments
// ("table NAME FILE") in the list of commands.
class Formatter : public CLI::Formatter {
 public:
  std::string make_subcommand(CLI::App const* sub) const override {
    std::string name = sub->get_name();
    for (CLI::Option const* o :
         sub->get_options([](CLI::Option const* o) { return o->get_positional(); })) {
      name += " " + make_option_usage(o);
    }
    std::ostringstream out;
    CLI::detail::format_help(out, name, sub->get_description(), get_column_width());
    return out.str();
  }
};

// A command line that cannot be used: two lines on standard error, as the
// agent prints them.
int usageError(std::string const& message) {
  std::cerr << IfaText::usageText("ifa-inspect", message);
  return kUsage;
}

std::vector<std::string_view> commandNames(CLI::App const& app) {
  std::vector<std::string_view> names;
  for (CLI::App const* sub : app.get_subcommands({})) names.push_back(sub->get_name());
  return names;
}

std::string unknownCommand(std::string_view word, CLI::App const& app) {
  return "unknown command \"" + excerpt(word, 48) + "\"" +
         IfaText::didYouMean(word, commandNames(app));
}

// The options of a command and the program's, as written.
std::vector<std::string> optionNames(CLI::App const& app, CLI::App const* sub) {
  std::vector<std::string> names;
  for (CLI::App const* of : {&app, sub}) {
    if (of == nullptr) continue;
    for (CLI::Option const* option : of->get_options()) {
      for (std::string const& name : option->get_lnames()) names.push_back("--" + name);
      for (std::string const& name : option->get_snames()) names.push_back("-" + name);
    }
  }
  return names;
}

// What CLI11 found wrong, in its words, except that a word where a command
// belongs is named as an unknown command and an unknown option gets a
// suggestion, as in the agent.
std::string usageMessage(CLI::ParseError const& e, CLI::App const& app) {
  if (dynamic_cast<CLI::ExtrasError const*>(&e) != nullptr) {
    auto const subs = app.get_subcommands();
    CLI::App const* sub = subs.empty() ? nullptr : subs.front();
    // The program's options may follow the command, so a word the command
    // does not take may be left to the program.
    std::vector<std::string> rest = sub ? sub->remaining() : std::vector<std::string>();
    if (rest.empty()) rest = app.remaining();
    if (!rest.empty() && rest.front().size() > 1 && rest.front().starts_with("-")) {
      return (sub ? sub->get_name() + ": " : std::string()) +
             IfaText::unknownOption(rest.front(), optionNames(app, sub));
    }
    if (sub == nullptr && !rest.empty()) return unknownCommand(rest.front(), app);
  }
  return e.what();
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(kDescription, "ifa-inspect");
  app.formatter(std::make_shared<Formatter>());
  app.get_formatter()->column_width(26);
  app.get_formatter()->label("SUBCOMMAND", "COMMAND");
  app.set_help_flag("-h,--help", "print this help and exit");
  app.set_version_flag("--version",
                       std::string("ifa-inspect (ifa-swtables) ") + IFA_SWTABLES_VERSION,
                       "print the release and exit");
  std::vector<std::string> libraries;
  app.add_option("--load", libraries,
                 "load a further library first (its modules register as it\n"
                 "loads); may be given more than once")
      ->type_name("LIBRARY")
      ->allow_extra_args(false);
  // The program's options may follow the command too.
  app.fallthrough();
  app.require_subcommand(0, 1);
  app.footer(std::string(kFileFormat) + "\n" + kExitStatus);

  std::string moduleName;
  bool json = false;
  CLI::App* const modules =
      app.add_subcommand("modules",
                         "list the registered type modules with their types and\n"
                         "attributes, as the runtime's registry decodes them. With NAME,\n"
                         "only the module of that name or of a type so named.");
  modules->add_option("NAME", moduleName, "a module, or a type qualified or short")->type_name("");
  modules
      ->add_flag("--json", json,
                 "print the modules as one JSON document, with\n"
                 "\"formatVersion\": 1")
      ->disable_flag_override();
  modules->footer(kExitStatus);

  std::string tableName, file;
  CLI::App* const table =
      app.add_subcommand("table",
                         "create the table NAME through its construction hook, commit\n"
                         "every entry of FILE through its entryCommit attribute, and\n"
                         "print the table's attributes through its hooks.");
  table
      ->add_option("NAME", tableName,
                   "the table, qualified (CorvaneInt::IfaActionProfile) or\n"
                   "short (IfaActionProfile)")
      ->type_name("")
      ->required();
  table->add_option("FILE", file, "the entries, one per line; - for standard input")
      ->type_name("")
      ->required();
  table->footer(std::string(kFileFormat) + "\n" + kExitStatus);

  std::string topic;
  CLI::App* const help = app.add_subcommand("help", "this help, or a command's");
  help->add_option("COMMAND", topic, "the command")->type_name("");
  help->footer(kExitStatus);

  for (CLI::App* command : {modules, table, help}) command->group("Commands");
  // The manual page, for the build; not listed in the help.
  CLI::App* const manpage = app.add_subcommand("manpage", "Print the manual page")->group("");

  try {
    app.parse(argc, argv);
  } catch (CLI::ParseError const& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    return usageError(usageMessage(e, app));
  }
  if (manpage->parsed()) {
    std::cout << CliDocs::manPage(app,
                                  {"ifa-inspect", 1, "the IFA tables as the type runtime sees them",
                                   std::string("ifa-swtables ") + IFA_SWTABLES_VERSION,
                                   IFA_SWTABLES_RELEASE_DATE, "User Commands"},
                                  {"ifa-agent(1)"});
    return 0;
  }
  if (app.get_subcommands().empty()) {
    std::cerr << app.help();
    return kUsage;
  }
  if (help->parsed()) {
    if (topic.empty()) {
      std::cout << app.get_formatter()->make_help(&app, app.get_name(), CLI::AppFormatMode::Normal);
      return kDone;
    }
    CLI::App const* command = nullptr;
    for (CLI::App const* c : {modules, table, help}) {
      if (c->get_name() == topic) command = c;
    }
    if (command == nullptr) return usageError(unknownCommand(topic, app));
    std::cout << command->help(app.get_name());
    return kDone;
  }

  try {
    for (std::string const& library : libraries) {
      if (dlopen(library.c_str(), RTLD_NOW | RTLD_GLOBAL) == nullptr) {
        throw Failure("cannot load " + library + ": " + dlerror());
      }
    }
    if (modules->parsed()) return listModules(moduleName, json);
    return showTable(tableName, file);
  } catch (std::exception const& e) {
    std::cerr << "ifa-inspect: " << e.what() << "\n";
    return kFailed;
  }
}
