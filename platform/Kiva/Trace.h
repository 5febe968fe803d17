// Kiva's text trace.
//
// A TraceHandle is a named source of trace lines with one enable bit per level
// (0 to 15). A line at level N is built only while bit N of its handle is set:
//
//     KIVA_TRACE(handle, 8, "handleEntry") << "key: " << key;
//
// costs one test of the bit while the level is disabled. Enabled lines go to
// the process's trace sink: standard error by default, a file, or an in-memory
// capture that tests read.
//
// Levels are enabled programmatically (TraceHandle::levelIs, for one handle or
// for every handle of a name) and from the environment variable KIVA_TRACE,
// read when the first handle is created:
//
//     KIVA_TRACE='SwTableStat=0;CorvaneInt::IfaActionProfile=8,9;CorvaneInt::*=5-9'
//
// Entries are separated by ';'. Each is a handle name, '=', and a list of
// levels separated by ',', where a level is a number, a range 'a-b' or '*'
// (all levels). A name ending in '*' matches every handle whose name starts
// with what comes before it. KIVA_TRACE_FILE=path sends lines to that file
// (appended) instead of standard error.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace Kiva {

class TraceHandle {
 public:
  static constexpr unsigned kLevels = 16;

  // `allLevels` enables every level from the start; handles normally start
  // with the levels the KIVA_TRACE configuration gives their name.
  TraceHandle(std::string_view name, bool allLevels);
  TraceHandle(TraceHandle const&) = delete;
  TraceHandle& operator=(TraceHandle const&) = delete;
  ~TraceHandle();

  std::string const& name() const { return name_; }
  bool enabled(unsigned level) const { return level < kLevels && (mask_ & (1u << level)) != 0; }
  std::uint16_t mask() const { return mask_; }
  void levelIs(unsigned level, bool on);
  void maskIs(std::uint16_t mask) { mask_ = mask; }

  // Sets a level on every handle with this name, now and for handles created
  // later. A name ending in '*' is a prefix pattern.
  static void levelIs(std::string_view name, unsigned level, bool on);
  // Applies a configuration in the KIVA_TRACE syntax. Raises
  // std::invalid_argument naming the bad entry.
  static void configure(std::string_view setting);
  // Disables every level of every handle and forgets the configuration.
  static void resetAll();

 private:
  std::string name_;
  std::uint16_t mask_ = 0;
};

// One finished trace line.
struct TraceRecord {
  std::string handle;
  unsigned level;
  std::string file;
  unsigned line;
  std::string function;
  std::string text;
};

class TraceSink {
 public:
  virtual ~TraceSink() = default;
  virtual void write(TraceRecord const& record) = 0;
};

// Keeps every record, for tests and tools.
class TraceCapture : public TraceSink {
 public:
  void write(TraceRecord const& record) override;
  std::vector<TraceRecord> records() const;
  // The texts of the records, in order, optionally only those of one handle.
  std::vector<std::string> lines(std::string_view handle = {}) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<TraceRecord> records_;
};

// Replaces the process's sink; null restores the default (standard error, or
// the KIVA_TRACE_FILE file). Returns the previous one.
std::shared_ptr<TraceSink> traceSinkIs(std::shared_ptr<TraceSink> sink);
// A sink appending "handle[level] text" lines to a file. Raises
// std::runtime_error naming the file when it cannot be opened.
std::shared_ptr<TraceSink> fileTraceSink(std::string const& path);

// The text of one line under construction. Booleans print as "true"/"false".
class TraceStream {
 public:
  template <class T>
  TraceStream& operator<<(T const& value) {
    out_ << value;
    return *this;
  }
  TraceStream& operator<<(bool value) {
    out_ << (value ? "true" : "false");
    return *this;
  }
  std::string text() const { return out_.str(); }

 private:
  std::ostringstream out_;
};

// Builds one line and writes it to the sink when it ends.
class TraceHelper {
 public:
  TraceHelper(TraceHandle const& handle, unsigned level, char const* file, unsigned line,
              char const* function);
  TraceHelper(TraceHelper const&) = delete;
  TraceHelper& operator=(TraceHelper const&) = delete;
  ~TraceHelper();

  TraceStream& stream() { return stream_; }

 private:
  TraceHandle const& handle_;
  unsigned level_;
  char const* file_;
  unsigned line_;
  char const* function_;
  TraceStream stream_;
};

}  // namespace Kiva

// A trace line of `handle` at `level`, naming `file` and `function` as its
// site; the stream expression after it is evaluated only while the level is on.
#define KIVA_TRACE_AT(handle, level, file, function) \
  if (!(handle).enabled(level)) {                    \
  } else                                             \
    ::Kiva::TraceHelper((handle), (level), (file), __LINE__, (function)).stream()

#define KIVA_TRACE(handle, level, function) KIVA_TRACE_AT(handle, level, __FILE__, function)
