#include "daemon/scheduler.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <exception>
#include <memory>

#include "auditor/auditor.h"
#include "audittrail/audit_trail_event.h"
#include "daemon/daemon_state.h"
#include "daemon/subsystems.h"
#include "ofw/script_runner.h"
#include "ofw/threads/thread.h"
#include "server/ipc_server.h"

namespace vgd {

bool isTimeToWork(time_t* last, long interval, time_t now) {
  if (*last == 0 || interval < 1 || now < *last || now - *last >= interval) {
    *last = now;
    return true;
  }
  return false;
}

int initialActiveListDelay(int base, double r) { return static_cast<int>(base + r * 0.25 * base); }

int nextActiveListInterval(int base, double r) { return static_cast<int>(base + base * 0.5 * (r - 0.5)); }

int agentStatusInterval(int base, double r) { return static_cast<int>(base - r * 0.25 * base); }

bool isProcessAlive(int pid) {
  if (pid <= 0) return false;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

int purgeAuditSessions(Vigilog::AuditRegistry& registry, time_t now, int minAge,
                       const Vigilog::Auditor::SessionConnectedCheck& connected) {
  return registry.purgeGoneSessions(now, minAge, [&connected](const std::string& sessionId, int pid) {
    if (connected) return !connected(ofw::Guid::fromSwappedString(sessionId));
    // No server to ask: only a shell known to have existed can be known gone.
    return pid > 0 && !isProcessAlive(pid);
  });
}

void StopSignal::request() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requested_ = true;
  }
  cond_.notify_all();
}

void StopSignal::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  requested_ = false;
}

bool StopSignal::requested() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requested_;
}

bool StopSignal::waitFor(long seconds, long nanoseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (seconds > 0 || nanoseconds > 0) {
    // A steady clock: setting the wall clock back must not stall the scheduler.
    ++waiters_;
    cond_.wait_for(lock, std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanoseconds),
                   [this] { return requested_; });
    --waiters_;
  }
  return requested_;
}

int StopSignal::waiters() {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiters_;
}

Scheduler::Scheduler(ofw::Properties& props, ofw::ServerFlags& flags, SchedulerTargets targets,
                     ResourceProbes probes)
    : props_(props),
      targets_(std::move(targets)),
      monitor_(props, flags, std::move(probes)),
      clock_([] { return time(nullptr); }),
      logger_(ofw::getLogger("ovg.vgd.scheduler")) {}

double Scheduler::random() { return static_cast<double>(random_()) / 4294967296.0; }

void Scheduler::runPass(time_t now) {
  if (isTimeToWork(&last_.housekeeping, 5, now)) {
    if (targets_.reapChildren) {
      OFW_TRACE(logger_, "Reaping finished child process.");
      targets_.reapChildren();
    }
    if (targets_.checkProperties) {
      OFW_TRACE(logger_, "Run properties syntax check.");
      targets_.checkProperties();
    }
  }
  if (targets_.nudgeDespooler && isTimeToWork(&last_.nudge, props_.getInt("vgd.timer.nudge", 5), now)) {
    OFW_DEBUG(logger_, "Nudging despooler");
    targets_.nudgeDespooler();
  }
  if (targets_.sendActiveList) {
    if (!last_.activeListDrawn) {
      last_.activeListDrawn = true;
      last_.activeList = now;
      last_.activeListInterval = initialActiveListDelay(props_.getInt("vgd.timer.send.initial.list", 30), random());
    } else if (isTimeToWork(&last_.activeList, last_.activeListInterval, now)) {
      OFW_DEBUG(logger_, "Sending active session list");
      targets_.sendActiveList();
      last_.activeListInterval = nextActiveListInterval(props_.getInt("vgd.timer.activelist", 1800), random());
      OFW_DEBUG(logger_, "Next active session list will be updated %d seconds later",
                static_cast<int>(last_.activeListInterval));
    }
  }
  if (targets_.diskState && isTimeToWork(&last_.diskSpace, props_.getInt("vgd.timer.diskspace", 360), now)) {
    OFW_DEBUG(logger_, "Checking disk space");
    monitor_.checkDiskSpace(*targets_.diskState,
                            targets_.dataDir + "/" + props_.getProperty("vgd.spool", "spool-dbqc"));
    if (targets_.recountSpoolSize) targets_.recountSpoolSize();
  }
  if (isTimeToWork(&last_.resources, props_.getInt("vgd.resource.timer", 600), now)) {
    OFW_DEBUG(logger_, "Checking memory usage");
    monitor_.checkMemory();
    OFW_DEBUG(logger_, "Checking file descriptor usage");
    monitor_.checkFileDescriptors();
    OFW_DEBUG(logger_, "Checking CPU usage");
    monitor_.checkCpuUsage(now);
  }
  if (targets_.reconnect && isTimeToWork(&last_.reconnect, props_.getInt("vgd.timer.reconnect", 10), now)) {
    OFW_DEBUG(logger_, "Reconnecting if needed");
    targets_.reconnect();
  }
  if (targets_.resumePausedSpools &&
      isTimeToWork(&last_.pausedSpools, props_.getInt("vgd.timer.resume.paused.spools", 3600), now)) {
    OFW_DEBUG(logger_, "Resuming any paused spools");
    targets_.resumePausedSpools();
  }
  if (targets_.forceRebind &&
      isTimeToWork(&last_.forceRebind, props_.getInt("vgd.timer.force.rebind", 14400), now)) {
    OFW_DEBUG(logger_, "Forced rebind flag set");
    targets_.forceRebind();
    last_.checkCollector = 0;  // the collector check runs with it
  }
  if (targets_.verifyCollector &&
      isTimeToWork(&last_.checkCollector, props_.getInt("vgd.timer.check.collector", 300), now)) {
    OFW_DEBUG(logger_, "Setting verify collector flag");
    targets_.verifyCollector();
  }
  if (targets_.flushDb && isTimeToWork(&last_.spoolFlush, props_.getInt("vgd.timer.spool.flush", 1800), now)) {
    OFW_DEBUG(logger_, "Flushing database");
    targets_.flushDb();
  }
  if (targets_.updateAgentStatus && isTimeToWork(&last_.agentStatus, last_.agentStatusInterval, now)) {
    OFW_DEBUG(logger_, "Updating agent status");
    targets_.updateAgentStatus();
    last_.agentStatusInterval = agentStatusInterval(props_.getInt("vgd.timer.update.agent.status", 300), random());
    OFW_DEBUG(logger_, "Next agent status will be updated %d seconds later",
              static_cast<int>(last_.agentStatusInterval));
  }
  if (targets_.monitorNssConf && props_.getBool("autofix.nss.conf", true) &&
      isTimeToWork(&last_.nssConf, props_.getInt("vgd.timer.monitor.nss.conf", 3600), now)) {
    OFW_DEBUG(logger_, "Monitoring NSS conf file");
    targets_.monitorNssConf();
  }
  if (targets_.clearExpiredSecrets &&
      isTimeToWork(&last_.secretCache, props_.getInt("vgd.timer.clear.expired.ovs.secret.cache", 300), now)) {
    OFW_DEBUG(logger_, "Clearing the expired OVS secret cache");
    targets_.clearExpiredSecrets();
  }
  // Cleared before sending: a failing send is not retried on every pass.
  if (targets_.sendStartEvent && targets_.startEventPending && targets_.startEventPending->exchange(false))
    targets_.sendStartEvent();
  if (targets_.purgeDeadShells &&
      isTimeToWork(&last_.purgeSessions, props_.getInt("purge.audit.session.interval", 60), now)) {
    int minAge = props_.getInt("purge.audit.session.age", 300);
    int purged = targets_.purgeDeadShells(now, minAge < 0 ? 0 : minAge);
    if (purged > 0) OFW_DEBUG(logger_, "Purged %d audit sessions whose audit shell no longer exists", purged);
  }
}

void Scheduler::run(StopSignal& stop, const std::function<bool()>& stopping) {
  ofw::Logger::SetThreadName("timeWorker");
  OFW_DEBUG(logger_, "background thread ID: %lu", static_cast<unsigned long>(pthread_self()));
  random_.seed(static_cast<std::mt19937::result_type>(time(nullptr)) ^
               (static_cast<std::mt19937::result_type>(getpid()) << 16));
  auto mustStop = [&stopping] { return stopping && stopping(); };
  while (!mustStop()) {
    if (stop.waitFor(tickSeconds_, tickNanoseconds_) || mustStop()) break;
    time_t now = clock_();
    if (now == static_cast<time_t>(-1)) {
      OFW_ERROR(logger_, "time() error in scheduler, going back to sleep");
      continue;
    }
    try {
      runPass(now);
    } catch (const std::exception& e) {
      OFW_WARN(logger_, "timeWorker caught exception: %s", e.what());
    } catch (...) {
      // Thread cancellation unwinds as a foreign exception: let it go on.
      if (!std::current_exception()) {
        ofw::PrepareCancellationRethrow();
        throw;
      }
      OFW_DEBUG(logger_, "timeWorker caught non-standard exception");
    }
  }
}

namespace {

StopSignal gSchedulerStop;
std::unique_ptr<ofw::Thread> gSchedulerThread;

SchedulerTargets daemonTargets(ofw::IPCServer* server, Vigilog::Auditor* auditor, ofw::Properties& props) {
  SchedulerTargets t;
  t.reapChildren = [] { ofw::spawnfv_reap(); };
  t.checkProperties = [&props] { props.propertiesCheck(); };
  if (auditor) {
    t.nudgeDespooler = [auditor] { auditor->nudgeDespooler(); };
    t.sendActiveList = [auditor] { auditor->requestActiveList(); };
    t.updateAgentStatus = [auditor] { auditor->requestAgentStatusUpdate(); };
    t.reconnect = [auditor] { auditor->requestReconnect(); };
    t.resumePausedSpools = [auditor] { auditor->resumePausedSpools(); };
    t.forceRebind = [auditor] { auditor->setForcedRebind(); };
    t.verifyCollector = [auditor] { auditor->setVerifyCollector(); };
    t.flushDb = [auditor] { auditor->flushDb(); };
    t.recountSpoolSize = [auditor] { auditor->recountDbSizeOnDisk(); };
    t.monitorNssConf = [auditor] { auditor->monitorNssConf(); };
    t.diskState = &auditor->diskState();
    t.purgeDeadShells = [auditor](time_t now, int minAge) {
      return purgeAuditSessions(auditor->registry(), now, minAge, auditor->sessionConnectedCheck());
    };
  }
  t.clearExpiredSecrets = [server] { return server->userLookup().secretCache().clearExpired(); };
  t.startEventPending = &gState.sendAuditTrailVgdStartSuccess;
  t.sendStartEvent = [] { audittrail::SendAuditTrailEvent2(audittrail::AGENT_SOURCE, 0, nullptr, nullptr); };
  return t;
}

}  // namespace

void* timeWorker(void* ipcServer) {
  ofw::IPCServer* server = static_cast<ofw::IPCServer*>(ipcServer);
  if (!server) return nullptr;
  ofw::Properties& props = ofw::Props();
  Scheduler scheduler(props, server->flags(), daemonTargets(server, Vigilog::gAuditor, props));
  scheduler.run(gSchedulerStop, [] { return gState.stopping.load(); });
  return nullptr;
}

void startScheduler() {
  ofw::LoggerPtr logger = ofw::getLogger("ovg.vgd");
  if (!ofw::gServer || gSchedulerThread) return;
  gSchedulerStop.reset();
  gSchedulerThread.reset(new ofw::Thread());
  try {
    gSchedulerThread->start("com.orvane.daemon.scheduler", timeWorker, ofw::gServer);
  } catch (const std::exception& e) {
    OFW_ERROR(logger, "Unable to start the scheduler thread: %s", e.what());
    gSchedulerThread.reset();
  }
}

void stopScheduler() {
  gSchedulerStop.request();
  if (gSchedulerThread) {
    gSchedulerThread->join();
    gSchedulerThread.reset();
  }
}

}  // namespace vgd
