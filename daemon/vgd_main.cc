// Start-up and shutdown of the audit daemon, in the order the daemon has
// always followed; every exit after the pid file was written removes it.
#include "daemon/vgd_main.h"

#include <fcntl.h>
#include <getopt.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "audittrail/audit_trail_event.h"
#include "daemon/codepage.h"
#include "daemon/daemon_state.h"
#include "daemon/lockfile.h"
#include "daemon/pidfile.h"
#include "ofw/script_runner.h"
#include "daemon/subsystems.h"
#include "daemon/spool_migration.h"
#include "daemon/watchdog.h"
#include "ofw/capi/dirsettings.h"
#include "ofw/format.h"
#include "ofw/logging/logger.h"
#include "ofw/paths.h"
#include "ofw/config/properties.h"
#include "ofw/resource_limits.h"
#include "ofw/threads/thread.h"
#include "server/session_settings.h"

namespace vgd {

namespace {

void printUsage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [options]\n"
               "\n"
               "    -c, --nocore             don't allow core dumps\n"
               "    -d, --debug              debug - don't fork\n"
               "    -v, --version            display version\n"
               "\n",
               program);
}

void setCoreLimit(bool allow) {
  struct rlimit rl;
  rl.rlim_cur = rl.rlim_max = allow ? RLIM_INFINITY : 0;
  setrlimit(RLIMIT_CORE, &rl);
}

// A termination signal that arrives before the server exists; start-up hands
// it to the server's flags as soon as they are published.
std::atomic<int> gPendingTermination{0};

// Signal handlers touch only lock-free flags and sigaction.
void terminate(int sig) {
  ofw::ServerFlags* flags = gState.flags.load();
  if (flags) {
    flags->stop.store(true);
    flags->restart.store(sig == SIGHUP);
  } else {
    gPendingTermination.store(sig);
  }
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = SIG_IGN;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
}

volatile sig_atomic_t gUsr2Seen = 0;
void recordUsr2(int) { gUsr2Seen = 1; }

bool installHandler(int sig, void (*handler)(int), int flags) {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sa.sa_flags = flags;
  sigemptyset(&sa.sa_mask);
  return sigaction(sig, &sa, nullptr) == 0;
}

void removeContinueMarker(const ofw::LoggerPtr& logger) {
  const char* path = ofw::paths::CONT_WITHOUT_VGD;
  struct stat st;
  if (lstat(path, &st) != 0) {
    OFW_INFO(logger, "File %s does not exist.", path);
    return;
  }
  if (unlink(path) == 0) {
    OFW_INFO(logger, "Succeeded to delete file %s .", path);
    return;
  }
  int err = errno;
  OFW_WARN(logger,
           "Failed to delete file %s ! Errno: %d (%s). In case VG Daemon (vgd) is down, VG will not attempt "
           "to pause the audited sessions, and audit data meanwhile is purged. Delete the file manually, or "
           "run vgcontrol --ovgshHangWithoutVgd will bring VG back to normal.",
           path, err, ofw::errnoText(err).c_str());
}

// Step 20: make sure no other daemon serves the socket; remove a stale one.
// Returns -1 to continue, else the exit status.
int probeSocket(const ofw::LoggerPtr& logger, const std::string& socketPath) {
  for (int attempt = 1;; ++attempt) {
    struct stat st;
    if (stat(socketPath.c_str(), &st) != 0) return -1;
    OFW_DEBUG(logger, "Pipe already exists - make sure there isn't already an active daemon (attempt %d)", attempt);
    try {
      if (isDaemonAnswering(socketPath)) {
        OFW_DEBUG(logger, "Pipe exists and is active. daemon is running. Terminating.");
        return 0;
      }
    } catch (...) {
      OFW_DEBUG(logger, "exception caught, pipe exists but is not active, falling through");
    }
    OFW_DEBUG(logger, "Pipe exists and is not active.");
    if (unlink(socketPath.c_str()) == 0) {
      OFW_DEBUG(logger, "Removed pipe from file system. Continuing start-up.");
      return -1;
    }
    int err = errno;
    if (err == ENOENT) {
      OFW_DEBUG(logger, "Pipe no longer in file system. Continuing start-up.");
      return -1;
    }
    if (attempt >= 4) {
      OFW_ERROR(logger, "Failed to remove pipe after %d attempts: %s. Terminating.", 4, ofw::errnoText(err).c_str());
      return 1;
    }
    OFW_DEBUG(logger, "Failed to remove pipe: %s", ofw::errnoText(err).c_str());
    sleep(3);
  }
}

void runTenantKeyScript(const ofw::LoggerPtr& logger) {
  const char* script = ofw::paths::TENANT_KEY_SCRIPT;
  struct stat st;
  if (stat(script, &st) != 0) {
    OFW_DEBUG(logger, "Can't find script '%s'", script);
    return;
  }
  ofw::ScriptResult r = ofw::runScript(script, {"-o", ofw::paths::TENANT_KEY_OUTPUT});
  OFW_DEBUG(logger, "script (%s -o %s) is run. (%d)", script, ofw::paths::TENANT_KEY_OUTPUT, r.exitCode);
}

}  // namespace

namespace {

// What daemonMain's steps return to go on; any other value is the exit status.
constexpr int kGoOn = -1;

struct CommandLine {
  bool dumpCore = false;
  bool debug = false;
  std::string optionText;  // the options as logged, e.g. " -c -d"
};

int checkThreadSupport(const ofw::LoggerPtr& logger, ofw::Properties& props, const char* program) {
  bool useAllCpus = props.getBool("vgd.use.all.cpus", false);
  if (!ofw::Thread::DetermineThreadSupport()) {
    OFW_FATAL(logger, "Orvane Vigilog %s requires thread support", program);
    return 4;
  }
  if (!useAllCpus) ofw::Thread::SetMonoProcessor(true);
  return kGoOn;
}

int createDataDirectory(const ofw::LoggerPtr& logger, const std::string& dataDir) {
  struct stat st;
  if (stat(dataDir.c_str(), &st) != 0 && errno == ENOENT) {
    if (mkdir(dataDir.c_str(), 0755) != 0) {
      int err = errno;
      OFW_FATAL(logger, "Unable to create data directory %s, Error: %s (%d)", dataDir.c_str(),
                ofw::errnoText(err).c_str(), err);
      return 4;
    }
    chmod(dataDir.c_str(), 0755);
  }
  return kGoOn;
}

int parseOptions(int argc, char** argv, ofw::Properties& props, CommandLine* cl) {
  cl->dumpCore = props.getBool("vgd.dumpcore", false);
  static const struct option longOptions[] = {{"nocore", no_argument, nullptr, 'c'},
                                              {"debug", no_argument, nullptr, 'd'},
                                              {"version", no_argument, nullptr, 'v'},
                                              {nullptr, 0, nullptr, 0}};
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "cdv", longOptions, nullptr)) != -1) {
    switch (c) {
      case 'c':
        cl->dumpCore = false;
        gState.noCore = true;
        cl->optionText += " -c";
        break;
      case 'd':
        cl->debug = true;
        cl->optionText += " -d";
        break;
      case 'v':
        std::printf("%s\n", ofw::paths::VERSION_TEXT);
        return 0;
      default:
        printUsage(argv[0]);
        return 1;
    }
  }
  return kGoOn;
}

void chooseCodePage(const ofw::LoggerPtr& logger, ofw::Properties& props, const std::string& dataDir) {
  bool supported = false;
  std::string lang = props.getProperty("lang_setting", "utf8");
  gState.srcEncoding = resolveCodePage(lang, &supported);
  if (!supported) {
    std::string lower;
    for (char ch : lang) lower += static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    OFW_WARN(logger, "vgd starting with unsupported codepage %s. Use default(%s) instead.", lower.c_str(), "utf8");
  }
  ovg::gSrcEncoding = gState.srcEncoding;
  ovg::gDataDir = dataDir;
}

void logStart(const ofw::LoggerPtr& logger, const std::string& optionText) {
  ofw::Logger::SetThreadName("main");
  OFW_INFO(logger, "vgd (%s) starting with%s arguments%s (codepage %s)", ofw::paths::VERSION_TEXT,
           optionText.empty() ? " no" : "", optionText.c_str(), gState.srcEncoding.c_str());
  struct utsname un;
  if (uname(&un) == 0)
    OFW_INFO(logger, "uname: %s %s %s %s %s", un.sysname, un.nodename, un.release, un.version, un.machine);
  else
    OFW_INFO(logger, "uname: failed");
}

int requireRoot(const char* program) {
  if (geteuid() == 0) return kGoOn;
  std::string text = std::string(program) + " must be run as root";
  audittrail::SendAuditTrailEvent2(audittrail::AGENT_SOURCE, 1, nullptr, "%s", text.c_str());
  std::fprintf(stderr, "%s\n", text.c_str());
  return 1;
}

void warnUnlessJoined(const ofw::LoggerPtr& logger) {
  if (!ofw::IsDUZInstalled()) return;
  std::string domain, host;
  bool ok = ofw::getDirectorySetting("domain", domain) && ofw::getDirectorySetting("host", host);
  for (auto& ch : domain) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
  if (!ok || host.empty()) {
    OFW_ERROR(logger, "Can't find domain information.  Have you run kirabind?");
    std::fprintf(stderr, "Warning: machine is not joined to any domain, all audited data will be stored in local database.\n");
  }
}

void enterDataDirectory(const ofw::LoggerPtr& logger, const std::string& dataDir) {
  if (chdir(dataDir.c_str()) != 0) {
    int err = errno;
    OFW_ERROR(logger, "Can't chdir to data directory: %s", ofw::errnoText(err).c_str());
    std::fprintf(stderr, "Error: cannot change to data directory: %s\n", dataDir.c_str());
  }
}

// Forks into the background: the parent exits, the child leads a new session
// with the standard handles on /dev/null and no terminal left open.
int detachFromTerminal(const ofw::LoggerPtr& logger) {
  pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid > 0) _exit(0);
  setsid();
  close(0);
  close(1);
  close(2);
  int fd = open("/dev/null", O_RDWR);
  if (fd < 0 || dup(fd) < 0 || dup(fd) < 0) OFW_DEBUG(logger, "Unable to dup std handles to /dev/null: %d", errno);
  struct rlimit rl;
  long maxFd = getrlimit(RLIMIT_NOFILE, &rl) == 0 ? static_cast<long>(rl.rlim_cur) : 1024;
  for (long f = maxFd - 1; f >= 3; --f)
    if (isatty(static_cast<int>(f))) close(static_cast<int>(f));
  return kGoOn;
}

// Never two daemons on one spool.
int takeLock(const ofw::LoggerPtr& logger, ofw::Properties& props, LockFile& lock) {
  long holder = -1;
  LockFile::Result lr = lock.take(props.getInt("vgd.start.retries", 10), 2, &holder);
  if (lr == LockFile::HELD_BY_OTHER) {
    std::fprintf(stderr, "vgd is already running, PID %ld. Exiting...\n", holder);
    OFW_WARN(logger, "vgd is already running, PID %ld. Exiting...", holder);
    return 5;
  }
  if (lr == LockFile::FAILED) {
    std::fprintf(stderr, "vgd cannot run without its lock file. Exiting...\n");
    return 1;
  }
  return kGoOn;
}

// Installed early (and again once the server runs): a SIGTERM during the
// rest of start-up must still stop the daemon in order, with its pid file
// removed.
void installEarlySignalHandlers() {
  installHandler(SIGCHLD, SIG_DFL, SA_NOCLDSTOP);
  installHandler(SIGUSR2, recordUsr2, 0);
  installHandler(SIGTERM, terminate, 0);
  installHandler(SIGHUP, terminate, 0);
}

int exitRemovingPid(int status) {
  removePidFile(ofw::paths::PID_FILE);
  return status;
}

// The spools, the Auditor and the listening server; a termination signal
// that came during start-up is handed to the server loop.
int startAuditingAndServer(const ofw::LoggerPtr& logger, ofw::Properties& props, const std::string& dataDir,
                           const std::string& socketPath) {
  const std::string spoolPath = dataDir + "/" + props.getProperty("vgd.spool", "spool-dbqc");
  const std::string atSpoolPath = dataDir + "/" + props.getProperty("vgd.at.spool", "spool-atdbqc");
  const std::string sessionsPath = dataDir + "/" + props.getProperty("vgd.sessions.spool", "spool-sessions");
  upgradeDB(dataDir, spoolPath);
  runTenantKeyScript(logger);

  if (!initAuditor(sessionsPath, spoolPath, atSpoolPath)) {
    OFW_ERROR(logger, "Unable to initialize auditing. Exiting.");
    destroyAuditor();
    return exitRemovingPid(8);
  }
  std::string listenError;
  if (!createServer(socketPath, &listenError)) {
    OFW_ERROR(logger, "Failed to create listen socket: %s", listenError.c_str());
    shutdownAuditor();
    destroyAuditor();
    return exitRemovingPid(9);
  }
  if (int sig = gPendingTermination.load()) {
    ofw::ServerFlags* flags = gState.flags.load();
    if (flags) {
      flags->stop.store(true);
      flags->restart.store(sig == SIGHUP);
    }
  }
  if (access(socketPath.c_str(), R_OK | W_OK) == 0)
    OFW_DEBUG(logger, "vgd's service pipe %s: %s", socketPath.c_str(), "ready");
  else
    OFW_DEBUG(logger, "vgd's service pipe %s: %s", socketPath.c_str(), ofw::errnoText(errno).c_str());
  return kGoOn;
}

void runServerUntilStopped(const ofw::LoggerPtr& logger) {
  gState.sendAuditTrailVgdStartSuccess.store(true);
  try {
    runServerLoop();
  } catch (const std::exception& e) {
    OFW_ERROR(logger, "IPC loop: %s", e.what());
  } catch (...) {
    OFW_ERROR(logger, "IPC loop: Unknown exception");
  }
}

// Stops everything in the reverse order of start-up; the watchdog is killed
// unless a restart was asked for (it then starts the next daemon).
void stopInOrder(const ofw::LoggerPtr& logger, pid_t watchdog) {
  OFW_INFO(logger, "Vigilog daemon is about to stop.");
  OFW_INFO(logger,
           "Warning: Stopping the auditing service prevents all session activity from being captured. You must "
           "restart the auditing service to resume auditing.");
  shutdownConnection();
  gState.stopping.store(true);
  stopScheduler();
  shutdownAuditor();
  auditLevelCleanup();
  ofw::ServerFlags* flags = gState.flags.load();
  bool restart = flags && flags->restart.load();
  if (watchdog > 0 && !restart) {
    OFW_DEBUG(logger, "Killing watchdog, pid = %d", static_cast<int>(watchdog));
    if (kill(watchdog, SIGKILL) != 0)
      OFW_DEBUG(logger, "Killing watchdog failed with %s", ofw::errnoText(errno).c_str());
  }
  removePidFile(ofw::paths::PID_FILE);
  ofw::Logger::stopThread();
  audittrail::SendAuditTrailEvent2(audittrail::AGENT_SOURCE, 100, nullptr, nullptr);
  ofw::Logger::close();
  ofw::spawnfv_reap();
  destroyServer();
  destroyAuditor();
}

}  // namespace

int daemonMain(int argc, char** argv) {
  const char* program = argv[0];
  ofw::LoggerPtr logger = ofw::getLogger("ovg.vgd");
  ofw::Properties& props = ofw::Props(true);
  ofw::Logger::ReconfigureLevels(props);
  resetActionCounters();
  int rc;
  if ((rc = checkThreadSupport(logger, props, program)) != kGoOn) return rc;
  ofw::IncreaseOpenFilesLimit(logger, props.getInt("vgd.process.fdlimit", 2048));

  const std::string dataDir = ofw::paths::DATA_DIR;
  const std::string socketPath = dataDir + "/" + props.getProperty("vgd.socket", "audit");
  if ((rc = createDataDirectory(logger, dataDir)) != kGoOn) return rc;
  auditLevelInitialize();

  CommandLine cl;
  if ((rc = parseOptions(argc, argv, props, &cl)) != kGoOn) return rc;
  chooseCodePage(logger, props, dataDir);
  logStart(logger, cl.optionText);
  if (optind < argc) {
    printUsage(program);
    return 1;
  }
  unlink((dataDir + "/" + ofw::paths::NOAUTOSTART_NAME).c_str());
  setCoreLimit(cl.dumpCore);
  if ((rc = requireRoot(program)) != kGoOn) return rc;
  warnUnlessJoined(logger);
  enterDataDirectory(logger, dataDir);
  umask(0177);
  if (!cl.debug && (rc = detachFromTerminal(logger)) != kGoOn) return rc;

  LockFile lock(ofw::paths::LOCK_FILE);
  if ((rc = takeLock(logger, props, lock)) != kGoOn) return rc;
  if (ofw::IsDUZInstalled() && (rc = checkDirectoryClientLibrary(logger)) != 0) return rc;
  OFW_DEBUG(logger, "Orvane Vigilog started successfully. PID: %d", static_cast<int>(getpid()));
  OFW_INFO(logger, "Starting %s. Pipe=%s", program, socketPath.c_str());
  installEarlySignalHandlers();
  if ((rc = probeSocket(logger, socketPath)) >= 0) return rc;

  if (!writePidFile(ofw::paths::PID_FILE, static_cast<long>(getpid())))
    OFW_WARN(logger, "Unable to write pid file %s", ofw::paths::PID_FILE);
  umask(0177);
  if ((rc = startAuditingAndServer(logger, props, dataDir, socketPath)) != kGoOn) return rc;
  ofw::ProcessNscdRequest(1);
  // SIGHUP too, so that a log-rotation HUP stops the daemon in order.
  if (!installHandler(SIGTERM, terminate, 0))
    OFW_ERROR(logger, "Unable to set SIGTERM signal handler: %s", ofw::errnoText(errno).c_str());
  installHandler(SIGHUP, terminate, 0);

  pid_t watchdog = -1;
  if (props.getBool("vgd.watch.enabled", true)) watchdog = startWatchdog(logger, ofw::paths::WATCHDOG, argc, argv);
  ofw::Logger::startThread();
  startScheduler();
  removeContinueMarker(logger);
  runServerUntilStopped(logger);
  stopInOrder(logger, watchdog);
  return 0;
}

}  // namespace vgd
