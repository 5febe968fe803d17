#include "agent/ImageLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

#include "agent/Agent.h"

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

std::string ImageLock::lockPath(std::string const& resolvedImage) {
  std::size_t const slash = resolvedImage.rfind('/');
  std::string_view const name = slash == std::string::npos
                                    ? std::string_view(resolvedImage)
                                    : std::string_view(resolvedImage).substr(slash + 1);
  std::uint64_t hash = 0xcbf29ce484222325u;  // FNV-1a
  for (char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
  char text[40];
  std::snprintf(text, sizeof text, ".ifa-asic-%016llx.lock", static_cast<unsigned long long>(hash));
  return slash == std::string::npos ? std::string(text) : resolvedImage.substr(0, slash + 1) + text;
}

ImageLock::ImageLock(std::string const& resolvedImage, Mode mode, std::chrono::milliseconds wait,
                     std::string const& name) {
  std::string const path = lockPath(resolvedImage);
  std::string const image = name.empty() ? resolvedImage : name;
  bool const exclusive = mode == Mode::exclusive;
  fd_ =
      ::open(path.c_str(), (exclusive ? O_RDWR : O_RDONLY) | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd_ < 0 && !exclusive && (errno == EACCES || errno == EROFS)) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd_ < 0 && errno == ENOENT) return;  // nobody can lock here
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

ImageLock::~ImageLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace IfaAgent
