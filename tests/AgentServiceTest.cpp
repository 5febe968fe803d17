// ifa-agent run as a long-running process over the simulated chip: its
// start, reloads on SIGHUP and on a changed file (in place or replaced by
// rename), refused reloads that change nothing, removals, its stop and the
// warm restart that follows, status over its socket, the locks it holds
// against apply, plan and show, the service manager's notifications, and an
// agent killed in the middle of a reload.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "AgentProcessSupport.h"
#include "agent/ImageLock.h"
#include "agent/StatusSocket.h"

namespace {

using namespace AgentTest;
namespace fs = std::filesystem;

// An agent started in the background (ifa-agent run ...), its standard error
// in a log file. Killed at the end of the test if it still runs.
class LiveAgent {
 public:
  LiveAgent(std::string const& log, std::string const& args, std::string const& env = "")
      : log_(log) {
    std::string const command =
        "exec env -u IFA_CHIP_PROFILE -u IFA_CHIP_CRASH_AFTER_WRITES "
        "-u IFA_CHIP_PAUSE_AFTER_WRITES -u NOTIFY_SOCKET " +
        env + " " IFA_AGENT_PROGRAM " run " + args + " >>" + quote(log) + " 2>&1";
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~LiveAgent() {
    if (pid_ > 0 && status_ < 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  LiveAgent(LiveAgent const&) = delete;
  LiveAgent& operator=(LiveAgent const&) = delete;

  pid_t pid() const { return pid_; }
  std::string log() const { return contents(log_); }
  // Waits until the log holds `text` `times` times; false after two minutes
  // or when the agent ended first.
  bool waitFor(std::string const& text, int times = 1) {
    for (int i = 0; i < 6000; ++i) {
      std::string const now = log();
      int seen = 0;
      for (std::size_t at = now.find(text); at != std::string::npos; at = now.find(text, at + 1)) {
        ++seen;
      }
      if (seen >= times) return true;
      if (ended()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  void signal(int s) const { ::kill(pid_, s); }
  // The exit status (128 + signal when killed), waiting up to two minutes
  // for it; -1 when it still runs.
  int wait() {
    for (int i = 0; i < 6000 && !ended(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status_;
  }
  bool ended() {
    if (status_ >= 0) return true;
    int raw = 0;
    if (::waitpid(pid_, &raw, WNOHANG) != pid_) return false;
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return true;
  }

 private:
  std::string log_;
  pid_t pid_ = -1;
  int status_ = -1;
};

// A datagram socket standing in for the service manager's.
class NotifySocket {
 public:
  explicit NotifySocket(std::string path) : path_(std::move(path)) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  ~NotifySocket() { ::close(fd_); }
  // The next datagram, or "" after a minute.
  std::string next() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 60000) != 1) return "";
    char buffer[4096];
    ssize_t const n = ::recv(fd_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
  }

 private:
  std::string path_;
  int fd_ = -1;
};

// The configuration lines of `name` without the one that starts with `drop`.
std::string without(std::string const& name, std::string const& drop) {
  std::string const text = contents(example(name));
  std::size_t const at = text.find("\n" + drop);
  return text.substr(0, at + 1) + text.substr(text.find('\n', at + 1) + 1);
}

nlohmann::json status(std::string const& image) {
  Result const r = agent("status --json --image " + quote(image));
  EXPECT_EQ(r.status, 0) << r.err;
  return json(r.out);
}

// The lines of a listing ("  + ...", "  ~ ...", "  - ...").
std::string listingOf(std::string const& text) {
  std::string out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.size() > 4 && line[0] == ' ' && line[1] == ' ' && line[3] == ' ') out += line + "\n";
  }
  return out;
}

TEST(AgentService, RunsReloadsOnSignalAndFileAndStopsLeavingEveryRowForTheNextStart) {
  TempDir dir;
  std::string const image = dir.file("chip.img"), conf = dir.file("agent.conf");
  // The configuration the agent watches is a link into another directory:
  // writing its target is not seen, so that SIGHUP alone reloads it.
  fs::create_directory(dir.file("store"));
  write(dir.file("store/agent.conf"), contents(example("base.conf")));
  fs::create_symlink("store/agent.conf", conf);
  NotifySocket notify(dir.file("notify.sock"));
  LiveAgent live(dir.file("agent.log"), quote(conf) + " --create -v --image " + quote(image),
                 "NOTIFY_SOCKET=" + quote(dir.file("notify.sock")));
  ASSERT_TRUE(live.waitFor("ifa-agent: ready: ")) << live.log();
  std::string const pid = std::to_string(live.pid());
  EXPECT_NE(live.log().find("ifa-agent: start: cold start of " + image +
                            ": 29 written, 0 rewritten, 0 purged, 0 unchanged\n"),
            std::string::npos)
      << live.log();
  EXPECT_EQ(notify.next(), "READY=1\nMAINPID=" + pid + "\nSTATUS=cold start of " + image +
                               ": 29 written, 0 rewritten, 0 purged, 0 unchanged");

  // Its status, as JSON.
  auto const started = status(image);
  EXPECT_EQ(started["command"], "status");
  EXPECT_EQ(started["pid"], live.pid());
  EXPECT_EQ(started["image"], image);
  EXPECT_EQ(started["profile"], "corvane-sim-a");
  EXPECT_EQ(started["total"], (nlohmann::json{{"entries", 29}, {"written", 29}, {"removed", 0}}));
  EXPECT_TRUE(started["lastReload"].is_null());
  EXPECT_EQ(fs::status(dir.file(".chip.img.sock")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  // While it runs, apply and plan end at once, naming its pid; show reads.
  for (std::string const command : {"apply", "plan"}) {
    Result const r = agent(command + " " + quote(example("base.conf")) +
                           " --lock-timeout 30 --image " + quote(image));
    EXPECT_EQ(r.status, 6) << command;
    EXPECT_EQ(r.err, "ifa-agent: image " + image + " is held by a running agent (ifa-agent run, " +
                         "pid " + pid + "; lock file " + IfaAgent::ImageLock::ownerPath(image) +
                         "): change its configuration and it reloads, or stop it first\n");
  }
  EXPECT_EQ(agent("show --image " + quote(image)).out, shownExample("base.conf"));

  // A good reload on SIGHUP: the image's bytes are those of an apply of the
  // same file to a copy, and the listing that of its plan.
  fs::copy_file(image, dir.file("copy.img"));
  std::string const planned = agent("plan " + quote(example("changed.conf")) +
                                    " -v --wide --image " + quote(dir.file("copy.img")))
                                  .out;
  write(dir.file("store/agent.conf"), contents(example("changed.conf")));
  live.signal(SIGHUP);
  std::string const reloaded =
      "ifa-agent: reload (SIGHUP): 5 written, 9 rewritten, 5 removed, "
      "15 unchanged\n";
  ASSERT_TRUE(live.waitFor(reloaded)) << live.log();
  ASSERT_EQ(
      agent("apply " + quote(example("changed.conf")) + " --image " + quote(dir.file("copy.img")))
          .status,
      0);
  EXPECT_TRUE(contents(image) == contents(dir.file("copy.img")));
  std::string const log = live.log();
  std::size_t const from = log.find("ifa-agent: ready: ");
  EXPECT_EQ(listingOf(log.substr(from, log.find(reloaded) - from)), listingOf(planned));
  EXPECT_TRUE(notify.next().starts_with("RELOADING=1\nSTATUS=reloading (SIGHUP)\nMONOTONIC_USEC="));
  EXPECT_EQ(notify.next(), "READY=1\nSTATUS=" + reloaded.substr(11, reloaded.size() - 12));
  auto after = status(image);
  EXPECT_EQ(after["lastReload"]["result"], "applied");
  EXPECT_EQ(after["lastReload"]["summary"],
            (nlohmann::json{{"write", 5}, {"rewrite", 9}, {"remove", 5}, {"unchanged", 15}}));
  EXPECT_EQ(after["total"], (nlohmann::json{{"entries", 29}, {"written", 43}, {"removed", 5}}));
  // The same as text: a line about the agent, a row per table and the total,
  // then the last reload.
  std::string const text = agent("status --image " + quote(image)).out;
  EXPECT_TRUE(text.starts_with("ifa-agent run, pid " + pid + ", up ")) << text;
  EXPECT_NE(text.find("\nIfaSwitchId                            1         2         0\n"
                      "IfaTimeOfDay"),
            std::string::npos)
      << text;
  EXPECT_TRUE(
      text.ends_with("\ntotal                                 29        43         5\n"
                     "last reload: " +
                     std::string(after["lastReload"]["time"]) +
                     " (SIGHUP): 5 written, 9 rewritten, 5 removed, 15 unchanged\n"))
      << text;

  // A bad reload: the problems logged as apply prints them, the image's
  // bytes and the status unchanged but for the refusal.
  std::string const bytes = contents(image);
  std::string const bad = contents(std::string(IFA_BAD_CONFIG_DIR) + "/unknown-table.conf");
  write(dir.file("store/agent.conf"), bad);
  live.signal(SIGHUP);
  ASSERT_TRUE(
      live.waitFor("ifa-agent: reload (SIGHUP) refused: configuration rejected (1 "
                   "problem); nothing changed\n"))
      << live.log();
  EXPECT_NE(live.log().find("\n" + conf + ":" + bad.substr(10, bad.find('\n') - 10) + "\n"),
            std::string::npos)
      << live.log();
  EXPECT_TRUE(contents(image) == bytes);
  auto refused = status(image);
  EXPECT_EQ(refused["lastReload"]["result"], "refused");
  EXPECT_EQ(refused["lastReload"]["problems"].size(), 1u);
  for (auto* s : {&refused, &after}) {
    s->erase("lastReload");
    s->erase("uptimeSeconds");
  }
  EXPECT_EQ(refused, after);
  // So is one that would remove every row while claiming none.
  write(dir.file("store/agent.conf"), "");
  live.signal(SIGHUP);
  ASSERT_TRUE(
      live.waitFor("ifa-agent: reload (SIGHUP) refused: the configuration claims none "
                   "of the 29 rows the agent holds, so the reload would remove all 29 "
                   "rows (--allow-purge-all to allow it); nothing changed\n"))
      << live.log();
  EXPECT_TRUE(contents(image) == bytes);

  // A key removed, in a file replaced by rename (as editors save): seen
  // without a signal, and its row deleted.
  write(dir.file("next.conf"), without("changed.conf", "IfaSwitchId"));
  fs::rename(dir.file("next.conf"), conf);
  ASSERT_TRUE(live.waitFor("ifa-agent: reload (" + conf +
                           " changed): 0 written, 0 rewritten, 1 removed, 28 unchanged\n"))
      << live.log();
  EXPECT_NE(live.log().find("\n  - IfaSwitchId 0: switchId=167772162\n"), std::string::npos);
  std::string const shownNow = agent("show --image " + quote(image)).out;
  EXPECT_EQ(shownNow.find("IfaSwitchId"), std::string::npos);
  EXPECT_EQ(agent("show --image " + quote(image) + " IfaSwitchId").out, "");

  // SIGTERM: it stops with status 0, removes its socket and leaves every
  // row; status then finds no agent.
  live.signal(SIGTERM);
  EXPECT_EQ(live.wait(), 0) << live.log();
  EXPECT_NE(live.log().find("ifa-agent: stopping (SIGTERM): every row stays in hardware\n"),
            std::string::npos);
  // After a READY=1 for each reload, refused ones too.
  std::string last;
  while (!last.starts_with("STOPPING=1\n") && !(last = notify.next()).empty()) {
  }
  EXPECT_EQ(last, "STOPPING=1\nSTATUS=stopping");
  EXPECT_FALSE(fs::exists(dir.file(".chip.img.sock")));
  EXPECT_EQ(agent("show --image " + quote(image)).out, shownNow);
  Result const none = agent("status --image " + quote(image));
  EXPECT_EQ(none.status, 7);
  EXPECT_EQ(none.err, "ifa-agent: no agent running for image " + image + " (nothing answers on " +
                          dir.file(".chip.img.sock") + ")\n");
  // The next start of the same configuration changes nothing.
  LiveAgent again(dir.file("again.log"), quote(conf) + " --image " + quote(image));
  ASSERT_TRUE(again.waitFor("ifa-agent: ready: ")) << again.log();
  EXPECT_NE(again.log().find("ifa-agent: start: warm restart of " + image + ": No changes.\n"),
            std::string::npos)
      << again.log();
  again.signal(SIGINT);
  EXPECT_EQ(again.wait(), 0);
}

TEST(AgentService, UsageErrorsAndAStatusWithNoAgent) {
  TempDir dir;
  auto usage = [](std::string const& args, std::string const& message) {
    Result const r = agent(args);
    EXPECT_EQ(r.status, 64) << args;
    EXPECT_EQ(r.err, "ifa-agent: " + message + "\n(ifa-agent --help for usage)\n") << args;
  };
  usage("run - --image x.img",
        "run: CONFIG - (standard input) cannot be read again for a reload; give a file");
  std::string const longSocket = dir.file(std::string(120, 's'));
  usage("status --socket " + quote(longSocket),
        "--socket: the status socket " + longSocket + " is " + std::to_string(longSocket.size()) +
            " bytes long, past the 107 a socket's path may have; give a shorter one");
  usage("status --socket a --image b", "status: --image excludes --socket");
  Result const none = agent("status --json --socket " + quote(dir.file("s")));
  EXPECT_EQ(none.status, 7);
  EXPECT_EQ(json(none.out)["error"]["kind"], "no-agent");
  EXPECT_TRUE(fs::is_empty(dir.file("")));
}

// Killed after a random number of the row writes of a reload, the agent's
// next start brings the hardware to the configuration; and a show made
// while a reload is held half-way sees the rows from before or after it,
// never a mixture.
TEST(AgentService, KilledInAReloadTheNextStartConvergesAndShowNeverSeesHalfAReload) {
  TempDir dir;
  std::string const image = dir.file("chip.img"), conf = dir.file("agent.conf");
  std::string const before = shownExample("base.conf"), after = shownExample("changed.conf");
  // The cold start writes 29 rows, the reload 19.
  for (int writes : {1, 10, 18}) {
    SCOPED_TRACE("killed after " + std::to_string(writes) + " of the reload's writes");
    fs::remove(image);
    write(conf, contents(example("base.conf")));
    {
      LiveAgent live(dir.file("crash-" + std::to_string(writes) + ".log"),
                     quote(conf) + " --create --image " + quote(image),
                     "IFA_CHIP_CRASH_AFTER_WRITES=" + std::to_string(29 + writes));
      ASSERT_TRUE(live.waitFor("ifa-agent: ready: ")) << live.log();
      write(conf, contents(example("changed.conf")));
      EXPECT_EQ(live.wait(), 128 + SIGKILL) << live.log();
    }
    std::string const torn = agent("show --image " + quote(image)).out;
    EXPECT_NE(torn, before);
    EXPECT_NE(torn, after);
    LiveAgent next(dir.file("next-" + std::to_string(writes) + ".log"),
                   quote(conf) + " --image " + quote(image));
    ASSERT_TRUE(next.waitFor("ifa-agent: ready: ")) << next.log();
    EXPECT_EQ(agent("show --image " + quote(image)).out, after);
    next.signal(SIGTERM);
    EXPECT_EQ(next.wait(), 0);
  }

  // A reload paused for 5 s after its tenth write, holding the rows lock.
  write(conf, contents(example("base.conf")));
  LiveAgent live(dir.file("pause.log"), quote(conf) + " --image " + quote(image),
                 "IFA_CHIP_PAUSE_AFTER_WRITES=" + std::to_string(19 + 10) + ":5000");
  ASSERT_TRUE(live.waitFor("ifa-agent: ready: ")) << live.log();
  EXPECT_EQ(agent("show --image " + quote(image)).out, before);
  write(conf, contents(example("changed.conf")));
  // Wait until the reload holds the rows lock exclusively.
  int const lock = ::open(IfaAgent::ImageLock::lockPath(image).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(lock, 0);
  bool held = false;
  // Give up once the reload is over.
  for (int i = 0; i < 120000 && !held && !live.ended(); ++i) {
    if (i % 64 == 0 && live.log().find(" changed): ") != std::string::npos) break;
    held = ::flock(lock, LOCK_SH | LOCK_NB) != 0;
    if (!held) ::flock(lock, LOCK_UN);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ::close(lock);
  ASSERT_TRUE(held) << live.log();
  // A show that does not wait gives up; one that waits sees the reload's
  // result.
  EXPECT_EQ(agent("show --image " + quote(image)).status, 6);
  Result const waited = agent("show --lock-timeout 60 --image " + quote(image));
  EXPECT_EQ(waited.status, 0) << waited.err;
  EXPECT_EQ(waited.out, after);
  ASSERT_TRUE(live.waitFor("changed): 5 written, 9 rewritten, 5 removed, 15 unchanged\n"))
      << live.log();
  EXPECT_EQ(agent("show --image " + quote(image)).out, after);
}

}  // namespace
