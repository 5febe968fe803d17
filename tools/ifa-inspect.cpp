// ifa-inspect: looks at the software tables the way the agent's runtime does,
// through the type modules the library registers when it loads and the hooks
// those modules name; nothing here calls a table's C++ interface.
//
//   ifa-inspect modules [NAME]   the registered modules, types and attributes
//   ifa-inspect table NAME FILE  a new table filled from FILE, then its attributes
#include <dlfcn.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Orrin/ModuleInspectData.h"

namespace {

using Orrin::ModuleInspectData;
using Orrin::Value;
using Attribute = ModuleInspectData::Attribute;
using Type = ModuleInspectData::Type;

constexpr char const* kUsage =
    "Usage: ifa-inspect [--load LIBRARY]... COMMAND\n"
    "\n"
    "Commands:\n"
    "  modules [NAME]     List the registered type modules with their types and\n"
    "                     attributes, as the runtime's registry decodes them. With\n"
    "                     NAME, only the module of that name or of a type so named.\n"
    "  table NAME FILE    Create the table NAME (qualified, as\n"
    "                     CorvaneInt::IfaActionProfile, or short, as IfaActionProfile)\n"
    "                     through its construction hook, commit every entry of FILE\n"
    "                     through its entryCommit attribute, and print the table's\n"
    "                     attributes through its hooks. FILE \"-\" is standard input.\n"
    "\n"
    "FILE holds one entry per line: KEY ENTRY-TEXT, where KEY is the entry's index\n"
    "(decimal or 0x hex) and ENTRY-TEXT the entry's text form, for example\n"
    "  7 CorvaneInt::IfaActionProfile::Entry(baseHdrType=1, ...)\n"
    "Blank lines and lines starting with # are skipped.\n"
    "\n"
    "Options:\n"
    "  --load LIBRARY     Load a further library (its modules register as it loads).\n"
    "  -h, --help         Show this help.\n"
    "\n"
    "Exit status: 0 done, 1 failed (unknown name, bad entry), 2 bad usage.\n";

// A failure with its message for standard error (exit 1), and a command
// line that cannot be used (exit 2).
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct Usage : std::runtime_error {
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

std::string hooksText(ModuleInspectData::Hooks const& h) {
  std::string out;
  auto add = [&](bool present, char const* name) {
    if (!present) return;
    if (!out.empty()) out += ", ";
    out += name;
  };
  add(h.newEntityForDir != nullptr, "newEntityForDir");
  add(h.valueOperations != nullptr, "value operations");
  add(h.entityInterface != nullptr, "entity interface");
  add(h.constructFromCtorArgs != nullptr, "genericIfConstructFromCtorArgs");
  add(h.inspectOperation != nullptr, "inspectOperation");
  add(h.iterator != nullptr, "genericIfIterator");
  return out.empty() ? "none" : out;
}

void printType(Type const& t) {
  std::cout << "  type " << t.number << ": " << t.name << "\n"
            << "    "
            << (t.valueType()  ? "value type"
                : t.abstract() ? "abstract entity"
                               : "entity")
            << ", base " << typeText(t.base) << ", " << t.sizeWords * 4 << " bytes, flags "
            << hex2(t.flags) << "\n";
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

int listModules(std::string_view filter) {
  bool any = false;
  for (ModuleInspectData::Module const* m : ModuleInspectData::loadedModules()) {
    bool const wanted = filter.empty() || m->name == filter ||
                        std::any_of(m->types.begin(), m->types.end(), [&](Type const& t) {
                          return t.name == filter || t.name.ends_with("::" + std::string(filter));
                        });
    if (!wanted) continue;
    any = true;
    std::cout << "module " << (m->name.empty() ? std::string("(unnamed)") : m->name);
    if (!m->symbol.empty()) std::cout << " (" << m->symbol << ")";
    std::cout << ": " << m->types.size() << " types\n";
    for (Type const& t : m->types) printType(t);
  }
  if (!any) {
    throw Failure(filter.empty() ? "no type modules are registered"
                                 : "no module or type named \"" + std::string(filter) + "\"");
  }
  return 0;
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
    throw Failure("unknown table \"" + std::string(name) + "\"; the tables are:" + known);
  }
  throw Failure("table name \"" + std::string(name) + "\" is ambiguous");
}

std::string trim(std::string_view s) {
  auto const first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  auto const last = s.find_last_not_of(" \t\r");
  return std::string(s.substr(first, last - first + 1));
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

// Commits every entry of the file; returns how many.
std::size_t commitFile(Value const& table, Type const& type, std::string const& file) {
  std::ifstream in;
  std::istream* is = &std::cin;
  if (file != "-") {
    in.open(file);
    if (!in) throw Failure(file + ": cannot open");
    is = &in;
  }
  Attribute const& commit = type.at("entryCommit");
  if (commit.args.size() != 2) {
    throw Failure(std::string(type.name) + "::entryCommit does not take (key, entry)");
  }
  std::size_t count = 0, lineNumber = 0;
  std::string line;
  while (std::getline(*is, line)) {
    ++lineNumber;
    std::string const text = trim(line);
    if (text.empty() || text.front() == '#') continue;
    std::string const where = file + ":" + std::to_string(lineNumber) + ": ";
    auto const split = text.find_first_of(" \t");
    std::string const keyText = text.substr(0, split);
    std::string const entryText = split == std::string::npos ? "" : trim(text.substr(split));
    std::optional<Value> key, entry;
    try {
      key.emplace(Value::parse(commit.args[0].type, keyText));
    } catch (std::exception const& e) {
      throw Failure(where + "bad key \"" + keyText + "\": " + e.what());
    }
    try {
      entry.emplace(Value::parse(commit.args[1].type, entryText));
    } catch (std::exception const& e) {
      throw Failure(where + "bad entry text: " + e.what());
    }
    Value::Result const r = table.call(commit, {&*key, &*entry});
    if (r.status != Orrin::Inspect::statusDone) {
      throw Failure(where + "entryCommit gave " + statusText(r.status));
    }
    ++count;
  }
  return count;
}

void printCollection(Value const& table, Attribute const& a) {
  std::cout << "  " << a.number << " " << a.name << "[" << typeText(a.keyType)
            << "]: " << typeText(a.valueType);
  Value::Result const count = table.memberCount(a);
  if (count.status == Orrin::Inspect::statusDone) {
    std::cout << ", " << count.value->number() << " members";
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
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < args.size(); ++i) {
      if (args[i] == "-h" || args[i] == "--help") {
        std::cout << kUsage;
        return 0;
      }
      if (args[i] == "--load") {
        if (i + 1 == args.size()) throw Usage("--load needs a library");
        if (dlopen(args[i + 1].c_str(), RTLD_NOW | RTLD_GLOBAL) == nullptr) {
          throw Failure("cannot load " + args[i + 1] + ": " + dlerror());
        }
        ++i;
        continue;
      }
      if (args[i].size() > 1 && args[i][0] == '-' && rest.empty()) {
        throw Usage("unknown option " + args[i]);
      }
      rest.push_back(args[i]);
    }
    if (rest.empty()) throw Usage("no command given");
    if (rest[0] == "modules" && rest.size() <= 2) {
      return listModules(rest.size() == 2 ? rest[1] : "");
    }
    if (rest[0] == "table" && rest.size() == 3) return showTable(rest[1], rest[2]);
    if (rest[0] == "modules" || rest[0] == "table") {
      throw Usage("wrong number of arguments for " + rest[0]);
    }
    throw Usage("unknown command \"" + rest[0] + "\"");
  } catch (Usage const& e) {
    std::cerr << "ifa-inspect: " << e.what() << "\n(ifa-inspect --help shows the usage)\n";
    return 2;
  } catch (std::exception const& e) {
    std::cerr << "ifa-inspect: " << e.what() << "\n";
    return 1;
  }
}
