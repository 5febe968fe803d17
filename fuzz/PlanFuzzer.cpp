// Feeds arbitrary text to the saved-plan reader. A refusal must be the
// reader's own (a ConfigError naming the file, placed on the first line or on
// none); anything else aborts. A plan it accepts must be exactly what its
// parts write again: written anew and read back, every part is the same, and
// the text written is a fixed point. So a damaged plan (its body changed
// under an unchanged first line) is never taken for a plan.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>

#include "agent/Config.h"
#include "agent/PlanFile.h"

namespace {

[[noreturn]] void fail(std::string const& what) {
  std::cerr << "plan-fuzzer: " << what << '\n';
  std::abort();
}

bool same(IfaAgent::SavedPlan const& a, IfaAgent::SavedPlan const& b) {
  return a.profile == b.profile && a.image == b.image && a.imageSha256 == b.imageSha256 &&
         a.configurationName == b.configurationName && a.listing == b.listing &&
         a.configuration == b.configuration;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  std::string const text(reinterpret_cast<char const*>(data), size);
  IfaAgent::SavedPlan plan;
  try {
    plan = IfaAgent::readPlanText(text, "fuzz.plan");
  } catch (IfaAgent::ConfigError const& e) {
    if (e.problems().size() != 1) fail("a refusal with other than one problem");
    IfaAgent::Problem const& p = e.problems().front();
    if (p.file != "fuzz.plan" || p.line > 1 || p.message.empty()) {
      fail("a refusal not placed in the file: " + p.text());
    }
    return 0;
  }
  if (!IfaAgent::isPlanText(text)) fail("a plan accepted that does not look like one");
  std::string const written = IfaAgent::planFileText(plan);
  IfaAgent::SavedPlan back;
  try {
    back = IfaAgent::readPlanText(written, "fuzz.plan");
  } catch (std::exception const& e) {
    fail(std::string("a plan written anew does not read: ") + e.what());
  }
  if (!same(plan, back)) fail("a plan written anew reads back different");
  if (IfaAgent::planFileText(back) != written) fail("a plan written twice differs");
  return 0;
}
