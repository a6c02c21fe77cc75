// The resource monitor: descriptor limit and purge flag, the restart
// decision, CPU usage and its tolerance, disk thresholds with once-per-episode
// warnings and their reset, and the readers of /proc.
#include "daemon/resource_monitor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>

#include "ofw/format.h"
#include "ofw/config/properties.h"
#include "scheduler_test_util.h"

namespace vgd {
namespace {

using schedtest::FakeProbes;
using schedtest::LogCapture;

class Monitor : public ::testing::Test {
 protected:
  ResourceMonitor& monitor() {
    if (!monitor_) monitor_.reset(new ResourceMonitor(props_, flags_, fake_.probes()));
    return *monitor_;
  }
  LogCapture log_;
  ofw::Properties props_;
  ofw::ServerFlags flags_;
  FakeProbes fake_;
  std::unique_ptr<ResourceMonitor> monitor_;
};

TEST_F(Monitor, PurgingStartsAtEightyPercentAndStopsOneBelow) {
  // 1001 × 8 / 10 = 800 in integers (800.8 in real numbers).
  props_.setProperty("vgd.resource.fdlimit", "1001");
  fake_.descriptors = 800;
  monitor().checkFileDescriptors();
  EXPECT_TRUE(flags_.purgeIdle.load());
  EXPECT_EQ(log_.count("DEBUG OrvaneVG daemon file descriptor usage (800), limit (1001)."), 1);
  EXPECT_EQ(log_.count("DEBUG FD resource checker start purging."), 1);

  fake_.descriptors = 799;
  monitor().checkFileDescriptors();
  EXPECT_FALSE(flags_.purgeIdle.load());
  EXPECT_EQ(log_.count("DEBUG FD resource checker stop purging."), 1);
  EXPECT_EQ(log_.countContaining("hit upper limit"), 0);
  EXPECT_FALSE(flags_.stop.load());
}

TEST_F(Monitor, ASmallerOpenFilesLimitReplacesTheConfiguredOne) {
  fake_.rlimit = 100;
  fake_.descriptors = 80;
  monitor().checkFileDescriptors();
  EXPECT_EQ(log_.count("DEBUG Current file descriptor rlimit(100) smaller than vgd.resource.fdlimit(1024). Use 100."), 1);
  EXPECT_EQ(log_.count("DEBUG OrvaneVG daemon file descriptor usage (80), limit (100)."), 1);
  EXPECT_TRUE(flags_.purgeIdle.load());
  fake_.descriptors = 79;
  monitor().checkFileDescriptors();
  EXPECT_FALSE(flags_.purgeIdle.load());

  // Unknown limit: the configured one stands.
  fake_.rlimitKnown = false;
  monitor().checkFileDescriptors();
  EXPECT_EQ(log_.count("DEBUG Resource monitor cannot retrieve current file descriptor rlimit."), 1);
  EXPECT_EQ(log_.count("DEBUG OrvaneVG daemon file descriptor usage (79), limit (1024)."), 1);
}

TEST_F(Monitor, DescriptorsAtTheLimitAskForTheRestartDecision) {
  props_.setProperty("vgd.resource.fdlimit", "50");
  fake_.descriptors = 49;
  monitor().checkFileDescriptors();
  EXPECT_EQ(log_.countContaining("hit upper limit"), 0);
  fake_.descriptors = 50;
  monitor().checkFileDescriptors();
  EXPECT_EQ(log_.count("INFO OrvaneVG daemon file descriptor usage (50) hit upper limit (50). "), 1);
  EXPECT_TRUE(flags_.purgeIdle.load());
  EXPECT_FALSE(flags_.stop.load());  // vgd.resource.restart is false by default
  props_.setProperty("vgd.resource.restart", "true");
  monitor().checkFileDescriptors();
  EXPECT_EQ(log_.count("INFO OrvaneVG daemon file descriptor usage (50) hit upper limit (50). Restart to recover"), 1);
  EXPECT_TRUE(flags_.stop.load());
  EXPECT_TRUE(flags_.restart.load());
}

TEST_F(Monitor, UnlistableDescriptorsFallBackToTheNextDescriptorNumber) {
  fake_.descriptors = 0;
  int probe = open("/dev/null", O_RDONLY);
  ASSERT_GE(probe, 0);
  close(probe);  // the monitor's own open gets this number again
  monitor().checkFileDescriptors();
  EXPECT_EQ(log_.count(ofw::format("DEBUG OrvaneVG daemon file descriptor usage (%d), limit (1024).", probe)), 1);
}

TEST_F(Monitor, RestartDecisionNeedsTheSettingAndTheWatchdog) {
  props_.setProperty("vgd.resource.memlimit", "100");
  fake_.memory = 200;

  // Restart not asked: only the report.
  monitor().checkMemory();
  EXPECT_EQ(log_.count("DEBUG OrvaneVG daemon memory usage (200 bytes), limit (100 bytes)."), 1);
  EXPECT_EQ(log_.count("INFO OrvaneVG daemon memory usage (200 bytes) hit upper limit (100 bytes). "), 1);
  EXPECT_EQ(log_.countContaining("Force action to nothing."), 0);
  EXPECT_FALSE(flags_.stop.load());

  // Asked, but the watchdog is off: logged, nothing done.
  props_.setProperty("vgd.resource.restart", "true");
  props_.setProperty("vgd.watch.enabled", "false");
  size_t mark = log_.mark();
  monitor().checkMemory();
  EXPECT_EQ(log_.count("INFO OrvaneVG resource checker action set to restart but watchdog is not enabled. Force action "
                       "to nothing.", mark), 1);
  EXPECT_EQ(log_.count("INFO OrvaneVG daemon memory usage (200 bytes) hit upper limit (100 bytes). ", mark), 1);
  EXPECT_FALSE(flags_.stop.load());
  EXPECT_FALSE(flags_.restart.load());

  // Asked with the watchdog on: stop and restart flags.
  props_.setProperty("vgd.watch.enabled", "true");
  mark = log_.mark();
  monitor().checkMemory();
  EXPECT_EQ(log_.count("INFO OrvaneVG daemon memory usage (200 bytes) hit upper limit (100 bytes). Restart to recover", mark), 1);
  EXPECT_EQ(log_.countContaining("Force action to nothing.", mark), 0);
  EXPECT_TRUE(flags_.stop.load());
  EXPECT_TRUE(flags_.restart.load());
}

TEST_F(Monitor, MemoryAtTheLimitOrWithoutALimitIsFine) {
  props_.setProperty("vgd.resource.restart", "true");
  props_.setProperty("vgd.resource.memlimit", "200");
  fake_.memory = 200;
  monitor().checkMemory();
  EXPECT_EQ(log_.count("DEBUG OrvaneVG daemon memory usage (200 bytes), limit (200 bytes)."), 1);
  EXPECT_EQ(log_.countContaining("hit upper limit"), 0);
  props_.setProperty("vgd.resource.memlimit", "0");
  fake_.memory = 1LL << 40;
  size_t mark = log_.mark();
  monitor().checkMemory();
  EXPECT_EQ(log_.countContaining("memory usage", mark), 0);
  EXPECT_FALSE(flags_.stop.load());
}

class CpuMonitor : public Monitor {
 protected:
  void SetUp() override {
    fake_.statPath = dir_.file("stat");
    props_.setProperty("vgd.resource.cpulimit.tolerance", "2");
  }
  // A stat line whose command name holds spaces and parentheses.
  void writeStat(unsigned long long utime, unsigned long long stime) {
    std::ofstream out(fake_.statPath, std::ios::trunc);
    out << "4242 (vgd (x) y) S 1 4242 4242 0 -1 4194560 523 0 0 0 " << utime << " " << stime
        << " 0 0 20 0 3 0 12345 1000000 500 18446744073709551615\n";
  }
  // Ticks at 100 per second: usage percent over 10 s is ticks / 10.
  void sample(time_t now, unsigned long long ticks) {
    writeStat(ticks / 2, ticks - ticks / 2);
    monitor().checkCpuUsage(now);
  }
  logtest::TempDir dir_;
};

TEST_F(CpuMonitor, ConsecutiveChecksOverTheLimitBeyondTheToleranceAskForARestart) {
  sample(1000, 0);  // baseline only
  EXPECT_EQ(log_.countContaining("cpu usage"), 0);
  sample(1010, 600);
  EXPECT_EQ(log_.count("DEBUG OrvaneVG daemon cpu usage (60.00), limit (50). (last check 10s ago)"), 1);
  EXPECT_EQ(log_.count("DEBUG OrvaneVG daemon cpu usage (60.00) over limit (50). for 1 times"), 1);
  sample(1020, 1200);
  EXPECT_EQ(monitor().cpuOverLimitCount(), 2);
  EXPECT_EQ(log_.countContaining("hit upper limit"), 0);  // tolerance 2: not yet
  props_.setProperty("vgd.resource.restart", "true");
  sample(1030, 1800);
  EXPECT_EQ(monitor().cpuOverLimitCount(), 3);
  EXPECT_EQ(log_.count("INFO OrvaneVG daemon CPU usage (60) hit upper limit (50). Restart to recover"), 1);
  EXPECT_TRUE(flags_.stop.load());
  EXPECT_TRUE(flags_.restart.load());
}

TEST_F(CpuMonitor, UsageAtOrUnderTheLimitResetsTheCounter) {
  sample(1000, 0);
  sample(1010, 600);
  sample(1020, 1200);
  EXPECT_EQ(monitor().cpuOverLimitCount(), 2);
  sample(1030, 1700);  // exactly 50 %
  EXPECT_EQ(log_.count("DEBUG OrvaneVG daemon cpu usage (50.00), limit (50). (last check 10s ago)"), 1);
  EXPECT_EQ(monitor().cpuOverLimitCount(), 0);
  // Three more over the limit are needed again.
  sample(1040, 2300);
  sample(1050, 2900);
  EXPECT_EQ(log_.countContaining("hit upper limit"), 0);
  sample(1060, 3500);
  EXPECT_EQ(log_.count("INFO OrvaneVG daemon CPU usage (60) hit upper limit (50). "), 1);
  EXPECT_FALSE(flags_.stop.load());
}

TEST_F(CpuMonitor, ImpossibleUsageResetsTheCounter) {
  sample(1000, 0);
  sample(1010, 600);
  EXPECT_EQ(monitor().cpuOverLimitCount(), 1);
  sample(1020, 1700);  // 110 %
  EXPECT_EQ(log_.count("DEBUG Resource checker: Something goes wrong. CPU usage over 100% over 10 sec. Reset the "
                       "counter."), 1);
  EXPECT_EQ(monitor().cpuOverLimitCount(), 0);
}

TEST_F(CpuMonitor, UsageIsMeasuredOverTheTimeSinceTheLastCheck) {
  sample(1000, 0);
  sample(1040, 1000);  // 10 s of CPU in 40 s
  EXPECT_EQ(log_.count("DEBUG OrvaneVG daemon cpu usage (25.00), limit (50). (last check 40s ago)"), 1);
  // The clock went back: a new baseline, no usage computed.
  size_t mark = log_.mark();
  sample(900, 5000);
  EXPECT_EQ(log_.countContaining("cpu usage", mark), 0);
  sample(910, 5100);
  EXPECT_EQ(log_.count("DEBUG OrvaneVG daemon cpu usage (10.00), limit (50). (last check 10s ago)", mark), 1);
}

TEST_F(CpuMonitor, SkippedWithoutLimitTicksOrStatFile) {
  props_.setProperty("vgd.resource.cpulimit", "0");
  sample(1000, 0);
  sample(1010, 900);
  EXPECT_EQ(log_.countContaining("cpu usage") + log_.countContaining("CPU"), 0);

  props_.setProperty("vgd.resource.cpulimit", "50");
  fake_.ticksPerSecond = -1;
  monitor_.reset();
  sample(1000, 0);
  EXPECT_EQ(log_.countContaining("CPU resource checker cannot retrieve _SC_CLK_TCK (errno="), 1);

  fake_.ticksPerSecond = 100;
  fake_.statPath = dir_.file("absent");
  monitor_.reset();
  monitor().checkCpuUsage(1000);
  EXPECT_EQ(log_.count("DEBUG CPU resource checker cannot open /proc/self/stat. Checking skipped."), 1);
}

TEST(ReadCpuTicks, SumsFieldsFourteenAndFifteen) {
  logtest::TempDir dir;
  std::string path = dir.file("stat");
  auto write = [&path](const std::string& text) { std::ofstream(path, std::ios::trunc) << text; };
  unsigned long long ticks = 0;
  write("77 (a) b) c) R 1 2 3 4 5 6 7 8 9 10 123 456 11 12\n");
  ASSERT_TRUE(readCpuTicks(path, &ticks));
  EXPECT_EQ(ticks, 579u);
  write("77 (x) R 1 2 3 4 5 6 7 8 9 10 123\n");  // no field 15
  EXPECT_FALSE(readCpuTicks(path, &ticks));
  write("77 x R 1 2 3 4 5 6 7 8 9 10 123 456\n");  // no command name
  EXPECT_FALSE(readCpuTicks(path, &ticks));
  write("77 (x) R 1 2 3 4 5 6 7 8 9 10 12a 456\n");
  EXPECT_FALSE(readCpuTicks(path, &ticks));
  write("77 (x) R 1 2 3 4 5 6 7 8 9 10 -5 456\n");
  EXPECT_FALSE(readCpuTicks(path, &ticks));
  write("");
  EXPECT_FALSE(readCpuTicks(path, &ticks));
  EXPECT_FALSE(readCpuTicks(dir.file("absent"), &ticks));
  // The process's own file parses.
  EXPECT_TRUE(readCpuTicks("/proc/self/stat", &ticks));
}

TEST(GetNumOfFileOpened, CountsTheProcessDescriptorsButNotTheListingOne) {
  LogCapture log;
  ofw::LoggerPtr logger = ofw::getLogger("test.scheduler");
  int before = getNumOfFileOpened(static_cast<int>(getpid()), logger);
  ASSERT_GT(before, 0);
  int a = open("/dev/null", O_RDONLY);
  int b = open("/dev/null", O_RDONLY);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_EQ(getNumOfFileOpened(static_cast<int>(getpid()), logger), before + 2);
  close(a);
  close(b);
  EXPECT_EQ(getNumOfFileOpened(static_cast<int>(getpid()), logger), before);

  int gone = schedtest::reapedChildPid();
  ASSERT_GT(gone, 0);
  EXPECT_EQ(getNumOfFileOpened(gone, logger), 0);
  EXPECT_EQ(log.count(ofw::format("DEBUG Resource monitor cannot open /proc/%d/fd. (errno=2)", gone)), 1);
}

TEST(FormatDiskSize, PicksTheLargestUnitUpToGigabytes) {
  EXPECT_EQ(formatDiskSize(0), "0.00 Bytes");
  EXPECT_EQ(formatDiskSize(1023), "1023.00 Bytes");
  EXPECT_EQ(formatDiskSize(1024), "1.00 KB");
  EXPECT_EQ(formatDiskSize(1536), "1.50 KB");
  EXPECT_EQ(formatDiskSize(1048575), "1023.99 KB");
  EXPECT_EQ(formatDiskSize(5ull << 30), "5.00 GB");
  EXPECT_EQ(formatDiskSize((5ull << 30) + (1ull << 29)), "5.50 GB");
  EXPECT_EQ(formatDiskSize(3ull << 40), "3072.00 GB");
}

class DiskMonitor : public Monitor {
 protected:
  static constexpr unsigned long long kTotal = 1000ull << 20;  // 1000 MiB
  // Free space a shade above pct percent, so that whole-percent rounding is exact.
  void freePercent(int pct) { setFree(kTotal / 100 * static_cast<unsigned>(pct) + kTotal / 2000); }
  void freeMiB(unsigned long long mib) { setFree(mib << 20); }
  void setFree(unsigned long long bytes) {
    fake_.space = Vigilog::DiskSpace{bytes, kTotal};
    monitor().checkDiskSpace(state_, "/var/orvanevg/spool-dbqc");
  }
  int stopWarnings() { return log_.countContaining("WARN AUDITING HAS BEEN STOPPED because the partition"); }
  int softWarnings() {
    return log_.count(
        "WARN The partition contains the Vigilog spool is almost full, please free disk space to avoid auditing be "
        "stopped");
  }
  Vigilog::DiskState state_;
};

TEST_F(DiskMonitor, PercentThresholdsWarnOncePerEpisodeAndResetAfterTheMargin) {
  freePercent(50);
  EXPECT_FALSE(state_.diskFull.load());
  EXPECT_EQ(log_.count("DEBUG Database filesystem usage: 499.50 MB used, 1000.00 MB total, 500.50 MB free"), 1);
  EXPECT_EQ(stopWarnings() + softWarnings(), 0);

  freePercent(11);  // under the soft limit (12)
  freePercent(11);
  EXPECT_EQ(softWarnings(), 1);
  EXPECT_FALSE(state_.diskFull.load());

  freePercent(9);  // under the minimum (10)
  EXPECT_TRUE(state_.diskFull.load());
  EXPECT_EQ(log_.count("WARN AUDITING HAS BEEN STOPPED because the partition that contains the Vigilog spool is too "
                       "full. 90% of the filesystem that /var/orvanevg/spool-dbqc is stored on is in use."), 1);
  freePercent(8);
  EXPECT_EQ(stopWarnings(), 1);

  freePercent(12);  // back over the minimum but not by the margin (2): still full
  EXPECT_TRUE(state_.diskFull.load());
  freePercent(13);  // clear of 10 + 2
  EXPECT_FALSE(state_.diskFull.load());
  freePercent(14);  // not yet clear of 12 + 2: the episode goes on
  freePercent(9);
  EXPECT_TRUE(state_.diskFull.load());
  EXPECT_EQ(stopWarnings(), 1);
  freePercent(11);
  EXPECT_EQ(softWarnings(), 1);

  freePercent(15);  // clear of both thresholds by the margin: episode over
  EXPECT_FALSE(state_.diskFull.load());
  EXPECT_FALSE(state_.stopWarned.load());
  EXPECT_FALSE(state_.softWarned.load());
  freePercent(11);
  EXPECT_EQ(softWarnings(), 2);
  freePercent(9);
  EXPECT_EQ(stopWarnings(), 2);
}

TEST_F(DiskMonitor, AbsoluteThresholdsUseAMarginInPointsOfTheTotal) {
  props_.setProperty("spool.diskspace.min", "100mb");
  props_.setProperty("spool.diskspace.softlimit", "200MB");
  // Margin 2 points of 1000 MiB = 20 MiB.
  freeMiB(300);
  EXPECT_EQ(stopWarnings() + softWarnings(), 0);
  freeMiB(90);
  EXPECT_TRUE(state_.diskFull.load());
  EXPECT_EQ(log_.count("WARN AUDITING HAS BEEN STOPPED because the partition that contains the Vigilog spool is too "
                       "full. 91% of the filesystem that /var/orvanevg/spool-dbqc is stored on is in use."), 1);
  freeMiB(115);  // over 100 MiB, not over 120
  EXPECT_TRUE(state_.diskFull.load());
  EXPECT_EQ(softWarnings(), 0);  // the stop warning stands while still full
  freeMiB(125);
  EXPECT_FALSE(state_.diskFull.load());
  EXPECT_EQ(softWarnings(), 1);  // under the soft limit, no longer full
  freeMiB(215);                  // over 200 MiB, not over 220: same episode
  freeMiB(150);
  EXPECT_EQ(softWarnings(), 1);
  freeMiB(230);
  EXPECT_FALSE(state_.softWarned.load());
  freeMiB(150);
  EXPECT_EQ(softWarnings(), 2);
  EXPECT_EQ(stopWarnings(), 1);
}

TEST_F(DiskMonitor, ResetMarginComesFromTheConfiguration) {
  props_.setProperty("spool.diskspace.logstate.reset.threshold", "10");
  freePercent(9);
  freePercent(15);  // would end the episode with the default margin
  EXPECT_TRUE(state_.diskFull.load());
  freePercent(9);
  EXPECT_EQ(stopWarnings(), 1);
  freePercent(23);
  EXPECT_FALSE(state_.diskFull.load());
  freePercent(9);
  EXPECT_EQ(stopWarnings(), 2);
}

TEST_F(DiskMonitor, UnknownFreeSpaceLeavesTheStateAlone) {
  freePercent(9);
  ASSERT_TRUE(state_.diskFull.load());
  fake_.space = Vigilog::DiskSpace{0, 0};
  monitor_.reset();
  monitor().checkDiskSpace(state_, "/nowhere");
  EXPECT_TRUE(state_.diskFull.load());
  EXPECT_TRUE(state_.stopWarned.load());
  EXPECT_EQ(log_.count("DEBUG Cannot read the free space of /nowhere. Checking skipped."), 1);
}

TEST_F(DiskMonitor, AnInvalidThresholdFallsBackToItsDefault) {
  props_.setProperty("spool.diskspace.min", "ten");
  freePercent(9);
  EXPECT_TRUE(state_.diskFull.load());
  EXPECT_EQ(log_.count("WARN Illegal value for spool.diskspace.min: 'ten'. Using 10%."), 1);
}

}  // namespace
}  // namespace vgd
