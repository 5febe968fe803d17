// Support for the tests that run ifa-agent as a process: temporary
// directories, files, the agent run with its output and exit status, and
// what `show` prints for a configuration.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "TestFiles.h"
#include "TestTables.h"
#include "agent/Config.h"
#include "chip/ChipProfile.h"

namespace AgentTest {

namespace fs = std::filesystem;

using IfaTest::contents;
using IfaTest::TempDir;
using IfaTest::write;

struct Result {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
  bool killed() const { return status == 128 + 9; }
};

// Runs the agent with `args` (shell words, redirections of standard input
// allowed) and extra environment `env` ("NAME=value ..."); the chip settings
// of the caller's environment are not passed on. An agent still running after
// two minutes is stopped (status 124), so that a hang fails the test.
inline Result agent(std::string const& args, std::string const& env = "") {
  TempDir io;
  std::string const command =
      "env -u IFA_CHIP_PROFILE -u IFA_CHIP_CRASH_AFTER_WRITES "
      "-u IFA_CHIP_PAUSE_AFTER_WRITES " +
      env + " timeout -k 5 120 " IFA_AGENT_PROGRAM " " + args + " >" + io.file("out") + " 2>" +
      io.file("err");
  int const raw = std::system(command.c_str());
  Result r;
  if (WIFEXITED(raw)) r.status = WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) r.status = 128 + WTERMSIG(raw);
  r.out = contents(io.file("out"));
  r.err = contents(io.file("err"));
  return r;
}

inline std::string quote(std::string const& s) {
  return "'" + s + "'";
}

inline std::string example(std::string const& name) {
  return std::string(IFA_EXAMPLES_DIR) + "/agent/" + name;
}

inline IfaAgent::IndexRanges ranges(std::string_view profile) {
  IfaAgent::IndexRanges out;
  for (auto const& r : SimChip::profile(profile).ranges) {
    out[std::string(r.table)] = {r.minIndex, r.maxIndex};
  }
  return out;
}

// The lines `show` prints for a configuration: every entry, in table and key
// order, in `form`.
inline std::string shown(IfaAgent::Config const& config,
                         IfaAgent::LineForm form = IfaAgent::LineForm::named) {
  std::string out;
  IfaRuntime::AllTables::forEach([&]<class Table>() {
    auto items = config.table<Table>().items;
    std::sort(items.begin(), items.end(), [](auto& a, auto& b) { return a.key < b.key; });
    for (auto const& item : items)
      out += IfaAgent::configLine<Table>(item.key, item.entry, form) + "\n";
  });
  return out;
}

// What `show` prints for the example configuration `name`.
inline std::string shownExample(std::string const& name) {
  return shown(IfaAgent::Config::parse(contents(example(name)), name, ranges("corvane-sim-a")));
}

// A JSON document the agent printed; fails the test when it is not one.
inline nlohmann::json json(std::string const& text) {
  nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
  EXPECT_FALSE(document.is_discarded()) << "not JSON: " << text;
  return document;
}

// Figures of a JSON report: table -> {entries, readBack, matched, ...}.
struct Figures {
  unsigned entries, readBack, matched, mismatched, missing, stale;
  bool operator==(Figures const&) const = default;
};
inline std::map<std::string, Figures> figures(nlohmann::json const& report) {
  std::map<std::string, Figures> out;
  for (auto const& t : report.at("tables")) {
    out[t.at("table")] = {t.at("entries"),    t.at("readBack"), t.at("matched"),
                          t.at("mismatched"), t.at("missing"),  t.at("stale")};
  }
  return out;
}
inline std::map<std::string, Figures> figures(std::string const& text) {
  return figures(json(text));
}

}  // namespace AgentTest
