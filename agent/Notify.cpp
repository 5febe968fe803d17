#include "agent/Notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace IfaAgent {

namespace {

std::string notifySocketOfEnvironment() {
  char const* name = std::getenv("NOTIFY_SOCKET");
  return name == nullptr ? std::string() : std::string(name);
}

}  // namespace

Notifier::Notifier() : Notifier(notifySocketOfEnvironment()) {}

Notifier::Notifier(std::string socketName) : socket_(std::move(socketName)) {
  sockaddr_un address{};
  if (socket_.empty() || socket_.size() >= sizeof address.sun_path) return;
  if (socket_[0] != '/' && socket_[0] != '@') return;
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

Notifier::~Notifier() {
  if (fd_ >= 0) ::close(fd_);
}

void Notifier::send(std::string_view lines) const {
  if (fd_ < 0) return;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socket_.data(), socket_.size());
  // An abstract name: its first byte is 0 and it is as long as given.
  if (socket_[0] == '@') address.sun_path[0] = '\0';
  auto const length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket_.size());
  ssize_t const sent = ::sendto(fd_, lines.data(), lines.size(), MSG_NOSIGNAL,
                                reinterpret_cast<sockaddr const*>(&address), length);
  static_cast<void>(sent);
}

}  // namespace IfaAgent
