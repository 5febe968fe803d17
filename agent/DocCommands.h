// The agent's commands that print its own documentation, written from its
// command line (agent/CliDocs.h): "completion bash", the bash completion
// script, and the hidden "manpage", the ifa-agent(1) manual page the build
// installs.
#pragma once

#include <optional>

#include <CLI/CLI.hpp>

namespace IfaAgent {

// Adds the two commands to the agent's command line.
void addDocCommands(CLI::App& app);

// When the command parsed is one of them: prints what it asks for and
// returns the exit status.
std::optional<int> runDocCommand(CLI::App const& app);

}  // namespace IfaAgent
