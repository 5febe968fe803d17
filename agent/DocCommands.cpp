#include "agent/DocCommands.h"

#include <iostream>
#include <string>
#include <vector>

#include "IfaSwTablesVersion.h"
#include "agent/CliDocs.h"
#include "agent/TableChanges.h"

namespace IfaAgent {
namespace {

std::string shell;

char const kCompletionFooter[] =
    R"(Prints a completion script of the commands, their options and the table
names. Installed as share/bash-completion/completions/ifa-agent; to use it in
the current shell: source <(ifa-agent completion bash))";

}  // namespace

void addDocCommands(CLI::App& app) {
  CLI::App* completion =
      app.add_subcommand("completion", "the shell completion script of these commands");
  completion->group("Commands");
  completion->footer(kCompletionFooter);
  completion->add_option("SHELL", shell, "the shell: bash")
      ->required()
      ->check(CLI::IsMember({"bash"}));
  // The manual page, for the build; not listed in the help.
  app.add_subcommand("manpage", "print the manual page ifa-agent(1)")->group("");
}

std::optional<int> runDocCommand(CLI::App const& app) {
  auto const parsed = app.get_subcommands();
  if (parsed.empty()) return std::nullopt;
  std::string const name = parsed.front()->get_name();
  if (name == "manpage") {
    std::cout << CliDocs::manPage(
        app,
        {"ifa-agent", 1, "program the IFA tables of a switch chip from a configuration",
         std::string("ifa-swtables ") + IFA_SWTABLES_VERSION, IFA_SWTABLES_RELEASE_DATE,
         "User Commands"},
        {"ifa-agent.conf(5)", "ifa-inspect(1)"});
    return 0;
  }
  if (name != "completion") return std::nullopt;
  std::vector<std::string> tables, commands;
  forEachTable([&]<class Table>(std::size_t) { tables.emplace_back(Table::kName); });
  for (CLI::App const* sub : app.get_subcommands({})) {
    if (!sub->get_group().empty()) commands.push_back(sub->get_name());
  }
  std::cout << CliDocs::bashCompletion(app, {{"TABLE", tables}, {"COMMAND", commands}});
  return 0;
}

}  // namespace IfaAgent
