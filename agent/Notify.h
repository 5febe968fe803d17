// Notifications to the service manager: when the agent runs under systemd
// with Type=notify, $NOTIFY_SOCKET names a datagram socket (a path, or an
// abstract name written with a leading '@') to which it sends its state as
// NAME=VALUE lines: READY=1, RELOADING=1, STOPPING=1, STATUS=text.
//
// Without $NOTIFY_SOCKET nothing is sent. A failed send is not an error:
// the service manager only loses a state line, the agent goes on.
#pragma once

#include <string>
#include <string_view>

namespace IfaAgent {

class Notifier {
 public:
  // Takes the socket from $NOTIFY_SOCKET.
  Notifier();
  explicit Notifier(std::string socketName);
  ~Notifier();
  Notifier(Notifier const&) = delete;
  Notifier& operator=(Notifier const&) = delete;

  bool active() const { return fd_ >= 0; }
  // Sends `lines` ("READY=1\nSTATUS=...") as one datagram.
  void send(std::string_view lines) const;

 private:
  std::string socket_;
  int fd_ = -1;
};

}  // namespace IfaAgent
