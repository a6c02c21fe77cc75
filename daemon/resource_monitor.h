// The daemon's watch over its own resources: allocator memory, open
// descriptors, CPU time, and free space on the spool file system.
//
// Over a limit the monitor can ask for a restart (`vgd.resource.restart`,
// only when the watchdog is enabled): it sets the server's stop and restart
// flags, the main loop ends, shutdown leaves the watchdog running and the
// watchdog starts a new daemon. Near the descriptor limit it sets the
// server's purge flag so that idle clients are dropped.
//
// Every limit is read from the configuration at each check. Everything the
// monitor measures goes through ResourceProbes, so tests can feed it values.
// One monitor belongs to one thread (the scheduler's); it is not thread safe.
#pragma once
#include <ctime>
#include <functional>
#include <string>

#include "auditor/disk_quota.h"
#include "auditor/disk_state.h"
#include "ofw/logging/logger.h"
#include "ofw/config/properties.h"
#include "server/server_flags.h"

namespace vgd {

struct ResourceProbes {
  // Allocator bytes in use plus its memory-mapped bytes.
  std::function<long long()> memoryInUse;
  // Soft limit of open files; false when it cannot be read.
  std::function<bool(unsigned long long* soft)> openFilesLimit;
  // Open descriptors of the process; 0 when they cannot be listed.
  std::function<int()> openDescriptors;
  // Clock ticks per second; -1 (errno set) when unknown.
  std::function<long()> clockTicksPerSecond;
  // The process's stat file; user and system time are fields 14 and 15.
  std::string statPath = "/proc/self/stat";
  // Free and total space of the file system holding a path (zeros when unknown).
  std::function<Vigilog::DiskSpace(const std::string& path)> diskSpace;
};

// Probes of the running process (mallinfo2, getrlimit, /proc/<pid>/fd,
// sysconf, statvfs).
ResourceProbes defaultResourceProbes();

// The entries of "/proc/<pid>/fd" other than the descriptor used to list
// them. 0 when the directory cannot be read (logged at DEBUG).
int getNumOfFileOpened(int pid, const ofw::LoggerPtr& logger);

// User plus system ticks (fields 14 and 15) of a stat file in the /proc
// format; the command name in field 2 may hold spaces and parentheses.
// False when the file cannot be read or is malformed.
bool readCpuTicks(const std::string& statPath, unsigned long long* ticks);

// "%lld.%02d %s" in Bytes, KB, MB or GB (the largest unit not above the size,
// GB at most), hundredths truncated.
std::string formatDiskSize(unsigned long long bytes);

class ResourceMonitor {
 public:
  ResourceMonitor(ofw::Properties& props, ofw::ServerFlags& flags, ResourceProbes probes = defaultResourceProbes());
  ResourceMonitor(const ResourceMonitor&) = delete;
  ResourceMonitor& operator=(const ResourceMonitor&) = delete;

  // `vgd.resource.memlimit` bytes (default 100 MiB; ≤ 0 skips the check).
  void checkMemory();
  // `vgd.resource.fdlimit` (default 1024, capped by the open-files limit;
  // ≤ 0 skips the check).
  // At the limit: restart decision. From 80 % of it (limit × 8 / 10): purge
  // flag set; below: purge flag cleared.
  void checkFileDescriptors();
  // `vgd.resource.cpulimit` percent (default 50; < 1 skips the check) over
  // the time since the previous check. The first check (and one after the
  // clock went backwards) only records the baseline. More than
  // `vgd.resource.cpulimit.tolerance` (default 5) consecutive checks over the
  // limit: restart decision.
  void checkCpuUsage(time_t now);
  // Free space of the spool file system against `spool.diskspace.min` and
  // `spool.diskspace.softlimit` (parsed by parseDiskThreshold, compared by
  // isOverQuota as the Auditor does).
  //  - below the minimum: disk-full set; the stop warning once per episode;
  //  - else below the soft limit: the almost-full warning once per episode;
  //  - disk-full is cleared once free space is clear of the minimum raised by
  //    the reset margin, and the warnings are re-armed (the episode ends) once
  //    it is clear of both thresholds raised by it.
  // The margin `spool.diskspace.logstate.reset.threshold` (default 2) is in
  // points of the file system's size: a percentage threshold is raised by
  // that many percent, an absolute one by that percentage of the total size.
  // When the free space cannot be read the state is left as it is.
  void checkDiskSpace(Vigilog::DiskState& state, const std::string& spoolPath);

  // The restart decision: true (stop and restart flags set) only when
  // `vgd.resource.restart` (default false) and `vgd.watch.enabled` (default
  // true) are both true.
  bool decideRestart();

  int cpuOverLimitCount() const { return cpuOverCount_; }

 private:
  ofw::Properties& props_;
  ofw::ServerFlags& flags_;
  ResourceProbes probes_;
  bool cpuBaseline_ = false;
  unsigned long long lastTicks_ = 0;
  time_t lastCheck_ = 0;
  int cpuOverCount_ = 0;
  ofw::LoggerPtr logger_;
};

}  // namespace vgd
