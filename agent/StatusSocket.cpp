#include "agent/StatusSocket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "agent/Agent.h"
#include "files/FilePaths.h"

namespace IfaAgent {
namespace {

sockaddr_un addressOf(std::string const& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

// A connected socket to `path`, or -1 with errno set.
int connectTo(std::string const& path) {
  int const fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un const address = addressOf(path);
  if (::connect(fd, reinterpret_cast<sockaddr const*>(&address), sizeof address) != 0) {
    int const error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

}  // namespace

std::string defaultStatusSocket(std::string const& resolvedImage) {
  return IfaFiles::siblingPath(resolvedImage, ".sock");
}

void checkSocketPath(std::string const& path) {
  constexpr std::size_t kMax = sizeof(sockaddr_un::sun_path) - 1;
  if (path.empty()) throw AgentError(AgentError::Kind::usage, "--socket: the path is empty");
  if (path.size() > kMax) {
    throw AgentError(AgentError::Kind::usage, "--socket: the status socket " + path + " is " +
                                                  std::to_string(path.size()) +
                                                  " bytes long, past the " + std::to_string(kMax) +
                                                  " a socket's path may have; give a shorter one");
  }
}

StatusSocket::StatusSocket(std::string path) : path_(std::move(path)) {
  checkSocketPath(path_);
  struct stat st;
  if (::lstat(path_.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      throw AgentError(AgentError::Kind::usage, "--socket: " + path_ + " is " +
                                                    IfaFiles::fileTypeName(st.st_mode) +
                                                    ", not a socket; it was left alone");
    }
    int const other = connectTo(path_);
    if (other >= 0) {
      ::close(other);
      throw AgentError(AgentError::Kind::busy,
                       "status socket " + path_ + ": another ifa-agent answers there");
    }
    ::unlink(path_.c_str());  // left by an agent that died
  }
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un const address = addressOf(path_);
  mode_t const mask = ::umask(0177);  // the socket is made 0600
  bool const bound =
      fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr const*>(&address), sizeof address) == 0;
  ::umask(mask);
  if (!bound || ::listen(fd_, 16) != 0) {
    int const error = errno;
    if (fd_ >= 0) ::close(fd_);
    throw AgentError(AgentError::Kind::usage,
                     "--socket: cannot bind " + path_ + ": " + std::strerror(error));
  }
}

StatusSocket::~StatusSocket() {
  ::close(fd_);
  ::unlink(path_.c_str());
}

void StatusSocket::answer(std::string const& text) {
  for (;;) {
    int const client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0) return;
    // The answer fits the socket's buffer; a client that does not read it
    // loses what does not fit, the agent never waits on one.
    ssize_t const sent = ::send(client, text.data(), text.size(), MSG_NOSIGNAL);
    static_cast<void>(sent);
    ::close(client);
  }
}

std::optional<std::string> askStatus(std::string const& path, int waitSeconds) {
  checkSocketPath(path);
  int const fd = connectTo(path);
  if (fd < 0) {
    if (errno == ENOENT || errno == ECONNREFUSED || errno == ENOTSOCK) return std::nullopt;
    throw AgentError(AgentError::Kind::image,
                     "status socket " + path + ": cannot connect: " + std::strerror(errno));
  }
  std::string answer;
  char buffer[8192];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int const ready = ::poll(&p, 1, waitSeconds * 1000);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      ::close(fd);
      throw AgentError(AgentError::Kind::chip, "status socket " + path + ": the agent gave no " +
                                                   "answer within " + std::to_string(waitSeconds) +
                                                   " s");
    }
    ssize_t const n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return answer;
}

}  // namespace IfaAgent
