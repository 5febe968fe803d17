// Where an image really is, and the lock that serialises the agents using it.
//
// The image path is resolved first: a symbolic link (even one whose target
// does not exist yet) is followed to its target, so that a cold start through
// a link creates the target and leaves the link in place, and every spelling
// of one image takes the same lock.
//
// Two locks guard an image, each a flock(2) on a file beside the resolved
// image, named after the image's file name NAME (shortened with a hash when
// that would pass the file-name limit), created on first use and never
// deleted. Neither is the image file itself, which does not exist yet during
// a cold start and is replaced by rename.
//
//  - The owner lock, ".NAME.owner", says who may change the image: apply
//    holds it exclusively for its run, run for its whole life, plan shares
//    it. Its exclusive holder writes "apply PID" or "run PID" into the file
//    before it writes any row, and empties it when it lets go. A command
//    that finds it held by a running agent (run) gives up at once, naming
//    the pid, whatever it was told to wait: the agent applies changes
//    itself and keeps the lock until it stops. Held by apply, it waits as
//    for any lock.
//  - The rows lock, ".NAME.lock", says when rows may be read: apply holds it
//    exclusively, run shares it while idle and holds it exclusively from the
//    first to the last row write of its start or of a reload, and show
//    shares it. So show waits out a reload, never waits on an idle agent,
//    and never sees a torn row.
//
// The owner lock is always taken first. A reader that finds neither an
// image nor a lock file creates nothing. Something other than a regular file
// at the image path is refused before any lock file is made beside it.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

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
  enum class Kind { rows, owner };

  // Takes the lock of the image at `resolvedImage` (see resolveImagePath).
  // When another agent holds it in a conflicting mode, waits up to `wait`
  // for it, then raises AgentError (busy) naming the image and the lock file.
  // A lock file that cannot be created raises AgentError (image); a reader in
  // a directory where no lock file exists and none can be created goes on
  // without one, since no writer can lock there either. Messages name the
  // image as `name` (the path as given; default: `resolvedImage`).
  // `kind` says which of the two locks. An owner lock held by a running
  // agent raises AgentError (busy) at once, naming its pid.
  ImageLock(std::string const& resolvedImage, Mode mode, std::chrono::milliseconds wait,
            std::string const& name = {}, Kind kind = Kind::rows);
  ~ImageLock();
  ImageLock(ImageLock const&) = delete;
  ImageLock& operator=(ImageLock const&) = delete;

  // Writes "COMMAND PID" into an owner lock held exclusively (when the
  // storage lets it).
  void holderIs(std::string_view command);
  // Turns a rows lock shared or exclusive, waiting as long as the readers
  // that hold it take (a show reads for a moment).
  void modeIs(Mode mode);

  // The rows lock file beside an image.
  static std::string lockPath(std::string const& resolvedImage);
  // The owner lock file beside an image.
  static std::string ownerPath(std::string const& resolvedImage);
  // The command and pid an owner lock file names, when the process lives.
  struct Holder {
    std::string command;
    long pid = 0;
  };
  static std::optional<Holder> holderOf(std::string const& ownerLockPath);

 private:
  int fd_ = -1;
  bool holder_ = false;
};

}  // namespace IfaAgent
