#include "agent/ImageLock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "agent/Agent.h"
#include "files/FilePaths.h"

namespace IfaAgent {
namespace {

constexpr int kMaxLinks = 40;
constexpr std::chrono::milliseconds kPollInterval{20};

std::string seconds(std::chrono::milliseconds wait) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", static_cast<double>(wait.count()) / 1000.0);
  return text;
}

}  // namespace

std::string resolveImagePath(std::string const& path) {
  std::string current = path;
  for (int hops = 0; hops <= kMaxLinks; ++hops) {
    struct stat st;
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
    ssize_t const n = ::readlink(current.c_str(), target.data(), target.size());
    if (n < 0 || static_cast<std::size_t>(n) >= target.size()) {
      throw AgentError(AgentError::Kind::image,
                       "image " + path + ": cannot read the symbolic link " + current + ": " +
                           std::strerror(n < 0 ? errno : ENAMETOOLONG));
    }
    target.resize(static_cast<std::size_t>(n));
    std::size_t const slash = current.rfind('/');
    if (target.empty() || target.front() == '/' || slash == std::string::npos) {
      current = target;
    } else {
      current = current.substr(0, slash + 1) + target;
    }
  }
  throw AgentError(AgentError::Kind::image, "image " + path + ": more than " +
                                                std::to_string(kMaxLinks) +
                                                " symbolic links to follow (a loop?)");
}

bool imageExists(std::string const& resolvedImage) {
  struct stat st;
  return ::lstat(resolvedImage.c_str(), &st) == 0;
}

void refuseIrregularImage(std::string const& resolvedImage, std::string const& name) {
  struct stat st;
  if (::stat(resolvedImage.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return;
  throw AgentError(AgentError::Kind::image, "image " + name + ": not a regular file (" +
                                                IfaFiles::fileTypeName(st.st_mode) +
                                                "); an image is a regular file");
}

std::string ImageLock::lockPath(std::string const& resolvedImage) {
  return IfaFiles::siblingPath(resolvedImage, ".lock");
}

std::string ImageLock::ownerPath(std::string const& resolvedImage) {
  return IfaFiles::siblingPath(resolvedImage, ".owner");
}

std::optional<ImageLock::Holder> ImageLock::holderOf(std::string const& ownerLockPath) {
  int const fd = ::open(ownerLockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  char text[64] = {};
  ssize_t const n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return std::nullopt;
  Holder holder;
  std::string_view line(text, static_cast<std::size_t>(n));
  std::size_t const space = line.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  holder.command = std::string(line.substr(0, space));
  char* end = nullptr;
  holder.pid = std::strtol(text + space + 1, &end, 10);
  if (holder.pid <= 0 || (*end != '\n' && *end != '\0')) return std::nullopt;
  // A holder that was killed leaves its line behind: only a live one counts.
  if (::kill(static_cast<pid_t>(holder.pid), 0) != 0 && errno != EPERM) return std::nullopt;
  return holder;
}

ImageLock::ImageLock(std::string const& resolvedImage, Mode mode, std::chrono::milliseconds wait,
                     std::string const& name, Kind kind) {
  std::string const path = kind == Kind::owner ? ownerPath(resolvedImage) : lockPath(resolvedImage);
  std::string const image = name.empty() ? resolvedImage : name;
  bool const exclusive = mode == Mode::exclusive;
  // A reader creates the lock file only beside an image: one that finds no
  // image has nothing to read and leaves nothing behind, and a writer making
  // the image holds the lock file from before the image exists.
  fd_ =
      ::open(path.c_str(), (exclusive ? O_RDWR | O_CREAT : O_RDONLY) | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd_ < 0 && !exclusive && errno == ENOENT) {
    if (!imageExists(resolvedImage)) return;
    fd_ = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd_ < 0 && (errno == EACCES || errno == EROFS)) return;  // nobody can lock here
  }
  if (fd_ < 0) {
    throw AgentError(AgentError::Kind::image, "image " + image + ": cannot open its lock file " +
                                                  path + ": " + std::strerror(errno));
  }
  auto const deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (::flock(fd_, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) return;
    int const error = errno;
    if (error == EINTR) continue;
    if (error != EWOULDBLOCK) {
      ::close(fd_);
      throw AgentError(AgentError::Kind::image,
                       "image " + image + ": cannot lock " + path + ": " + std::strerror(error));
    }
    if (kind == Kind::owner) {
      auto const holder = holderOf(path);
      if (holder && holder->command == "run") {
        ::close(fd_);
        throw AgentError(AgentError::Kind::busy,
                         "image " + image + " is held by a running agent (ifa-agent run, pid " +
                             std::to_string(holder->pid) + "; lock file " + path +
                             "): change its configuration and it reloads, or stop it first");
      }
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(kPollInterval);
  }
  ::close(fd_);
  std::string const message =
      "image " + image + " is in use by another ifa-agent (lock file " + path + ")";
  throw AgentError(AgentError::Kind::busy,
                   wait.count() == 0
                       ? message + "; try again, or wait for it with --lock-timeout SECONDS"
                       : message + "; gave up after waiting " + seconds(wait) + " s");
}

void ImageLock::holderIs(std::string_view command) {
  if (fd_ < 0) return;
  // Only a help to the commands that find the lock held: a holder that
  // cannot record itself (a full disk) makes them wait instead of giving up
  // at once, and goes on.
  std::string const line = std::string(command) + " " + std::to_string(::getpid()) + "\n";
  holder_ = true;
  if (::ftruncate(fd_, 0) == 0) {
    [[maybe_unused]] ssize_t const written = ::pwrite(fd_, line.data(), line.size(), 0);
  }
}

void ImageLock::modeIs(Mode mode) {
  if (fd_ < 0) return;
  while (::flock(fd_, mode == Mode::exclusive ? LOCK_EX : LOCK_SH) != 0) {
    if (errno != EINTR) {
      throw AgentError(AgentError::Kind::image,
                       "cannot change the rows lock: " + std::string(std::strerror(errno)));
    }
  }
}

ImageLock::~ImageLock() {
  if (fd_ < 0) return;
  // The next holder, or a command that finds the lock free, reads no stale
  // holder.
  if (holder_) [[maybe_unused]]
    int const emptied = ::ftruncate(fd_, 0);
  ::close(fd_);
}

}  // namespace IfaAgent
