#include "Kiva/Trace.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <stdexcept>

namespace Kiva {
namespace {

// One level setting for a name or name pattern, kept so that handles created
// later get it too.
struct Rule {
  std::string pattern;
  std::uint16_t mask;
  bool on;
};

bool matches(std::string_view pattern, std::string_view name) {
  if (!pattern.empty() && pattern.back() == '*') {
    pattern.remove_suffix(1);
    return name.substr(0, pattern.size()) == pattern;
  }
  return pattern == name;
}

class StreamSink : public TraceSink {
 public:
  explicit StreamSink(std::ostream& out) : out_(out) {}
  void write(TraceRecord const& r) override {
    std::lock_guard lock(mutex_);
    out_ << r.handle << '[' << r.level << "] " << r.text << '\n';
    out_.flush();
  }

 private:
  std::mutex mutex_;
  std::ostream& out_;
};

class FileSink : public TraceSink {
 public:
  explicit FileSink(std::string const& path) : file_(path, std::ios::app), sink_(file_) {
    if (!file_) throw std::runtime_error("cannot open trace file \"" + path + "\"");
  }
  void write(TraceRecord const& r) override { sink_.write(r); }

 private:
  std::ofstream file_;
  StreamSink sink_;
};

struct State {
  std::mutex mutex;
  std::vector<TraceHandle*> handles;
  std::vector<Rule> rules;
  std::shared_ptr<TraceSink> sink;
  bool environmentRead = false;
};

State& state() {
  static State* s = new State;  // never destroyed: handles are static objects of any lifetime
  return *s;
}

std::shared_ptr<TraceSink> defaultSink() {
  if (char const* path = std::getenv("KIVA_TRACE_FILE"); path != nullptr && *path != '\0') {
    try {
      return fileTraceSink(path);
    } catch (std::exception const& e) {
      std::cerr << "KIVA_TRACE_FILE: " << e.what() << "; tracing to standard error\n";
    }
  }
  static auto* err = new std::shared_ptr<TraceSink>(std::make_shared<StreamSink>(std::cerr));
  return *err;
}

// A level: decimal digits (leading zeros allowed), at most 15.
unsigned parseLevel(std::string_view text, std::string_view entry) {
  if (text.empty() ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    throw std::invalid_argument("trace configuration \"" + std::string(entry) + "\": bad level \"" +
                                std::string(text) + "\"");
  }
  unsigned level = 0;  // stops growing past the last level, however many digits follow
  for (char c : text) {
    level = std::min(level * 10 + static_cast<unsigned>(c - '0'), TraceHandle::kLevels);
  }
  if (level >= TraceHandle::kLevels) {
    throw std::invalid_argument("trace configuration \"" + std::string(entry) + "\": level " +
                                std::string(text) + " is above 15");
  }
  return level;
}

// Levels separated by ','; every item, the last too, is a level, a range
// 'a-b' or '*'.
std::uint16_t parseLevels(std::string_view list, std::string_view entry) {
  if (list.empty()) {
    throw std::invalid_argument("trace configuration \"" + std::string(entry) +
                                "\": no level given");
  }
  std::uint16_t mask = 0;
  for (std::size_t start = 0;;) {
    std::size_t const comma = list.find(',', start);
    std::string_view const item =
        list.substr(start, comma == std::string_view::npos ? comma : comma - start);
    if (item == "*") {
      mask = 0xFFFF;
    } else if (std::size_t const dash = item.find('-'); dash != std::string_view::npos) {
      unsigned const lo = parseLevel(item.substr(0, dash), entry);
      unsigned const hi = parseLevel(item.substr(dash + 1), entry);
      if (lo > hi) {
        throw std::invalid_argument("trace configuration \"" + std::string(entry) +
                                    "\": empty range \"" + std::string(item) + "\"");
      }
      for (unsigned l = lo; l <= hi; ++l) mask |= static_cast<std::uint16_t>(1u << l);
    } else {
      mask |= static_cast<std::uint16_t>(1u << parseLevel(item, entry));
    }
    if (comma == std::string_view::npos) return mask;
    start = comma + 1;
  }
}

std::vector<Rule> parseSetting(std::string_view setting) {
  std::vector<Rule> rules;
  while (!setting.empty()) {
    std::size_t const semi = setting.find(';');
    std::string_view entry = setting.substr(0, semi);
    setting = semi == std::string_view::npos ? std::string_view{} : setting.substr(semi + 1);
    while (!entry.empty() && entry.front() == ' ') entry.remove_prefix(1);
    while (!entry.empty() && entry.back() == ' ') entry.remove_suffix(1);
    if (entry.empty()) continue;
    std::size_t const eq = entry.find('=');
    if (eq == std::string_view::npos || eq == 0) {
      throw std::invalid_argument("trace configuration \"" + std::string(entry) +
                                  "\": expected NAME=LEVELS");
    }
    rules.push_back(
        {std::string(entry.substr(0, eq)), parseLevels(entry.substr(eq + 1), entry), true});
  }
  return rules;
}

void apply(Rule const& rule, TraceHandle& handle) {
  if (!matches(rule.pattern, handle.name())) return;
  handle.maskIs(rule.on ? static_cast<std::uint16_t>(handle.mask() | rule.mask)
                        : static_cast<std::uint16_t>(handle.mask() & ~rule.mask));
}

void readEnvironmentLocked(State& s) {
  if (s.environmentRead) return;
  s.environmentRead = true;
  char const* setting = std::getenv("KIVA_TRACE");
  if (setting == nullptr) return;
  try {
    auto rules = parseSetting(setting);
    s.rules.insert(s.rules.end(), rules.begin(), rules.end());
  } catch (std::invalid_argument const& e) {
    std::cerr << "KIVA_TRACE ignored: " << e.what() << '\n';
  }
}

void addRuleLocked(State& s, Rule rule) {
  for (TraceHandle* h : s.handles) apply(rule, *h);
  s.rules.push_back(std::move(rule));
}

}  // namespace

TraceHandle::TraceHandle(std::string_view name, bool allLevels) : name_(name) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  readEnvironmentLocked(s);
  if (allLevels) mask_ = 0xFFFF;
  for (Rule const& rule : s.rules) apply(rule, *this);
  s.handles.push_back(this);
}

TraceHandle::~TraceHandle() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.handles.erase(std::remove(s.handles.begin(), s.handles.end(), this), s.handles.end());
}

void TraceHandle::levelIs(unsigned level, bool on) {
  if (level >= kLevels)
    throw std::invalid_argument("trace level " + std::to_string(level) + " is above 15");
  auto const bit = static_cast<std::uint16_t>(1u << level);
  mask_ = on ? static_cast<std::uint16_t>(mask_ | bit) : static_cast<std::uint16_t>(mask_ & ~bit);
}

void TraceHandle::levelIs(std::string_view name, unsigned level, bool on) {
  if (level >= kLevels)
    throw std::invalid_argument("trace level " + std::to_string(level) + " is above 15");
  State& s = state();
  std::lock_guard lock(s.mutex);
  readEnvironmentLocked(s);
  addRuleLocked(s, Rule{std::string(name), static_cast<std::uint16_t>(1u << level), on});
}

void TraceHandle::configure(std::string_view setting) {
  auto rules = parseSetting(setting);  // all or nothing: parse before applying
  State& s = state();
  std::lock_guard lock(s.mutex);
  readEnvironmentLocked(s);
  for (Rule& rule : rules) addRuleLocked(s, std::move(rule));
}

void TraceHandle::resetAll() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.environmentRead = true;
  s.rules.clear();
  for (TraceHandle* h : s.handles) h->mask_ = 0;
}

void TraceCapture::write(TraceRecord const& record) {
  std::lock_guard lock(mutex_);
  records_.push_back(record);
}

std::vector<TraceRecord> TraceCapture::records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

std::vector<std::string> TraceCapture::lines(std::string_view handle) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (auto const& r : records_) {
    if (handle.empty() || r.handle == handle) out.push_back(r.text);
  }
  return out;
}

void TraceCapture::clear() {
  std::lock_guard lock(mutex_);
  records_.clear();
}

std::shared_ptr<TraceSink> traceSinkIs(std::shared_ptr<TraceSink> sink) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  std::shared_ptr<TraceSink> previous = std::move(s.sink);
  s.sink = std::move(sink);
  return previous;
}

std::shared_ptr<TraceSink> fileTraceSink(std::string const& path) {
  return std::make_shared<FileSink>(path);
}

TraceHelper::TraceHelper(TraceHandle const& handle, unsigned level, char const* file, unsigned line,
                         char const* function)
    : handle_(handle), level_(level), file_(file), line_(line), function_(function) {}

TraceHelper::~TraceHelper() {
  TraceRecord record{handle_.name(), level_, file_, line_, function_, stream_.text()};
  std::shared_ptr<TraceSink> sink;
  {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.sink) s.sink = defaultSink();
    sink = s.sink;
  }
  try {
    sink->write(record);
  } catch (...) {
    // A trace line must never take the traced operation down.
  }
}

}  // namespace Kiva
