// The agent's exit statuses (agent/ExitStatuses.def): the constants the
// program ends with, and the table its help and the docs pages show.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace IfaAgent {

// The constants, in a namespace of their own so that a program can take
// them in by name alone.
namespace ExitStatuses {
enum ExitStatus : int {
#define IFA_EXIT_STATUS(constant, status, kind, meaning) constant = status,
#include "agent/ExitStatuses.def"
};
}  // namespace ExitStatuses
using ExitStatuses::ExitStatus;

struct ExitStatusRow {
  ExitStatus status;
  std::string_view kind;     // of a JSON error document; empty: no failure
  std::string_view meaning;  // Markdown
};

inline constexpr ExitStatusRow kExitStatuses[] = {
#define IFA_EXIT_STATUS(constant, status, kind, meaning) {ExitStatuses::constant, kind, meaning},
#include "agent/ExitStatuses.def"
};

// The kind of failure a status stands for, as JSON error documents name it.
constexpr std::string_view kindOf(ExitStatus status) {
  for (ExitStatusRow const& row : kExitStatuses) {
    if (row.status == status) return row.kind;
  }
  return {};
}

// The exit statuses as the help lists them: "  N   meaning", the meaning
// without backquotes, wrapped to `columns`.
std::string exitStatusHelp(std::size_t columns = 80);

}  // namespace IfaAgent
