#include "agent/CliDocs.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace CliDocs {
namespace {

bool visible(CLI::App const* sub) {
  return !sub->get_group().empty();
}

std::vector<CLI::App const*> commands(CLI::App const& app) {
  std::vector<CLI::App const*> out = app.get_subcommands({});
  std::erase_if(out, [](CLI::App const* sub) { return !visible(sub); });
  return out;
}

bool isHelpOrVersion(CLI::App const& app, CLI::Option const* o) {
  return o == app.get_help_ptr() || o == app.get_version_ptr() || o == app.get_help_all_ptr();
}

// The options a command documents: operands first, in order, then options.
std::vector<CLI::Option const*> operands(CLI::App const& app) {
  return app.get_options([](CLI::Option const* o) { return o->get_positional(); });
}
std::vector<CLI::Option const*> options(CLI::App const& app) {
  return app.get_options(
      [&app](CLI::Option const* o) { return !o->get_positional() && !isHelpOrVersion(app, o); });
}

bool takesValue(CLI::Option const* o) {
  return o->get_expected_max() > 0;
}

// The name of an option's value: its type name without CLI11's "TEXT"
// default; VALUE when it has none.
std::string valueName(CLI::Option const* o) {
  std::string name = o->get_type_name();
  if (name.rfind("TEXT:", 0) == 0) name = name.substr(5);
  if (name.empty() || name == "TEXT") name = "VALUE";
  return name;
}

// "-v, --verbose", "--image FILE".
std::string optionNames(CLI::Option const* o) {
  std::string out;
  for (std::string const& s : o->get_snames()) out += (out.empty() ? "-" : ", -") + s;
  for (std::string const& l : o->get_lnames()) out += (out.empty() ? "--" : ", --") + l;
  return out;
}

std::string roffOptionNames(CLI::Option const* o) {
  std::string out = "\\fB" + roffText(optionNames(o)) + "\\fR";
  if (takesValue(o)) out += " \\fI" + roffText(valueName(o)) + "\\fR";
  return out;
}

// One command's synopsis line: "\fBifa-agent apply\fR \fICONFIG\fR [\fIOPTIONS\fR]".
std::string synopsis(std::string_view program, CLI::App const* sub) {
  std::string out = ".B " + roffText(program) + (sub ? " " + roffText(sub->get_name()) : "") + "\n";
  std::string rest;
  if (sub != nullptr) {
    for (CLI::Option const* o : operands(*sub)) {
      std::string const name = "\\fI" + roffText(o->get_name()) + "\\fR";
      rest += (rest.empty() ? "" : " ") + (o->get_required() ? name : "[" + name + "]");
    }
    if (!options(*sub).empty()) rest += std::string(rest.empty() ? "" : " ") + "[\\fIOPTIONS\\fR]";
  } else {
    rest = "\\fICOMMAND\\fR [\\fIOPTIONS\\fR]";
  }
  return out + rest + "\n.br\n";
}

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::vector<std::string> lines(std::string_view text) {
  std::vector<std::string> out;
  std::istringstream in{std::string(text)};
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::string shellWords(std::vector<std::string> const& words) {
  std::string out;
  for (std::string const& w : words) out += (out.empty() ? "" : " ") + w;
  return out;
}

}  // namespace

std::string roffText(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else if (c == '\n') {
      out += ' ';
    } else {
      out += c;
    }
  }
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
  return out;
}

std::string roffHead(Page const& page) {
  return ".TH " + upper(page.name) + " " + std::to_string(page.section) + " \"" + page.date +
         "\" \"" + page.source + "\" \"" + page.manual + "\"\n.SH NAME\n" + roffText(page.name) +
         " \\- " + roffText(page.summary) + "\n";
}

std::string roffHelpText(std::string_view text, bool sections) {
  std::vector<std::string> const all = lines(text);
  std::string out;
  bool paragraph = true;  // the next text starts a paragraph
  bool preformatted = false;
  auto indented = [](std::string const& l) { return !l.empty() && l[0] == ' '; };
  for (std::size_t i = 0; i < all.size(); ++i) {
    std::string const& line = all[i];
    if (line.empty()) {
      if (preformatted) out += ".fi\n.RE\n";
      preformatted = false;
      paragraph = true;
      continue;
    }
    if (indented(line)) {
      if (!preformatted) out += ".RS 2\n.nf\n";
      preformatted = true;
      // Kept as it is, less the common indent of two.
      out += roffText(line.substr(std::min<std::size_t>(2, line.find_first_not_of(' ')))) + "\n";
      continue;
    }
    if (preformatted) out += ".fi\n.RE\n";
    preformatted = false;
    bool const heading =
        paragraph && line.back() == ':' && i + 1 < all.size() && indented(all[i + 1]);
    if (heading) {
      std::string const title = line.substr(0, line.size() - 1);
      out += sections ? ".SH " + roffText(upper(title)) + "\n"
                      : ".PP\n\\fB" + roffText(title) + "\\fR\n";
      paragraph = false;
      continue;
    }
    if (paragraph) out += ".PP\n";
    paragraph = false;
    out += roffText(line) + "\n";
  }
  if (preformatted) out += ".fi\n.RE\n";
  return out;
}

std::string manPage(CLI::App const& app, Page const& page,
                    std::vector<std::string> const& seeAlso) {
  std::string out = roffHead(page);
  out += ".SH SYNOPSIS\n";
  auto const subs = commands(app);
  if (subs.empty()) {
    out += ".B " + roffText(page.name) + "\n[\\fIOPTIONS\\fR]\n";
  } else {
    for (CLI::App const* sub : subs) out += synopsis(page.name, sub);
    out += ".B " + roffText(page.name) + "\n\\fB\\-\\-help\\fR | \\fB\\-\\-version\\fR\n";
  }
  out += ".SH DESCRIPTION\n" + roffHelpText(app.get_description(), false);

  auto const describe = [](CLI::Option const* o, std::string const& names) {
    return ".TP\n" + names + "\n" + roffText(o->get_description()) + "\n";
  };
  out += ".SH OPTIONS\n";
  for (CLI::Option const* o :
       app.get_options([](CLI::Option const* o) { return !o->get_positional(); }))
    out += describe(o, roffOptionNames(o));
  if (!subs.empty()) {
    out += ".SH COMMANDS\n";
    for (CLI::App const* sub : subs) {
      std::string title = sub->get_name();
      for (CLI::Option const* o : operands(*sub)) title += " " + o->get_name();
      out += ".SS \"" + roffText(title) + "\"\n" + roffText(sub->get_description()) + "\n";
      for (CLI::Option const* o : operands(*sub))
        out += describe(o, "\\fI" + roffText(o->get_name()) + "\\fR");
      for (CLI::Option const* o : options(*sub)) out += describe(o, roffOptionNames(o));
      out += roffHelpText(sub->get_footer(), false);
    }
  }
  out += roffHelpText(app.get_footer(), true);
  if (!seeAlso.empty()) {
    out += ".SH SEE ALSO\n";
    for (std::size_t i = 0; i < seeAlso.size(); ++i) {
      std::string const& ref = seeAlso[i];
      std::size_t const paren = ref.find('(');
      out += ".BR " + roffText(ref.substr(0, paren)) + " " + ref.substr(paren) +
             (i + 1 < seeAlso.size() ? "," : "") + "\n";
    }
  }
  return out;
}

std::string bashCompletion(CLI::App const& app, std::vector<Completion> const& values) {
  std::string const program = app.get_name();
  std::string function = "_" + program;
  std::replace(function.begin(), function.end(), '-', '_');
  // The words of an operand or a value, or "-f" for file names.
  auto const wordsOf = [&values](std::string const& name, std::string const& type) -> std::string {
    for (Completion const& c : values) {
      if (c.name == name || c.name == type) return shellWords(c.words);
    }
    std::size_t const open = type.find('{');
    if (open != std::string::npos && type.back() == '}') {
      std::string words = type.substr(open + 1, type.size() - open - 2);
      std::replace(words.begin(), words.end(), ',', ' ');
      return words;
    }
    if (name == "FILE" || type == "FILE" || name == "CONFIG") return "-f";
    return "";
  };
  auto const compgen = [](std::string const& words) {
    return words == "-f" ? std::string("COMPREPLY=($(compgen -f -- \"$cur\"))")
                         : "COMPREPLY=($(compgen -W \"" + words + "\" -- \"$cur\"))";
  };

  std::vector<std::string> top;
  for (CLI::App const* sub : commands(app)) top.push_back(sub->get_name());
  for (CLI::Option const* o : app.get_options({})) {
    for (std::string const& l : o->get_lnames()) top.push_back("--" + l);
  }

  std::string values_;  // the case arms of option values: "apply:--image)"
  std::string arms;     // the case arms of commands
  for (CLI::App const* sub : commands(app)) {
    std::vector<std::string> opts;
    for (CLI::Option const* o :
         sub->get_options([](CLI::Option const* o) { return !o->get_positional(); })) {
      for (std::string const& s : o->get_snames()) opts.push_back("-" + s);
      for (std::string const& l : o->get_lnames()) opts.push_back("--" + l);
      if (!takesValue(o)) continue;
      std::string pattern;
      for (std::string const& s : o->get_snames())
        pattern += (pattern.empty() ? "" : "|") + sub->get_name() + ":-" + s;
      for (std::string const& l : o->get_lnames())
        pattern += (pattern.empty() ? "" : "|") + sub->get_name() + ":--" + l;
      std::string const words = wordsOf("", o->get_type_name());
      values_ += "    " + pattern + ")\n      " +
                 (words.empty() ? "COMPREPLY=()" : compgen(words)) + "\n      return ;;\n";
    }
    std::string operandWords;
    for (CLI::Option const* o : operands(*sub)) {
      operandWords = wordsOf(o->get_name(), o->get_type_name());
      break;
    }
    arms += "    " + sub->get_name() + ")\n      if [[ $cur == -* ]]; then\n        " +
            compgen(shellWords(opts)) + "\n";
    if (!operandWords.empty()) arms += "      else\n        " + compgen(operandWords) + "\n";
    arms += "      fi ;;\n";
  }

  return "# bash completion for " + program + ": its commands, their options and\n" +
         "# the values they take. Made by \"" + program + " completion bash\".\n" + function +
         "() {\n"
         "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}\n"
         "  local command=\"\" i\n"
         "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
         "    case ${COMP_WORDS[i]} in\n"
         "      -*) ;;\n"
         "      *) command=${COMP_WORDS[i]}; break ;;\n"
         "    esac\n"
         "  done\n"
         "  COMPREPLY=()\n"
         "  case $command:$prev in\n" +
         values_ +
         "  esac\n"
         "  case $command in\n"
         "    \"\")\n      " +
         compgen(shellWords(top)) + " ;;\n" + arms +
         "  esac\n"
         "}\n"
         "complete -o filenames -F " +
         function + " " + program + "\n";
}

}  // namespace CliDocs
