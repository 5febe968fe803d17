// Where an image really is, and the lock that serialises the agents using it.
//
// The image path is resolved first: a symbolic link (even one whose target
// does not exist yet) is followed to its target, so that a cold start through
// a link creates the target and leaves the link in place, and every spelling
// of one image takes the same lock.
//
// The lock is a flock(2) on a lock file beside the resolved image, named
// ".NAME.lock" after the image's file name NAME (shortened with a hash when
// that would pass the file-name limit), created on first use and never
// deleted. It is not the image file itself, which does not exist yet during
// a cold start and is replaced by rename. A writer (apply) holds it
// exclusively, readers (plan, show) share it, for the whole run: a reader
// sees an image before or after an apply, never half-way, and two applies
// never interleave. A reader that finds neither an image nor a lock file
// creates nothing. Something other than a regular file at the image path is
// refused before any lock file is made beside it.
#pragma once

#include <chrono>
#include <string>

namespace IfaAgent {

// The path of the file `path` names: symbolic links followed (at most 40),
// relative targets taken from the link's directory. The result need not
// exist. Raises AgentError (image) for a loop of links or an unreadable one.
std::string resolveImagePath(std::string const& path);

// Whether anything is at the resolved image path (a link that resolved to
// nothing is not).
bool imageExists(std::string const& resolvedImage);

// Raises AgentError (image), naming the image as `name`, when something other
// than a regular file (a directory, a FIFO, a device) is at the resolved
// image path; nothing there is not refused here.
void refuseIrregularImage(std::string const& resolvedImage, std::string const& name);

class ImageLock {
 public:
  enum class Mode { shared, exclusive };

  // Takes the lock of the image at `resolvedImage` (see resolveImagePath).
  // When another agent holds it in a conflicting mode, waits up to `wait`
  // for it, then raises AgentError (busy) naming the image and the lock file.
  // A lock file that cannot be created raises AgentError (image); a reader in
  // a directory where no lock file exists and none can be created goes on
  // without one, since no writer can lock there either. Messages name the
  // image as `name` (the path as given; default: `resolvedImage`).
  ImageLock(std::string const& resolvedImage, Mode mode, std::chrono::milliseconds wait,
            std::string const& name = {});
  ~ImageLock();
  ImageLock(ImageLock const&) = delete;
  ImageLock& operator=(ImageLock const&) = delete;

  // The lock file beside an image.
  static std::string lockPath(std::string const& resolvedImage);

 private:
  int fd_ = -1;
};

}  // namespace IfaAgent
