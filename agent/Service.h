// The long-running agent (ifa-agent run): it starts as apply does (a warm
// restart of the image, or a cold start when asked to), keeps the tables
// for its whole life, and applies each new configuration as changes in
// steady state: a commit (entryCommit) of every new or changed key, in
// catalogue order, then a removal (entryRemove) of every key no longer
// configured, in reverse catalogue order, with no read-back and no restart.
// An unchanged key costs a lookup.
//
// It reloads on SIGHUP and when the configuration file changes (the file's
// directory watched, a burst of events left to settle for 100 ms). A reload
// reads and validates the whole file first; a file refused, or one that
// would remove every row the agent holds while claiming none (unless
// allowed), is logged with its problems and changes nothing. The rows
// written are synced before the reload is done. SIGTERM and SIGINT end the
// change in hand, then the agent lets go of its locks and exits, leaving
// every row in hardware.
//
// It holds the image's owner lock exclusively for its whole life, and its
// rows lock shared while idle and exclusively from the first to the last
// row write of its start or of a reload (agent/ImageLock.h). It answers the
// status socket (agent/StatusSocket.h) from a snapshot taken after each
// reload, notifies the service manager (agent/Notify.h), and logs one line
// per event to standard error. One thread does all of it.
#pragma once

#include <string>

#include "agent/Agent.h"

namespace IfaAgent {

struct ServiceOptions {
  std::string config;
  std::string image;
  std::string socket;  // empty: beside the image
  bool create = false;
  bool allowPurgeAll = false;
  bool verbose = false;  // log each key's change
};

// The status of a running agent (the JSON object its socket answers) as
// text.
std::string statusText(Json const& answer);

class Service {
 public:
  Service(Agent& agent, ServiceOptions options);
  // Runs until SIGTERM or SIGINT; returns the exit status. Raises what apply
  // raises when the agent cannot start, and a chip or storage failure of a
  // reload.
  int run();

 private:
  Agent& agent_;
  ServiceOptions options_;
};

}  // namespace IfaAgent
