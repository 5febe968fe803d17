// Paths of the files kept beside a file (an image's lock files, the
// temporary file a new image is written to), and the words messages use for
// a file that is not a regular one. Shared by the simulated chip and the agent.
#pragma once

#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace IfaFiles {

// The last component of `path` (all of it when it has no '/').
inline std::string_view baseName(std::string_view path) {
  std::size_t const slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The directory `path` is in: "." for a bare name, "/" for a name in the root.
inline std::string directoryOf(std::string const& path) {
  std::size_t const slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The hidden file beside `path` that belongs to it: ".NAME" + `suffix`, NAME
// being the last component of `path`, so that a listing shows which file it
// belongs to. A name that would pass the file-name limit keeps as much of
// NAME as fits, then "~" and 16 hex digits of a hash of the whole NAME, so
// that two long names sharing a beginning still get files of their own.
inline std::string siblingPath(std::string const& path, std::string_view suffix) {
  std::string_view const name = baseName(path);
  std::string const directory = path.substr(0, path.size() - name.size());
  std::string sibling = "." + std::string(name) + std::string(suffix);
  if (sibling.size() > NAME_MAX) {
    std::uint64_t hash = 0xcbf29ce484222325u;  // FNV-1a
    for (char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
    char tag[24];
    int const tagBytes =
        std::snprintf(tag, sizeof tag, "~%016llx", static_cast<unsigned long long>(hash));
    std::size_t const keep = NAME_MAX - 1 - static_cast<std::size_t>(tagBytes) - suffix.size();
    sibling = "." + std::string(name.substr(0, keep)) + tag + std::string(suffix);
  }
  return directory + sibling;
}

// What a file that is not a regular one is, as messages say it.
inline char const* fileTypeName(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "a regular file";
}

}  // namespace IfaFiles
