// RingTrace: binary trace messages recorded into a bounded ring in memory.
//
// A process may open one default trace handle (defaultRingTraceHandle) with a
// trace file. A trace file holds the descriptions of the messages registered
// in it, each under a message id, and a ring buffer of recorded messages.
// A recorded message is its id and the text of each argument; the format
// text of the message is stored once, in its description, and the reader puts
// the two back together: each "{}" of the format is replaced by the next
// argument ("{}: {}" with "IfaActionProfile" and "handleEntry" reads
// "IfaActionProfile: handleEntry").
//
// A message site owns a function-local `static int msgId = 0` and calls
// record(), which registers the site in the current trace file once and
// records one message per call. Sites may be reached by several threads at
// once (two tables of one type, each used on its own thread): the id is read
// and written atomically, and the check and the registration happen together
// under the trace file's registration lock, so that a site is registered
// once per file however many threads reach it first:
//
//     static int msgId = 0;
//     RingTrace::record(msgId, __FILE__, __LINE__, "handleEntry", "{}: {}",
//                       "IfaActionProfile", "handleEntry");
//
// The ring is bounded in bytes: when a new message does not fit, the oldest
// messages are dropped until it does, so the ring always holds the newest
// messages whole. A message larger than the whole ring is dropped itself.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace RingTrace {

class TraceFile;

// The argument types of a message, one code per argument. The only code is
// "p": a text argument.
class MsgFormatString {
 public:
  // Appends one argument type; raises std::invalid_argument for an unknown
  // code.
  void put(char const* argType);
  std::string const& codes() const { return codes_; }
  std::size_t args() const { return codes_.size(); }

 private:
  std::string codes_;
};

// A registered message, as the trace file keeps it.
struct MsgInfo {
  int const* idAddress = nullptr;
  std::string sourceFile;
  unsigned line = 0;
  std::string group;  // empty when none was given
  std::string name;
  std::string format;
  std::string argTypes;
};

// The description of a message under construction. finish() registers it
// in its trace file and stores the new id at the site's id address.
class MsgDesc {
 public:
  MsgDesc(TraceFile& file, int* msgId, char const* sourceFile, unsigned line);
  MsgDesc(MsgDesc const&) = delete;
  MsgDesc& operator=(MsgDesc const&) = delete;

  MsgFormatString& formatString() { return argTypes_; }

  // Registers the message. Raises std::invalid_argument, registering
  // nothing, when no name or format was given (msgDesc) or when the format's
  // "{}" count differs from the number of argument types. A second call does
  // nothing.
  void finish();

 private:
  friend void msgDesc(MsgDesc& desc, char const* group, char const* name, char const* format);

  TraceFile& file_;
  int* msgId_;
  std::string sourceFile_;
  unsigned line_;
  MsgFormatString argTypes_;
  std::string group_;
  std::string name_;
  std::string format_;
  bool described_ = false;
  bool finished_ = false;
};

// Names the message and gives its format; `group` is an optional group name
// (null for none).
void msgDesc(MsgDesc& desc, char const* group, char const* name, char const* format);

// One recorded message, as read back.
struct Message {
  int msgId;
  std::vector<std::string> args;
  friend bool operator==(Message const&, Message const&) = default;
};

// The bounded ring of a trace file.
class RingBuf {
 public:
  explicit RingBuf(std::size_t capacityBytes);
  RingBuf(RingBuf const&) = delete;
  RingBuf& operator=(RingBuf const&) = delete;

  // Opens a message of `msgId` in the ring of `file` on the calling thread
  // and returns that ring. While the ring is inactive nothing is opened. An
  // id not registered in `file` is rejected: nothing is opened and the
  // rejection is counted.
  static RingBuf& startMsg(TraceFile& file, int msgId);
  // Closes the calling thread's open message of this ring and stores it;
  // without one, does nothing.
  void endMsg();

  bool active() const { return active_.load(std::memory_order_relaxed); }
  void activeIs(bool active) { active_.store(active, std::memory_order_relaxed); }

  std::size_t capacityBytes() const { return capacity_; }
  std::size_t usedBytes() const;
  // Messages held now.
  std::size_t messageCount() const;
  // Messages stored since the ring was made.
  std::uint64_t recorded() const;
  // Messages lost: evicted to make room, or too large for the ring.
  std::uint64_t dropped() const;
  // Messages refused at startMsg for an unregistered id.
  std::uint64_t rejected() const;

  // The messages held, oldest first.
  std::vector<Message> messages() const;

 private:
  friend void put(RingBuf& ring, std::string_view text);

  void store(std::string const& body);
  void writeAt(std::size_t pos, void const* data, std::size_t n);
  void readAt(std::size_t pos, void* data, std::size_t n) const;

  std::size_t const capacity_;
  std::atomic<bool> active_{true};
  mutable std::mutex mutex_;
  std::vector<unsigned char> bytes_;
  std::size_t head_ = 0;  // offset of the oldest message
  std::size_t used_ = 0;
  std::size_t count_ = 0;
  std::uint64_t recorded_ = 0;
  std::uint64_t dropped_ = 0;
  std::uint64_t rejected_ = 0;
};

// Adds one argument's text to the calling thread's open message of `ring`;
// without an open message, does nothing.
void put(RingBuf& ring, std::string_view text);

// A trace file: the registered messages and the ring they are recorded in.
class TraceFile {
 public:
  explicit TraceFile(std::size_t ringCapacityBytes);
  TraceFile(TraceFile const&) = delete;
  TraceFile& operator=(TraceFile const&) = delete;

  // Whether the site whose id variable is `msgId` is registered in this
  // file: its id is not 0 and this file registered that id for that
  // variable. A negative id is a broken contract and stops the process. The
  // id is read atomically, so this may run while another thread registers.
  bool msgIdInitialized(int const& msgId) const;

  // Held while a site is checked and registered (see record()); separate
  // from the lock of the descriptions, which registration takes itself.
  std::mutex& registrationMutex() const { return registrationMutex_; }

  // The description registered under `msgId`, or null.
  MsgInfo const* msgInfo(int msgId) const;
  // Messages registered in this file.
  std::size_t registrations() const;

  RingBuf& ringBuf() { return ring_; }
  RingBuf const& ringBuf() const { return ring_; }

  // The text of a message: its format with each "{}" replaced by the next
  // argument. "{}" without an argument left stays; arguments without a
  // "{}" are left out. A message of an unknown id reads
  // "<message N>" followed by its arguments in parentheses.
  std::string messageText(Message const& message) const;
  // The text of every message held, oldest first.
  std::vector<std::string> text() const;

 private:
  friend class MsgDesc;
  int registerMsg(MsgInfo info);

  mutable std::mutex registrationMutex_;
  mutable std::mutex mutex_;
  // The description of id i is at i - 1; descriptions are never removed.
  std::vector<std::unique_ptr<MsgInfo const>> descs_;
  RingBuf ring_;
};

// A trace handle and its trace file.
class TraceHandle {
 public:
  TraceHandle() = default;
  TraceHandle(TraceHandle const&) = delete;
  TraceHandle& operator=(TraceHandle const&) = delete;

  // The trace file, or null while none is open.
  TraceFile* mtTraceFile() const { return file_.get(); }
  // Replaces the trace file (null closes it).
  void traceFileIs(std::unique_ptr<TraceFile> file) { file_ = std::move(file); }

 private:
  std::unique_ptr<TraceFile> file_;
};

// The process's default trace handle; null until openDefault.
extern TraceHandle* defaultRingTraceHandle;

// Creates the default handle if needed and gives it a new trace file with a
// ring of `capacityBytes`, replacing any previous file. Returns the file.
TraceFile& openDefault(std::size_t capacityBytes);
// Destroys the default handle and its file; the handle is null afterwards.
void closeDefault();

namespace Impl {

template <class T>
std::string_view argText(T const& value) {
  if constexpr (requires { value.view(); }) {
    return value.view();
  } else {
    return std::string_view(value);
  }
}

}  // namespace Impl

// Records one message of the site owning `msgId` on the default handle:
// nothing without a default handle or without its trace file; registers the
// site (name, format, one text argument type per argument) when its id is 0
// or not registered in the current file; then records the message, with the
// text of each argument while the ring is active. The registration is checked
// again under the file's registration lock, so that threads reaching an
// unregistered site at once register it once and all record under its id.
template <class... Args>
void record(int& msgId, char const* sourceFile, unsigned line, char const* name, char const* format,
            Args const&... textArgs) {
  TraceHandle* handle = defaultRingTraceHandle;
  if (handle == nullptr) return;
  TraceFile* file = handle->mtTraceFile();
  if (file == nullptr) return;
  if (!file->msgIdInitialized(msgId)) {
    std::lock_guard<std::mutex> lock(file->registrationMutex());
    if (!file->msgIdInitialized(msgId)) {
      MsgDesc desc(*file, &msgId, sourceFile, line);
      for (std::size_t i = 0; i < sizeof...(Args); ++i) desc.formatString().put("p");
      msgDesc(desc, nullptr, name, format);
      desc.finish();
    }
  }
  RingBuf& ring = RingBuf::startMsg(*file, std::atomic_ref<int>(msgId).load());
  if (ring.active()) (put(ring, Impl::argText(textArgs)), ...);
  ring.endMsg();
}

}  // namespace RingTrace
