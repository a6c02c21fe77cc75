// The scheduler: one thread, "com.orvane.daemon.scheduler", that times every
// periodic duty of the daemon and runs the resource checks.
//
// Once a second the thread reads the clock and examines the tasks in a fixed
// order; each task runs when isTimeToWork says its interval (read from the
// configuration on every pass) has elapsed:
//   housekeeping (every 5 s): reap finished children, configuration syntax check
//   despooler nudge         `vgd.timer.nudge` (5)
//   active session list     first `vgd.timer.send.initial.list` (30) + up to
//                           25 % after the first pass, then every
//                           `vgd.timer.activelist` (1800) ± 25 %, drawn anew
//   disk space              `vgd.timer.diskspace` (360)
//   resources               `vgd.resource.timer` (600): memory, descriptors, CPU
//   reconnect               `vgd.timer.reconnect` (10): asks the despooler to
//                           reconnect when disconnected
//   paused spools           `vgd.timer.resume.paused.spools` (3600)
//   forced rebind           `vgd.timer.force.rebind` (14400): the next
//                           evaluation of the collector may move for balance
//   collector check         `vgd.timer.check.collector` (300), and whenever
//                           the forced rebind runs: the despooler evaluates
//                           the choice of collector
//   spool flush             `vgd.timer.spool.flush` (1800)
//   agent status            `vgd.timer.update.agent.status` (300), 75-100 %
//                           of it drawn anew after each update; the first
//                           pass sends one
//   name-service config     `vgd.timer.monitor.nss.conf` (3600), only while
//                           `autofix.nss.conf` (true): repairs a lost hook
//   expired secret cache    `vgd.timer.clear.expired.ovs.secret.cache` (300)
//   start event             once: when the start-event flag is set, it is
//                           cleared and the daemon's start event sent
//   dead audit sessions     `purge.audit.session.interval` (60): the entries,
//                           registered at least `purge.audit.session.age`
//                           (300) s ago, of sessions no client holds any more
//                           are dropped
// A task whose target is missing (an empty function) is left out.
//
// An exception escaping a pass is logged and the next pass goes on. A stop
// request wakes the thread at once; a pass in progress finishes first.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <ctime>
#include <functional>
#include <mutex>
#include <random>
#include <string>

#include "auditor/auditor.h"
#include "auditor/disk_state.h"
#include "auditor/registry.h"
#include "daemon/resource_monitor.h"
#include "ofw/logging/logger.h"
#include "ofw/paths.h"
#include "ofw/config/properties.h"
#include "server/server_flags.h"

namespace vgd {

// True when a task last run at *last (0 = never) is due at now: never run,
// an interval below 1, the clock gone backwards (now < *last), or at least
// `interval` seconds since. Sets *last to now whenever it returns true.
bool isTimeToWork(time_t* last, long interval, time_t now);

// Jittered intervals in whole seconds, r uniform in [0, 1):
// the first active-session list, base + r × 0.25 × base after start;
int initialActiveListDelay(int base, double r);
// the next active-session list, base + base × 0.5 × (r − 0.5) (±25 %);
int nextActiveListInterval(int base, double r);
// the next agent-status update, base − r × 0.25 × base (75–100 %).
int agentStatusInterval(int base, double r);

// kill(pid, 0) succeeds or fails only for lack of permission. pid ≤ 0 names
// no single process and is never alive.
bool isProcessAlive(int pid);

// Drops the registrations (made at least minAge seconds before now) of audit
// sessions that are gone: no client connection holds them any more, as
// `connected` says; without it, those whose audit-shell pid (> 0) no longer
// exists. A session of a connected client is never purged, whatever pid it
// named. Returns the number of sessions purged.
int purgeAuditSessions(Vigilog::AuditRegistry& registry, time_t now, int minAge,
                       const Vigilog::Auditor::SessionConnectedCheck& connected);

// What the tasks act on.
struct SchedulerTargets {
  std::function<void()> reapChildren;
  std::function<void()> checkProperties;
  std::function<void()> nudgeDespooler;
  // Ask the despooler thread, which owns the collector connection, for the
  // active session list and the heartbeat; neither waits for the collector.
  std::function<void()> sendActiveList;
  std::function<void()> updateAgentStatus;
  // Asks the despooler thread to reconnect (a connect may take the connect
  // time-out per collector; the scheduler never waits for it).
  std::function<void()> reconnect;
  std::function<void()> resumePausedSpools;
  // Raise the Auditor's flags; the despooler thread acts on them.
  std::function<void()> forceRebind;
  std::function<void()> verifyCollector;
  std::function<void()> flushDb;
  // Recounts the spools' size on disk from the files (with the disk check).
  std::function<void()> recountSpoolSize;
  std::function<void()> monitorNssConf;
  std::function<size_t()> clearExpiredSecrets;
  // Set before the main loop (gState.sendAuditTrailVgdStartSuccess); the
  // scheduler clears it and sends the start event once.
  std::atomic<bool>* startEventPending = nullptr;
  std::function<void()> sendStartEvent;
  // (now, minimum age) -> sessions purged.
  std::function<int(time_t, int)> purgeDeadShells;
  // The disk-full state the disk check keeps; null leaves the disk task out.
  Vigilog::DiskState* diskState = nullptr;
  // The spool is data directory + "/" + `vgd.spool` (read at each check).
  std::string dataDir = ofw::paths::DATA_DIR;
};

// A stop request that wakes a waiting scheduler at once.
class StopSignal {
 public:
  void request();
  // Clears a request (before a thread is started again).
  void reset();
  bool requested();
  // Waits at most the given time (on a steady clock), or not at all for 0/0.
  // Returns requested().
  bool waitFor(long seconds, long nanoseconds);
  // Threads blocked in waitFor right now (tests).
  int waiters();

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  bool requested_ = false;
  int waiters_ = 0;
};

class Scheduler {
 public:
  // props and flags must outlive the scheduler.
  Scheduler(ofw::Properties& props, ofw::ServerFlags& flags, SchedulerTargets targets,
            ResourceProbes probes = defaultResourceProbes());
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // Examines every task once at time now. Exceptions propagate.
  void runPass(time_t now);

  // The thread body: names the thread "timeWorker", then until stop is
  // requested or stopping() is true: waits one tick, reads the clock, runs a
  // pass and logs what escapes it.
  void run(StopSignal& stop, const std::function<bool()>& stopping);

  // The clock (default time(); (time_t)-1 means it failed) and the tick
  // between passes (default 1 s).
  void setClock(std::function<time_t()> clock) { clock_ = std::move(clock); }
  void setTick(long seconds, long nanoseconds) {
    tickSeconds_ = seconds;
    tickNanoseconds_ = nanoseconds;
  }

  // A uniform number in [0, 1) for the jittered intervals; the generator is
  // seeded with the time and the pid when run() starts.
  double random();

  ResourceMonitor& monitor() { return monitor_; }

 private:
  struct LastRun {
    time_t housekeeping = 0;
    time_t nudge = 0;
    time_t activeList = 0;
    long activeListInterval = 0;
    bool activeListDrawn = false;  // the first pass draws the initial delay
    time_t agentStatus = 0;
    long agentStatusInterval = 0;
    time_t diskSpace = 0;
    time_t resources = 0;
    time_t reconnect = 0;
    time_t pausedSpools = 0;
    time_t forceRebind = 0;
    time_t checkCollector = 0;
    time_t spoolFlush = 0;
    time_t nssConf = 0;
    time_t secretCache = 0;
    time_t purgeSessions = 0;
  };

  ofw::Properties& props_;
  SchedulerTargets targets_;
  ResourceMonitor monitor_;
  LastRun last_;
  std::function<time_t()> clock_;
  long tickSeconds_ = 1;
  long tickNanoseconds_ = 0;
  std::mt19937 random_;
  ofw::LoggerPtr logger_;
};

// The daemon's scheduler thread body; the argument is the ofw::IPCServer.
// Works on the process-wide Auditor (tasks on it are left out while there is
// none) and ends when gState.stopping is set or stopScheduler() is called.
void* timeWorker(void* ipcServer);

// startScheduler() and stopScheduler() (daemon/subsystems.h) start the thread on
// ofw::gServer and, after gState.stopping was set, wake and join it.

}  // namespace vgd
