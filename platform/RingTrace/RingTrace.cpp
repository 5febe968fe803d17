#include "RingTrace/RingTrace.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "Kiva/Assert.h"

namespace RingTrace {

TraceHandle* defaultRingTraceHandle = nullptr;

namespace {

// A stored message is a 32-bit body length followed by the body: the 32-bit
// message id, then per argument a 32-bit text length and the text.
constexpr std::size_t kLengthBytes = sizeof(std::uint32_t);

// The message the calling thread is building.
struct OpenMessage {
  RingBuf* ring = nullptr;
  std::string body;
};
thread_local OpenMessage openMessage;

void append32(std::string& out, std::uint32_t value) {
  char bytes[sizeof value];
  std::memcpy(bytes, &value, sizeof value);
  out.append(bytes, sizeof value);
}

std::size_t placeholders(std::string_view format) {
  std::size_t n = 0;
  for (std::size_t pos = format.find("{}"); pos != std::string_view::npos;
       pos = format.find("{}", pos + 2)) {
    ++n;
  }
  return n;
}

}  // namespace

// --- Message descriptions ---

void MsgFormatString::put(char const* argType) {
  if (argType == nullptr || std::strcmp(argType, "p") != 0) {
    throw std::invalid_argument(std::string("RingTrace: unknown argument type \"") +
                                (argType ? argType : "") + "\"");
  }
  codes_ += 'p';
}

MsgDesc::MsgDesc(TraceFile& file, int* msgId, char const* sourceFile, unsigned line)
    : file_(file), msgId_(msgId), sourceFile_(sourceFile ? sourceFile : ""), line_(line) {}

void msgDesc(MsgDesc& desc, char const* group, char const* name, char const* format) {
  desc.group_ = group ? group : "";
  desc.name_ = name ? name : "";
  desc.format_ = format ? format : "";
  desc.described_ = true;
}

void MsgDesc::finish() {
  if (finished_) return;
  if (!described_ || name_.empty()) {
    throw std::invalid_argument("RingTrace: message of " + sourceFile_ + ":" +
                                std::to_string(line_) + " has no name");
  }
  if (placeholders(format_) != argTypes_.args()) {
    throw std::invalid_argument("RingTrace: message \"" + name_ + "\" has format \"" + format_ +
                                "\" for " + std::to_string(argTypes_.args()) + " arguments");
  }
  MsgInfo info;
  info.idAddress = msgId_;
  info.sourceFile = sourceFile_;
  info.line = line_;
  info.group = group_;
  info.name = name_;
  info.format = format_;
  info.argTypes = argTypes_.codes();
  // Published after the description is stored: a thread that reads the new
  // id finds its description.
  std::atomic_ref<int>(*msgId_).store(file_.registerMsg(std::move(info)));
  finished_ = true;
}

// --- Ring buffer ---

RingBuf::RingBuf(std::size_t capacityBytes) : capacity_(capacityBytes), bytes_(capacityBytes) {}

RingBuf& RingBuf::startMsg(TraceFile& file, int msgId) {
  RingBuf& ring = file.ringBuf();
  if (openMessage.ring == &ring) openMessage.ring = nullptr;  // an unfinished message is lost
  if (!ring.active()) return ring;
  if (file.msgInfo(msgId) == nullptr) {
    std::lock_guard<std::mutex> lock(ring.mutex_);
    ++ring.rejected_;
    return ring;
  }
  openMessage.ring = &ring;
  openMessage.body.clear();
  append32(openMessage.body, static_cast<std::uint32_t>(msgId));
  return ring;
}

void put(RingBuf& ring, std::string_view text) {
  if (openMessage.ring != &ring) return;
  append32(openMessage.body, static_cast<std::uint32_t>(text.size()));
  openMessage.body.append(text);
}

void RingBuf::endMsg() {
  if (openMessage.ring != this) return;
  openMessage.ring = nullptr;
  store(openMessage.body);
}

void RingBuf::store(std::string const& body) {
  std::size_t const size = kLengthBytes + body.size();
  std::lock_guard<std::mutex> lock(mutex_);
  if (size > capacity_) {
    ++dropped_;
    return;
  }
  while (used_ + size > capacity_) {
    std::uint32_t oldest;
    readAt(head_, &oldest, kLengthBytes);
    head_ = (head_ + kLengthBytes + oldest) % capacity_;
    used_ -= kLengthBytes + oldest;
    --count_;
    ++dropped_;
  }
  std::size_t const tail = (head_ + used_) % capacity_;
  auto const length = static_cast<std::uint32_t>(body.size());
  writeAt(tail, &length, kLengthBytes);
  writeAt((tail + kLengthBytes) % capacity_, body.data(), body.size());
  used_ += size;
  ++count_;
  ++recorded_;
}

void RingBuf::writeAt(std::size_t pos, void const* data, std::size_t n) {
  auto const* src = static_cast<unsigned char const*>(data);
  std::size_t const first = std::min(n, capacity_ - pos);
  std::memcpy(bytes_.data() + pos, src, first);
  std::memcpy(bytes_.data(), src + first, n - first);
}

void RingBuf::readAt(std::size_t pos, void* data, std::size_t n) const {
  auto* dst = static_cast<unsigned char*>(data);
  std::size_t const first = std::min(n, capacity_ - pos);
  std::memcpy(dst, bytes_.data() + pos, first);
  std::memcpy(dst + first, bytes_.data(), n - first);
}

std::size_t RingBuf::usedBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return used_;
}

std::size_t RingBuf::messageCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

std::uint64_t RingBuf::recorded() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return recorded_;
}

std::uint64_t RingBuf::dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

std::uint64_t RingBuf::rejected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rejected_;
}

std::vector<Message> RingBuf::messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Message> result;
  result.reserve(count_);
  std::size_t pos = head_;
  for (std::size_t i = 0; i < count_; ++i) {
    std::uint32_t bodyLength;
    readAt(pos, &bodyLength, kLengthBytes);
    pos = (pos + kLengthBytes) % capacity_;
    std::size_t const end = pos + bodyLength;  // unwrapped
    std::uint32_t id;
    readAt(pos, &id, kLengthBytes);
    Message message{static_cast<int>(id), {}};
    std::size_t at = pos + kLengthBytes;
    while (at < end) {
      std::uint32_t textLength;
      readAt(at % capacity_, &textLength, kLengthBytes);
      at += kLengthBytes;
      std::string text(textLength, '\0');
      readAt(at % capacity_, text.data(), textLength);
      at += textLength;
      message.args.push_back(std::move(text));
    }
    result.push_back(std::move(message));
    pos = end % capacity_;
  }
  return result;
}

// --- Trace file ---

TraceFile::TraceFile(std::size_t ringCapacityBytes) : ring_(ringCapacityBytes) {}

bool TraceFile::msgIdInitialized(int const& msgId) const {
  // The id variable is written by registration, possibly on another thread;
  // its address is what identifies the site, so it is read in place.
  int const id = std::atomic_ref<int>(const_cast<int&>(msgId)).load();
  KIVA_ASSERT_AT(id >= 0, "msgId_ >= 0", "/usr/include/RingTrace/RingTrace", 269,
                 "RingTrace::TraceFile::msgIdInitialized");
  if (id == 0) return false;
  MsgInfo const* info = msgInfo(id);
  return info != nullptr && info->idAddress == &msgId;
}

MsgInfo const* TraceFile::msgInfo(int msgId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (msgId <= 0 || static_cast<std::size_t>(msgId) > descs_.size()) return nullptr;
  return descs_[static_cast<std::size_t>(msgId) - 1].get();
}

std::size_t TraceFile::registrations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return descs_.size();
}

int TraceFile::registerMsg(MsgInfo info) {
  std::lock_guard<std::mutex> lock(mutex_);
  descs_.push_back(std::make_unique<MsgInfo const>(std::move(info)));
  return static_cast<int>(descs_.size());
}

std::string TraceFile::messageText(Message const& message) const {
  MsgInfo const* info = msgInfo(message.msgId);
  std::string out;
  if (info == nullptr) {
    out = "<message " + std::to_string(message.msgId) + ">(";
    for (std::size_t i = 0; i < message.args.size(); ++i) {
      if (i != 0) out += ", ";
      out += message.args[i];
    }
    return out + ")";
  }
  std::string_view const format = info->format;
  std::size_t next = 0;
  std::size_t pos = 0;
  while (pos < format.size()) {
    std::size_t const hole = format.find("{}", pos);
    if (hole == std::string_view::npos) {
      out.append(format.substr(pos));
      break;
    }
    out.append(format.substr(pos, hole - pos));
    out.append(next < message.args.size() ? std::string_view(message.args[next++]) : "{}");
    pos = hole + 2;
  }
  return out;
}

std::vector<std::string> TraceFile::text() const {
  std::vector<std::string> lines;
  for (Message const& message : ring_.messages()) lines.push_back(messageText(message));
  return lines;
}

// --- Default handle ---

TraceFile& openDefault(std::size_t capacityBytes) {
  if (defaultRingTraceHandle == nullptr) defaultRingTraceHandle = new TraceHandle;
  auto file = std::make_unique<TraceFile>(capacityBytes);
  TraceFile& result = *file;
  defaultRingTraceHandle->traceFileIs(std::move(file));
  return result;
}

void closeDefault() {
  delete std::exchange(defaultRingTraceHandle, nullptr);
}

}  // namespace RingTrace
