// The scheduler: when a task is due, the order and log lines of a pass,
// intervals read from the configuration, what a pass that throws leaves
// behind, the dead-session purge, and the thread's start and stop.
#include "daemon/scheduler.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "auditor/registry.h"
#include "daemon/daemon_state.h"
#include "daemon/subsystems.h"
#include "ofw/config/properties.h"
#include "scheduler_test_util.h"
#include "server/ipc_server.h"

namespace vgd {
namespace {

using schedtest::FakeProbes;
using schedtest::LogCapture;

// One call: the recorded last run before it, interval, now; whether it is due
// and the recorded time after it.
struct WorkCall {
  time_t last;
  long interval;
  time_t now;
  bool due;
  time_t lastAfter;
};
class IsTimeToWork : public ::testing::TestWithParam<WorkCall> {};

TEST_P(IsTimeToWork, DueAndRecordedTime) {
  const WorkCall& c = GetParam();
  time_t last = c.last;
  EXPECT_EQ(isTimeToWork(&last, c.interval, c.now), c.due);
  EXPECT_EQ(last, c.lastAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, IsTimeToWork,
    ::testing::Values(WorkCall{0, 3600, 1000, true, 1000},      // the first run is always due
                      WorkCall{1000, 3600, 1001, false, 1000},  //
                      WorkCall{1000, 0, 1000, true, 1000},      // an interval below one: every call
                      WorkCall{1000, -1, 1001, true, 1001},     //
                      WorkCall{1000, -3600, 1000, true, 1000},  //
                      WorkCall{1000, 5, 1004, false, 1000},     // due exactly when it has elapsed
                      WorkCall{1000, 5, 1005, true, 1005},      //
                      WorkCall{1000, 5, 1100, true, 1100},      //
                      WorkCall{1000, 3600, 999, true, 999},     // the clock went backwards
                      WorkCall{999, 3600, 1000, false, 999}));  // and counts from the new time

TEST(JitteredIntervals, StayWithinTheirRanges) {
  const double almostOne = 0.999999;
  // The ends of each range: +0..25 %, -25..+25 %, -0..25 %.
  EXPECT_EQ(initialActiveListDelay(30, 0.0), 30);
  EXPECT_EQ(initialActiveListDelay(30, almostOne), 37);
  EXPECT_EQ(nextActiveListInterval(1800, 0.0), 1350);
  EXPECT_EQ(nextActiveListInterval(1800, almostOne), 2249);
  EXPECT_EQ(agentStatusInterval(300, 0.0), 300);
  EXPECT_EQ(agentStatusInterval(300, almostOne), 225);
}

TEST(JitteredIntervals, RandomNumbersAreInTheUnitIntervalAndVary) {
  ofw::Properties props;
  ofw::ServerFlags flags;
  FakeProbes fake;
  Scheduler s(props, flags, SchedulerTargets(), fake.probes());
  std::set<double> seen;
  for (int i = 0; i < 1000; ++i) {
    double r = s.random();
    ASSERT_GE(r, 0.0);
    ASSERT_LT(r, 1.0);
    seen.insert(r);
  }
  EXPECT_GT(seen.size(), 900u);
}

// Targets that record their calls in order.
struct Recorder {
  std::vector<std::string> calls;
  Vigilog::DiskState disk;
  int purgeResult = 0;
  std::atomic<bool> startPending{true};
  std::vector<std::pair<time_t, int>> purgeArgs;

  SchedulerTargets targets() {
    SchedulerTargets t;
    t.reapChildren = [this] { calls.push_back("reap"); };
    t.checkProperties = [this] { calls.push_back("properties"); };
    t.nudgeDespooler = [this] { calls.push_back("nudge"); };
    t.sendActiveList = [this] { calls.push_back("activelist"); };
    t.updateAgentStatus = [this] { calls.push_back("status"); };
    t.reconnect = [this] { calls.push_back("reconnect"); };
    t.resumePausedSpools = [this] { calls.push_back("resume"); };
    t.forceRebind = [this] { calls.push_back("force"); };
    t.verifyCollector = [this] { calls.push_back("verify"); };
    t.flushDb = [this] { calls.push_back("flush"); };
    t.monitorNssConf = [this] { calls.push_back("nss"); };
    t.clearExpiredSecrets = [this] { calls.push_back("secrets"); return size_t(0); };
    t.purgeDeadShells = [this](time_t now, int age) {
      calls.push_back("purge");
      purgeArgs.emplace_back(now, age);
      return purgeResult;
    };
    t.startEventPending = &startPending;
    t.sendStartEvent = [this] { calls.push_back("start"); };
    t.diskState = &disk;
    t.dataDir = "/data";
    return t;
  }
  int countOf(const std::string& name) const {
    return static_cast<int>(std::count(calls.begin(), calls.end(), name));
  }
};

// The seconds of the last "<prefix>%d seconds later" line.
int drawnSeconds(const std::vector<std::string>& records, const std::string& prefix) {
  int seconds = -1;
  for (const std::string& r : records) {
    size_t p = r.find(prefix);
    if (p != std::string::npos) seconds = std::atoi(r.c_str() + p + prefix.size());
  }
  return seconds;
}

class SchedulerPass : public ::testing::Test {
 protected:
  LogCapture log_;
  ofw::Properties props_;
  ofw::ServerFlags flags_;
  FakeProbes fake_;
  Recorder rec_;
};

TEST_F(SchedulerPass, RunsTheTasksInTableOrderWithTheirLogLines) {
  Scheduler s(props_, flags_, rec_.targets(), fake_.probes());
  s.runPass(1000);
  // The first active session list waits for its initial delay.
  EXPECT_EQ(rec_.calls, (std::vector<std::string>{"reap", "properties", "nudge", "reconnect", "resume", "force",
                                                  "verify", "flush", "status", "nss", "secrets", "start", "purge"}));

  const std::vector<std::string> taskLines = {
      "TRACE Reaping finished child process.", "TRACE Run properties syntax check.", "DEBUG Nudging despooler",
      "DEBUG Checking disk space", "DEBUG Checking memory usage", "DEBUG Checking file descriptor usage",
      "DEBUG Checking CPU usage", "DEBUG Reconnecting if needed", "DEBUG Resuming any paused spools",
      "DEBUG Forced rebind flag set", "DEBUG Setting verify collector flag", "DEBUG Flushing database",
      "DEBUG Updating agent status", "DEBUG Monitoring NSS conf file", "DEBUG Clearing the expired OVS secret cache"};
  std::vector<std::string> seen;
  for (const std::string& r : log_.records())
    if (std::count(taskLines.begin(), taskLines.end(), r)) seen.push_back(r);
  EXPECT_EQ(seen, taskLines);
  // The next heartbeat is drawn from 75-100 % of vgd.timer.update.agent.status.
  const int nextStatus = drawnSeconds(log_.records(), "Next agent status will be updated ");
  EXPECT_GE(nextStatus, 225);
  EXPECT_LE(nextStatus, 300);

  // The disk check ran on data directory + "/" + vgd.spool, the monitor's checks on the probes.
  EXPECT_EQ(fake_.diskPaths, std::vector<std::string>{"/data/spool-dbqc"});
  EXPECT_EQ(log_.count("DEBUG OrvaneVG daemon memory usage (1000 bytes), limit (104857600 bytes)."), 1);
  EXPECT_EQ(log_.count("DEBUG OrvaneVG daemon file descriptor usage (10), limit (1024)."), 1);
  // The purge gets the pass's time and the default age.
  ASSERT_EQ(rec_.purgeArgs.size(), 1u);
  EXPECT_EQ(rec_.purgeArgs[0], std::make_pair(time_t(1000), 300));

  // The start event goes once: its flag was cleared.
  EXPECT_FALSE(rec_.startPending.load());
  s.runPass(5000);
  EXPECT_EQ(rec_.countOf("start"), 1);
  EXPECT_EQ(rec_.countOf("purge"), 2);
  // The active session list runs second, after the nudge, with its line and next interval (±25 % of 1800).
  ASSERT_EQ(rec_.countOf("activelist"), 1);
  EXPECT_EQ(rec_.calls[rec_.calls.size() - 10], "nudge");
  EXPECT_EQ(rec_.calls[rec_.calls.size() - 9], "activelist");
  EXPECT_EQ(log_.count("DEBUG Sending active session list"), 1);
  const int nextList = drawnSeconds(log_.records(), "Next active session list will be updated ");
  EXPECT_GE(nextList, 1350);
  EXPECT_LE(nextList, 2250);
}

TEST_F(SchedulerPass, ActiveListWaitsItsJitteredInitialDelayAndStatusItsDrawnInterval) {
  props_.setProperty("vgd.timer.send.initial.list", "40");
  props_.setProperty("vgd.timer.update.agent.status", "8");
  Scheduler s(props_, flags_, rec_.targets(), fake_.probes());
  s.runPass(1000);
  EXPECT_EQ(rec_.countOf("status"), 1);
  // Never before 40 s, always by 50 s (40 + 25 %).
  for (time_t t = 1001; t < 1040; ++t) s.runPass(t);
  EXPECT_EQ(rec_.countOf("activelist"), 0);
  // The heartbeat every 6-8 s: 4 to 6 more in those 39 s.
  EXPECT_GE(rec_.countOf("status"), 5);
  EXPECT_LE(rec_.countOf("status"), 7);
  for (time_t t = 1040; t <= 1050; ++t) s.runPass(t);
  EXPECT_EQ(rec_.countOf("activelist"), 1);
}

TEST_F(SchedulerPass, IntervalsAreReadOnEveryPass) {
  props_.setProperty("vgd.timer.nudge", "5");
  Scheduler s(props_, flags_, rec_.targets(), fake_.probes());
  s.runPass(1000);
  s.runPass(1004);
  EXPECT_EQ(rec_.countOf("nudge"), 1);
  EXPECT_EQ(rec_.countOf("reap"), 1);  // housekeeping: fixed 5 s
  s.runPass(1005);
  EXPECT_EQ(rec_.countOf("nudge"), 2);
  EXPECT_EQ(rec_.countOf("reap"), 2);
  EXPECT_EQ(rec_.countOf("flush"), 1);  // 1800 s by default
  EXPECT_EQ(rec_.countOf("secrets"), 1);  // 300 s by default
  EXPECT_EQ(rec_.countOf("purge"), 1);  // 60 s by default
  EXPECT_EQ(rec_.countOf("reconnect"), 1);  // 10 s by default
  EXPECT_EQ(rec_.countOf("resume"), 1);  // 3600 s by default

  // A changed setting applies at the next pass; 0 means every pass.
  props_.setProperty("vgd.timer.nudge", "0");
  props_.setProperty("vgd.timer.reconnect", "0");
  s.runPass(1005);
  s.runPass(1006);
  EXPECT_EQ(rec_.countOf("nudge"), 4);
  EXPECT_EQ(rec_.countOf("reconnect"), 3);
  props_.setProperty("vgd.timer.spool.flush", "10");
  s.runPass(1009);
  EXPECT_EQ(rec_.countOf("flush"), 1);
  s.runPass(1010);
  EXPECT_EQ(rec_.countOf("flush"), 2);
  props_.setProperty("purge.audit.session.interval", "0");
  s.runPass(1011);
  s.runPass(1011);
  EXPECT_EQ(rec_.countOf("purge"), 3);
}

TEST_F(SchedulerPass, NameServiceMonitorRunsHourlyOnlyWhileAutofixIsOn) {
  props_.setProperty("autofix.nss.conf", "false");
  Scheduler s(props_, flags_, rec_.targets(), fake_.probes());
  s.runPass(1000);
  EXPECT_EQ(rec_.countOf("nss"), 0);
  EXPECT_EQ(log_.count("DEBUG Monitoring NSS conf file"), 0);
  props_.setProperty("autofix.nss.conf", "true");
  s.runPass(1001);
  s.runPass(4600);
  EXPECT_EQ(rec_.countOf("nss"), 1);
  s.runPass(4601);
  EXPECT_EQ(rec_.countOf("nss"), 2);
}

TEST_F(SchedulerPass, ForcedRebindBringsTheCollectorCheckAlong) {
  props_.setProperty("vgd.timer.check.collector", "300");
  props_.setProperty("vgd.timer.force.rebind", "400");
  Scheduler s(props_, flags_, rec_.targets(), fake_.probes());
  s.runPass(1000);
  s.runPass(1299);
  EXPECT_EQ(rec_.countOf("verify"), 1);
  s.runPass(1300);
  EXPECT_EQ(rec_.countOf("verify"), 2);
  s.runPass(1400);  // 100 s after the check, but the forced rebind brings it
  EXPECT_EQ(rec_.countOf("force"), 2);
  EXPECT_EQ(rec_.countOf("verify"), 3);
  s.runPass(1699);
  EXPECT_EQ(rec_.countOf("verify"), 3);
  s.runPass(1700);
  EXPECT_EQ(rec_.countOf("verify"), 4);
}

TEST_F(SchedulerPass, EachCheckKeepsItsOwnInterval) {
  props_.setProperty("vgd.spool", "other-spool");
  props_.setProperty("vgd.timer.diskspace", "100");
  props_.setProperty("vgd.resource.timer", "200");
  Scheduler s(props_, flags_, rec_.targets(), fake_.probes());
  s.runPass(1000);
  s.runPass(1099);
  EXPECT_EQ(log_.count("DEBUG Checking disk space"), 1);
  s.runPass(1100);
  EXPECT_EQ(log_.count("DEBUG Checking disk space"), 2);
  EXPECT_EQ(log_.count("DEBUG Checking memory usage"), 1);
  s.runPass(1200);
  EXPECT_EQ(log_.count("DEBUG Checking memory usage"), 2);
  EXPECT_EQ(log_.count("DEBUG Checking CPU usage"), 2);
  EXPECT_EQ(fake_.diskPaths, std::vector<std::string>(3, "/data/other-spool"));  // the spool named by vgd.spool
}

TEST_F(SchedulerPass, SettingTheClockBackMakesEveryTaskDue) {
  for (const char* key : {"vgd.timer.nudge", "vgd.timer.diskspace", "vgd.resource.timer", "vgd.timer.spool.flush",
                          "vgd.timer.clear.expired.ovs.secret.cache", "purge.audit.session.interval"})
    props_.setProperty(key, "3600");
  Scheduler s(props_, flags_, rec_.targets(), fake_.probes());
  s.runPass(100000);
  s.runPass(100001);
  EXPECT_EQ(rec_.calls.size(), 13u);  // the start event included, once
  rec_.calls.clear();
  size_t mark = log_.mark();
  s.runPass(90000);
  EXPECT_EQ(rec_.calls, (std::vector<std::string>{"reap", "properties", "nudge", "activelist", "reconnect", "resume",
                                                  "force", "verify", "flush", "status", "nss", "secrets", "purge"}));
  EXPECT_EQ(log_.count("DEBUG Checking disk space", mark), 1);
  EXPECT_EQ(log_.count("DEBUG Checking memory usage", mark), 1);
}

TEST_F(SchedulerPass, TasksWithoutTargetsAreLeftOut) {
  SchedulerTargets only;
  int nudges = 0;
  only.nudgeDespooler = [&nudges] { ++nudges; };
  Scheduler s(props_, flags_, only, fake_.probes());
  s.runPass(1000);
  EXPECT_EQ(nudges, 1);
  for (const char* absent : {"Reaping finished child process.", "Run properties syntax check.",
                             "Checking disk space", "Flushing database", "Clearing the expired OVS secret cache"})
    EXPECT_EQ(log_.countContaining(absent), 0) << absent;
  EXPECT_TRUE(fake_.diskPaths.empty());
  // The resource checks need no target.
  EXPECT_EQ(log_.count("DEBUG Checking memory usage"), 1);
}

using SchedulerLoop = SchedulerPass;  // the capture's end resets the thread name the loop sets

TEST_F(SchedulerLoop, AnExceptionEndsOnlyItsPass) {
  props_.setProperty("vgd.timer.nudge", "0");
  props_.setProperty("vgd.timer.spool.flush", "0");
  SchedulerTargets t = rec_.targets();
  int nudges = 0;
  t.nudgeDespooler = [&nudges] {
    ++nudges;
    if (nudges == 1) throw std::runtime_error("boom");
    if (nudges == 2) throw 42;
  };
  Scheduler s(props_, flags_, t, fake_.probes());
  time_t now = 1000;
  s.setClock([&now] { return now++; });
  s.setTick(0, 0);
  StopSignal stop;
  s.run(stop, [&nudges] { return nudges >= 3; });

  EXPECT_EQ(nudges, 3);
  EXPECT_EQ(log_.count("WARN timeWorker caught exception: boom"), 1);
  EXPECT_EQ(log_.count("DEBUG timeWorker caught non-standard exception"), 1);
  // The two passes that threw never reached the flush; the third did.
  EXPECT_EQ(rec_.countOf("flush"), 1);
  EXPECT_EQ(log_.countContaining("DEBUG background thread ID: "), 1);
}

TEST_F(SchedulerLoop, AFailedClockSkipsThePass) {
  SchedulerTargets t = rec_.targets();
  int nudges = 0;
  t.nudgeDespooler = [&nudges] { ++nudges; };
  Scheduler s(props_, flags_, t, fake_.probes());
  int reads = 0;
  s.setClock([&reads]() -> time_t { return ++reads <= 2 ? static_cast<time_t>(-1) : 5000; });
  s.setTick(0, 0);
  StopSignal stop;
  s.run(stop, [&nudges] { return nudges >= 1; });
  EXPECT_EQ(reads, 3);
  EXPECT_EQ(log_.count("ERROR time() error in scheduler, going back to sleep"), 2);
  EXPECT_EQ(rec_.countOf("reap"), 1);
}

TEST_F(SchedulerLoop, StopsBeforeTheFirstPassWhenAlreadyStopping) {
  Scheduler s(props_, flags_, rec_.targets(), fake_.probes());
  s.setTick(0, 0);
  StopSignal stop;
  stop.request();
  s.run(stop, nullptr);
  EXPECT_TRUE(rec_.calls.empty());
  StopSignal other;
  s.run(other, [] { return true; });
  EXPECT_TRUE(rec_.calls.empty());
}

TEST(StopSignal, RequestAndReset) {
  StopSignal stop;
  EXPECT_FALSE(stop.requested());
  EXPECT_FALSE(stop.waitFor(0, 0));
  stop.request();
  EXPECT_TRUE(stop.requested());
  EXPECT_TRUE(stop.waitFor(3600, 0));  // returns at once: already requested
  stop.reset();
  EXPECT_FALSE(stop.requested());
}

// A thread waiting out an hour-long tick ends as soon as it is asked to: the
// join below would otherwise block for an hour.
TEST_F(SchedulerLoop, AStopRequestWakesTheWaitingThread) {
  Scheduler s(props_, flags_, rec_.targets(), fake_.probes());
  s.setTick(3600, 0);
  StopSignal stop;
  std::thread thread([&] { s.run(stop, nullptr); });
  // Once counted as a waiter the thread is inside the wait (the count and the
  // wait share the signal's lock), so the request below must wake it.
  while (stop.waiters() == 0) std::this_thread::yield();
  stop.request();
  thread.join();
  EXPECT_EQ(stop.waiters(), 0);
  EXPECT_TRUE(rec_.calls.empty());
}

// The daemon's own wiring: the thread runs on the server and ends when the
// stop flag is set and stopScheduler() is called.
TEST(DaemonScheduler, StartsOnTheServerAndStopsOnRequest) {
  ofw::Props();  // loaded before the capture: a load may reconfigure the log
  LogCapture log;
  logtest::TempDir dir;
  {
    ofw::IPCServer server(dir.file("audit"));
    ofw::gServer = &server;
    for (int round = 0; round < 2; ++round) {  // started again after a stop, it runs again
      gState.stopping.store(false);
      startScheduler();
      gState.stopping.store(true);
      stopScheduler();
    }
    ofw::gServer = nullptr;
  }
  gState.stopping.store(false);
  EXPECT_EQ(log.countContaining("DEBUG background thread ID: "), 2);
  EXPECT_TRUE(log.contains("<timeWorker>")) << "the thread names itself";
}

TEST(IsProcessAlive, ExistingUnreachableAndGoneProcesses) {
  EXPECT_TRUE(isProcessAlive(static_cast<int>(getpid())));
  EXPECT_TRUE(isProcessAlive(1));  // init: alive whether or not it may be signalled
  int gone = schedtest::reapedChildPid();
  ASSERT_GT(gone, 0);
  EXPECT_FALSE(isProcessAlive(gone));
  EXPECT_FALSE(isProcessAlive(0));
  EXPECT_FALSE(isProcessAlive(-1));
}

class PurgeTask : public SchedulerPass {
 protected:
  void SetUp() override {
    deadPid_ = schedtest::reapedChildPid();
    ASSERT_GT(deadPid_, 0);
    livePid_ = static_cast<int>(getpid());
    registry_.addVuvoPID(deadPid_, "dead");
    registry_.addTTY("/dev/pts/41", "dead");
    registry_.addPSID(deadPid_, "dead");
    registry_.addVuvoPID(livePid_, "live");
    registry_.addTTY("/dev/pts/42", "live");
    registry_.addPSID(livePid_, "live");
    added_ = time(nullptr);
  }
  SchedulerTargets purgeOnly() {
    SchedulerTargets t;
    t.purgeDeadShells = [this](time_t now, int minAge) {
      return purgeAuditSessions(registry_, now, minAge, connected_);
    };
    return t;
  }
  bool deadRegistered() {
    return registry_.isVuvoAuditing(deadPid_) || registry_.isTTYAuditing("/dev/pts/41") ||
           registry_.isPSIDAuditing(deadPid_);
  }
  bool liveRegistered() {
    return registry_.isVuvoAuditing(livePid_) && registry_.isTTYAuditing("/dev/pts/42") &&
           registry_.isPSIDAuditing(livePid_);
  }
  Vigilog::AuditRegistry registry_;
  Vigilog::Auditor::SessionConnectedCheck connected_;  // unset: by pid
  int deadPid_ = -1, livePid_ = -1;
  time_t added_ = 0;
};

// With the server to ask, a session is gone when no client holds it: pid 0
// and sessions without a pid entry are judged too, and a connected session is
// kept whatever pid it named.
TEST_F(PurgeTask, GoesByTheSessionsConnectionWhenTheServerIsThere) {
  const ofw::Guid connectedWithPid0 = ofw::Guid::generate(), connectedDeadPid = ofw::Guid::generate();
  const ofw::Guid leftWithoutPid = ofw::Guid::generate();
  registry_.addVuvoPID(0, connectedWithPid0.toSwappedMSString());
  registry_.addTTY("/dev/pts/44", connectedWithPid0.toSwappedMSString());
  registry_.addTTY("/dev/pts/45", leftWithoutPid.toSwappedMSString());
  registry_.addPSID(4545, leftWithoutPid.toSwappedMSString());
  int reapedAgain = schedtest::reapedChildPid();
  ASSERT_GT(reapedAgain, 0);
  registry_.addVuvoPID(reapedAgain, connectedDeadPid.toSwappedMSString());
  connected_ = [&](const ofw::Guid& g) { return g == connectedWithPid0 || g == connectedDeadPid; };
  Scheduler s(props_, flags_, purgeOnly(), fake_.probes());
  s.runPass(added_ + 400);
  EXPECT_TRUE(registry_.isVuvoAuditing(0));
  EXPECT_TRUE(registry_.isTTYAuditing("/dev/pts/44"));
  EXPECT_TRUE(registry_.isVuvoAuditing(reapedAgain));
  EXPECT_FALSE(registry_.isTTYAuditing("/dev/pts/45"));
  EXPECT_FALSE(registry_.isPSIDAuditing(4545));
  // "live" and "dead" of the fixture hold no connection either.
  EXPECT_FALSE(deadRegistered());
  EXPECT_FALSE(registry_.isTTYAuditing("/dev/pts/42"));
  EXPECT_EQ(log_.count("DEBUG Purged 3 audit sessions whose audit shell no longer exists"), 1);
}

TEST_F(PurgeTask, RunsAtItsConfiguredIntervalAndAge) {
  props_.setProperty("purge.audit.session.interval", "100");
  props_.setProperty("purge.audit.session.age", "1000");
  Scheduler s(props_, flags_, purgeOnly(), fake_.probes());
  s.runPass(added_ + 400);  // old enough by default, not by the configured age
  EXPECT_TRUE(registry_.isVuvoAuditing(deadPid_));
  EXPECT_EQ(log_.countContaining("audit sessions whose audit shell no longer exists"), 0);  // none purged: no line
  s.runPass(added_ + 1050);  // now old enough, and the interval has elapsed
  EXPECT_FALSE(deadRegistered());
  EXPECT_TRUE(liveRegistered());
  EXPECT_EQ(log_.count("DEBUG Purged 1 audit sessions whose audit shell no longer exists"), 1);

  // A second dead session registered now is not looked at before the interval is over.
  int another = schedtest::reapedChildPid();
  ASSERT_GT(another, 0);
  registry_.addVuvoPID(another, "dead2");
  registry_.addTTY("/dev/pts/43", "dead2");
  s.runPass(added_ + 1149);
  EXPECT_TRUE(registry_.isTTYAuditing("/dev/pts/43"));
  s.runPass(added_ + 1150);
  EXPECT_FALSE(registry_.isTTYAuditing("/dev/pts/43"));
  EXPECT_FALSE(registry_.isVuvoAuditing(another));
  EXPECT_TRUE(liveRegistered());
}

}  // namespace
}  // namespace vgd
