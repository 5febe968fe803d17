#include "agent/ConfigWatch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "agent/Agent.h"
#include "files/FilePaths.h"

namespace IfaAgent {

ConfigWatch::ConfigWatch(std::string const& configPath)
    : name_(IfaFiles::baseName(configPath)), fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
  std::string const directory = IfaFiles::directoryOf(configPath);
  if (fd_ < 0 || ::inotify_add_watch(fd_, directory.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
    int const error = errno;
    if (fd_ >= 0) ::close(fd_);
    throw AgentError(AgentError::Kind::usage, "cannot watch " + directory + " for changes of " +
                                                  configPath + ": " + std::strerror(error));
  }
}

ConfigWatch::~ConfigWatch() {
  ::close(fd_);
}

bool ConfigWatch::changed() {
  bool ours = false;
  alignas(inotify_event) char buffer[16384];
  for (;;) {
    ssize_t const n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) return ours;
    for (char const* at = buffer; at < buffer + n;) {
      auto const* event = reinterpret_cast<inotify_event const*>(at);
      // An overflowed queue may have lost the file's event.
      if ((event->mask & IN_Q_OVERFLOW) != 0 || (event->len > 0 && name_ == event->name)) {
        ours = true;
      }
      at += sizeof(inotify_event) + event->len;
    }
  }
}

}  // namespace IfaAgent
