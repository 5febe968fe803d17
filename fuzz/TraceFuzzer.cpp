// Feeds arbitrary text to the trace setting parser (KIVA_TRACE, ifa-agent
// --trace) and checks what it does against a small model of the syntax,
// over a fixed set of handles whose names the settings can hit:
//
//   - a setting the model reads adds exactly the levels it names to exactly
//     the handles it names, leaving every other bit as it was, and a handle
//     created afterwards gets the same levels;
//   - a setting the model refuses raises std::invalid_argument naming its
//     first bad entry and changes nothing, now or for later handles.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Kiva/Trace.h"

namespace {

constexpr std::array<std::string_view, 10> kNames = {"SwTableStat",
                                                     "CorvaneInt::IfaActionProfile",
                                                     "CorvaneInt::IfaActionVector",
                                                     "CorvaneInt::",
                                                     "Corvane",
                                                     "a",
                                                     "ab",
                                                     "a*",
                                                     "a b",
                                                     ""};

// Bits the handles hold before a setting, which a setting must keep.
std::uint16_t initialMask(std::size_t handle) {
  return static_cast<std::uint16_t>(0x8421u << (handle % 4));
}

[[noreturn]] void fail(std::string_view setting, std::string const& what) {
  std::cerr << "trace-fuzzer: \"" << setting << "\": " << what << '\n';
  std::abort();
}

// `text` cut at every `separator`; an empty text is one empty piece.
std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  for (std::size_t at = 0;;) {
    std::size_t const next = text.find(separator, at);
    pieces.push_back(text.substr(at, next == std::string_view::npos ? next : next - at));
    if (next == std::string_view::npos) return pieces;
    at = next + 1;
  }
}

// A level: decimal digits, value 0 to 15.
std::optional<unsigned> modelLevel(std::string_view text) {
  if (text.empty()) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = std::min(value * 10 + static_cast<unsigned>(c - '0'), 100u);
  }
  if (value > 15) return std::nullopt;
  return value;
}

// A level list: items separated by ',', each a level, a range a-b with
// a <= b, or '*'.
std::optional<std::uint16_t> modelLevels(std::string_view list) {
  unsigned mask = 0;
  for (std::string_view item : split(list, ',')) {
    if (item == "*") {
      mask = 0xFFFF;
      continue;
    }
    std::size_t const dash = item.find('-');
    auto const lo = modelLevel(item.substr(0, dash));
    auto const hi = dash == std::string_view::npos ? lo : modelLevel(item.substr(dash + 1));
    if (!lo || !hi || *lo > *hi) return std::nullopt;
    mask |= (2u << *hi) - (1u << *lo);
  }
  return static_cast<std::uint16_t>(mask);
}

struct ModelRule {
  std::string_view name;
  std::uint16_t mask;
};

bool modelMatches(std::string_view name, std::string_view handle) {
  if (!name.empty() && name.back() == '*') {
    return handle.starts_with(name.substr(0, name.size() - 1));
  }
  return handle == name;
}

// The rules of a setting, or its first bad entry (entries trimmed of spaces).
struct ModelSetting {
  std::vector<ModelRule> rules;
  std::optional<std::string_view> badEntry;
};

ModelSetting modelRead(std::string_view setting) {
  ModelSetting out;
  for (std::string_view entry : split(setting, ';')) {
    while (entry.starts_with(' ')) entry.remove_prefix(1);
    while (entry.ends_with(' ')) entry.remove_suffix(1);
    if (entry.empty()) continue;
    std::size_t const eq = entry.find('=');
    auto const mask =
        eq == std::string_view::npos || eq == 0 ? std::nullopt : modelLevels(entry.substr(eq + 1));
    if (!mask) {
      out.badEntry = entry;
      return out;
    }
    out.rules.push_back({entry.substr(0, eq), *mask});
  }
  return out;
}

std::uint16_t modelMask(ModelSetting const& model, std::string_view handle) {
  std::uint16_t mask = 0;
  for (ModelRule const& rule : model.rules) {
    if (modelMatches(rule.name, handle)) mask |= rule.mask;
  }
  return mask;
}

std::vector<std::unique_ptr<Kiva::TraceHandle>> const& handles() {
  static auto const* all = [] {
    Kiva::TraceHandle::resetAll();  // no KIVA_TRACE of the environment
    auto* made = new std::vector<std::unique_ptr<Kiva::TraceHandle>>;
    for (std::string_view name : kNames) {
      made->push_back(std::make_unique<Kiva::TraceHandle>(name, false));
    }
    return made;
  }();
  return *all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  // Settings come from the environment or the command line: C strings.
  std::string_view setting(reinterpret_cast<char const*>(data), size);
  setting = setting.substr(0, setting.find('\0'));
  auto const& existing = handles();
  Kiva::TraceHandle::resetAll();
  for (std::size_t i = 0; i < existing.size(); ++i) existing[i]->maskIs(initialMask(i));

  ModelSetting const model = modelRead(setting);
  std::optional<std::string> error;
  try {
    Kiva::TraceHandle::configure(setting);
  } catch (std::invalid_argument const& e) {
    error = e.what();
  } catch (std::exception const& e) {
    fail(setting, std::string("raised something else: ") + e.what());
  }
  if (error && !model.badEntry) fail(setting, "refused a good setting: " + *error);
  if (!error && model.badEntry)
    fail(setting, "accepted bad entry \"" + std::string(*model.badEntry) + "\"");
  if (error) {
    std::string const prefix = "trace configuration \"" + std::string(*model.badEntry) + "\": ";
    if (!error->starts_with(prefix))
      fail(setting, "message does not name the bad entry: " + *error);
  }

  for (std::size_t i = 0; i < existing.size(); ++i) {
    std::uint16_t const added = error ? 0 : modelMask(model, kNames[i]);
    std::uint16_t const want = initialMask(i) | added;
    if (existing[i]->mask() != want) {
      fail(setting, "handle \"" + std::string(kNames[i]) + "\" has mask " +
                        std::to_string(existing[i]->mask()) + ", expected " + std::to_string(want));
    }
    Kiva::TraceHandle const later(kNames[i], false);
    if (later.mask() != added) {
      fail(setting, "a later handle \"" + std::string(kNames[i]) + "\" has mask " +
                        std::to_string(later.mask()) + ", expected " + std::to_string(added));
    }
  }
  return 0;
}
