// Watches a configuration file for new contents with inotify. The file's
// directory is watched, not the file: an editor that writes a new file and
// renames it over the old one replaces the file watched, and the directory
// still sees it. Only a file closed after writing (IN_CLOSE_WRITE) and a
// file renamed into place (IN_MOVED_TO) count, and only under the file's
// name.
#pragma once

#include <string>

namespace IfaAgent {

class ConfigWatch {
 public:
  // Raises AgentError (usage) when the directory cannot be watched.
  explicit ConfigWatch(std::string const& configPath);
  ~ConfigWatch();
  ConfigWatch(ConfigWatch const&) = delete;
  ConfigWatch& operator=(ConfigWatch const&) = delete;

  // Readable when events are waiting.
  int fd() const { return fd_; }
  // Reads the waiting events; whether one of them was the file's.
  bool changed();

 private:
  std::string name_;
  int fd_ = -1;
};

}  // namespace IfaAgent
