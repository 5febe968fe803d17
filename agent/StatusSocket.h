// The status socket of a running agent: a Unix stream socket, by default
// beside the image (".NAME.sock"), mode 0600, that answers one read-only
// question: a client connects, the agent writes its status as one JSON
// object and closes the connection. The client sends nothing.
//
// Only the agent that holds the image's owner lock binds it; a socket left
// by an agent that died is replaced, one another agent still answers on is
// not. The agent removes it when it stops.
#pragma once

#include <optional>
#include <string>

namespace IfaAgent {

// The status socket beside an image (resolved path).
std::string defaultStatusSocket(std::string const& resolvedImage);

// Raises AgentError (usage), naming --socket, when `path` is longer than a
// socket's path may be.
void checkSocketPath(std::string const& path);

class StatusSocket {
 public:
  // Binds and listens at `path`. Raises AgentError (busy) when an agent
  // answers there, (usage) when something that is not a socket is there or
  // it cannot be bound.
  explicit StatusSocket(std::string path);
  ~StatusSocket();
  StatusSocket(StatusSocket const&) = delete;
  StatusSocket& operator=(StatusSocket const&) = delete;

  // Readable when a client waits.
  int fd() const { return fd_; }
  std::string const& path() const { return path_; }
  // Gives `answer` to every client waiting, without blocking on a slow one.
  void answer(std::string const& text);

 private:
  std::string path_;
  int fd_ = -1;
};

// The answer of the agent at `path`, or nothing when no agent answers there
// (no socket, or nobody listening). Raises AgentError (chip) when the agent
// does not answer within `wait` seconds.
std::optional<std::string> askStatus(std::string const& path, int waitSeconds = 30);

}  // namespace IfaAgent
