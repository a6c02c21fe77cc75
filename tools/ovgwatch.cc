// ovgwatch PID [ARG...]: the daemon's watchdog, started by vgd with its own pid
// and arguments. While the watchdog lives, a daemon that vanishes (or answers
// no WatchDogPing for `vgd.watch.death.timeout` seconds and is then killed) is
// started again with the same arguments. The daemon kills its watchdog at a
// normal stop and leaves it running when it stops to be restarted.
//
// The restarted daemon starts a watchdog of its own, so this one ends as soon
// as the new daemon answers a ping: there is never more than one watchdog per
// daemon. A restart that does not come up is tried again, `vgd.watch.retry.max`
// attempts in all.
//
// Settings (configuration file of the daemon), defaults in seconds:
//   vgd.watch.startup.delay 10    before the first check, and the time a
//                                 restarted daemon is given before it is asked
//   vgd.watch.check.frequency 10  between checks and between attempts
//   vgd.watch.check.timeout 5     for one WatchDogPing
//   vgd.watch.death.timeout 120   silence after which a daemon counts as dead
//   vgd.watch.retry.max 3         restart attempts
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "lrpc2/client_session.h"
#include "lrpc2/msg_types.h"
#include "ofw/config/properties.h"
#include "ofw/logging/logger.h"
#include "ofw/paths.h"

namespace {

struct Settings {
  int startupDelay, checkFrequency, checkTimeout, deathTimeout, retryMax;
  std::string socket;
};

Settings readSettings() {
  ofw::Properties& props = ofw::Props();
  auto atLeast = [&props](const char* key, int def, int min) {
    int v = props.getInt(key, def);
    return v < min ? min : v;
  };
  Settings s;
  s.startupDelay = atLeast("vgd.watch.startup.delay", 10, 0);
  s.checkFrequency = atLeast("vgd.watch.check.frequency", 10, 1);
  s.checkTimeout = atLeast("vgd.watch.check.timeout", 5, 1);
  s.deathTimeout = atLeast("vgd.watch.death.timeout", 120, 1);
  s.retryMax = atLeast("vgd.watch.retry.max", 3, 1);
  s.socket = std::string(ofw::paths::DATA_DIR) + "/" + props.getProperty("vgd.socket", "audit");
  return s;
}

// The start time of a process (clock ticks after boot, field 22 of its stat
// file), 0 when it is gone or a zombie: with it a reused pid is not taken for
// the daemon.
unsigned long long processStart(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return 0;
  size_t close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(line.substr(close + 1));
  std::string state, skip;
  fields >> state;
  for (int field = 4; field < 22; ++field) fields >> skip;
  unsigned long long start = 0;
  fields >> start;
  return state == "Z" || state == "X" ? 0 : start;
}

std::string programOf(pid_t pid) {
  char buf[PATH_MAX];
  ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buf, sizeof buf - 1);
  if (n <= 0) return ofw::paths::DAEMON_PROGRAM;
  std::string path(buf, static_cast<size_t>(n));
  const std::string deleted = " (deleted)";  // replaced by an update: start the new file
  if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
    path.resize(path.size() - deleted.size());
  return path;
}

bool answersPing(const Settings& s) {
  try {
    LRPC2ClientSession session;
    session.connect(s.socket, s.checkTimeout, SIGN_SETTING_DISABLED);
    MsgPtr req = session.newRequest(MsgType::WatchDogPing);
    MsgPtr reply = session.request(req.get(), s.checkTimeout);
    uint32_t type = 0;
    return reply && MsgReadMsgType(reply.get(), &type) == MSG_OK && type == MsgType::WatchDogPing;
  } catch (const std::exception&) {
    return false;
  }
}

void sleepSeconds(int seconds) {
  struct timespec ts = {seconds, 0};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// Watches the daemon until it is gone; kills one that stays silent too long.
void watch(const Settings& s, pid_t pid, unsigned long long start, const ofw::LoggerPtr& logger) {
  time_t silentSince = 0;
  for (;;) {
    if (processStart(pid) != start) return;
    time_t now = time(nullptr);
    if (answersPing(s)) {
      silentSince = 0;
    } else if (silentSince == 0) {
      silentSince = now;
    } else if (now - silentSince >= s.deathTimeout) {
      OFW_WARN(logger, "vgd (pid %d) answered no ping for %d seconds; killing it", static_cast<int>(pid),
               static_cast<int>(now - silentSince));
      kill(pid, SIGKILL);
      while (processStart(pid) == start) sleepSeconds(1);
      return;
    }
    sleepSeconds(s.checkFrequency);
  }
}

// Starts the daemon and waits for an answer to a ping; true once it answers.
bool restart(const Settings& s, const std::vector<char*>& argv, const ofw::LoggerPtr& logger) {
  pid_t child = fork();
  if (child < 0) {
    OFW_ERROR(logger, "Unable to fork vgd: error %d", errno);
    return false;
  }
  if (child == 0) {
    execv(argv[0], argv.data());
    _exit(127);
  }
  sleepSeconds(s.startupDelay);
  for (time_t deadline = time(nullptr) + s.deathTimeout;;) {
    // Started with -d the daemon stays our child; else its parent exits 0 at once.
    int status = 0;
    if (child > 0 && waitpid(child, &status, WNOHANG) == child) {
      child = 0;
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        OFW_WARN(logger, "vgd ended with status %d while starting", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        return false;
      }
    }
    if (answersPing(s)) return true;
    if (time(nullptr) >= deadline) {
      // A silent daemon of ours would hold the lock against the next attempt.
      if (child > 0 && kill(child, SIGKILL) == 0) waitpid(child, &status, 0);
      return false;
    }
    sleepSeconds(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  char* end = nullptr;
  long pid = argc >= 2 ? strtol(argv[1], &end, 10) : 0;
  if (argc < 2 || *end != '\0' || pid <= 0 || pid > INT_MAX) {
    fprintf(stderr, "usage: ovgwatch PID [ARG...]\n");
    return 1;
  }
  signal(SIGPIPE, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  closefrom(3);  // nothing of the daemon's (its socket, its lock) stays open here
  ofw::LoggerPtr logger = ofw::getLogger("ovg.watch");
  Settings s = readSettings();
  const pid_t daemon = static_cast<pid_t>(pid);
  const unsigned long long start = processStart(daemon);
  std::string program = programOf(daemon);
  std::vector<char*> daemonArgv = {&program[0]};
  std::string commandLine = program;
  for (int i = 2; i < argc; ++i) {
    daemonArgv.push_back(argv[i]);
    commandLine += std::string(" ") + argv[i];
  }
  daemonArgv.push_back(nullptr);
  if (start == 0) {
    OFW_ERROR(logger, "vgd (pid %ld) is not running; nothing to watch", pid);
    return 1;
  }

  sleepSeconds(s.startupDelay);
  watch(s, daemon, start, logger);
  for (int attempt = 1; attempt <= s.retryMax; ++attempt) {
    OFW_INFO(logger, "vgd (pid %ld) is gone; starting %s (attempt %d of %d)", pid, commandLine.c_str(), attempt,
             s.retryMax);
    ofw::Logger::flush();
    if (restart(s, daemonArgv, logger)) {
      OFW_INFO(logger, "vgd restarted");
      ofw::Logger::close();
      return 0;
    }
    sleepSeconds(s.checkFrequency);
  }
  OFW_ERROR(logger, "vgd could not be restarted after %d attempts", s.retryMax);
  ofw::Logger::close();
  return 1;
}
