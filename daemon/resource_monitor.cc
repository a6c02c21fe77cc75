#include "daemon/resource_monitor.h"

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "ofw/format.h"

namespace vgd {

namespace {

const char* const kLoggerName = "ovg.vgd.resource";

long long allocatorBytesInUse() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
  struct mallinfo2 mi = mallinfo2();
  return static_cast<long long>(mi.uordblks) + static_cast<long long>(mi.hblkhd);
#else
  struct mallinfo mi = mallinfo();
  return static_cast<long long>(static_cast<unsigned>(mi.uordblks)) +
         static_cast<long long>(static_cast<unsigned>(mi.hblkhd));
#endif
}

// A threshold raised by `margin` points of the file system's size.
Vigilog::DiskThreshold raised(const Vigilog::DiskThreshold& t, int margin, uint64_t total) {
  Vigilog::DiskThreshold r = t;
  uint64_t m = static_cast<uint64_t>(margin);
  if (t.percent) {
    r.value = t.value + m;
  } else {
    uint64_t extra = total / 100 * m + total % 100 * m / 100;
    r.value = t.value > UINT64_MAX - extra ? UINT64_MAX : t.value + extra;
  }
  return r;
}

}  // namespace

ResourceProbes defaultResourceProbes() {
  ResourceProbes p;
  p.memoryInUse = allocatorBytesInUse;
  p.openFilesLimit = [](unsigned long long* soft) {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return false;
    *soft = static_cast<unsigned long long>(rl.rlim_cur);
    return true;
  };
  p.openDescriptors = [] { return getNumOfFileOpened(static_cast<int>(getpid()), ofw::getLogger(kLoggerName)); };
  p.clockTicksPerSecond = [] { return sysconf(_SC_CLK_TCK); };
  p.diskSpace = Vigilog::diskSpaceOf;
  return p;
}

int getNumOfFileOpened(int pid, const ofw::LoggerPtr& logger) {
  std::string path = ofw::format("/proc/%d/fd", pid);
  DIR* dir = opendir(path.c_str());
  if (!dir) {
    int err = errno;
    OFW_DEBUG(logger, "Resource monitor cannot open /proc/%d/fd. (errno=%d)", pid, err);
    return 0;
  }
  const std::string own = std::to_string(dirfd(dir));
  int count = 0;
  while (struct dirent* e = readdir(dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    if (own == e->d_name) continue;
    ++count;
  }
  closedir(dir);
  return count;
}

bool readCpuTicks(const std::string& statPath, unsigned long long* ticks) {
  std::ifstream in(statPath);
  if (!in) return false;
  std::string text;
  std::getline(in, text);
  // The command name (field 2) is in parentheses and may contain anything,
  // parentheses included: the fields after it start at the last ')'.
  size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(text.substr(close + 1));
  std::vector<std::string> rest;  // field 3 onwards
  std::string f;
  while (rest.size() < 13 && fields >> f) rest.push_back(f);
  if (rest.size() < 13) return false;
  unsigned long long sum = 0;
  for (size_t i : {size_t(11), size_t(12)}) {  // fields 14 (utime) and 15 (stime)
    const std::string& v = rest[i];
    if (v.empty() || v[0] == '-') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(v.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    sum += n;
  }
  *ticks = sum;
  return true;
}

std::string formatDiskSize(unsigned long long bytes) {
  static const char* const units[] = {"Bytes", "KB", "MB", "GB"};
  int unit = 0;
  while (unit < 3 && (bytes >> (10 * (unit + 1))) > 0) ++unit;
  unsigned shift = 10u * static_cast<unsigned>(unit);
  unsigned long long whole = bytes >> shift;
  unsigned long long remainder = bytes - (whole << shift);
  int hundredths = static_cast<int>((remainder * 100) >> shift);
  return ofw::format("%lld.%02d %s", static_cast<long long>(whole), hundredths, units[unit]);
}

ResourceMonitor::ResourceMonitor(ofw::Properties& props, ofw::ServerFlags& flags, ResourceProbes probes)
    : props_(props), flags_(flags), probes_(std::move(probes)), logger_(ofw::getLogger(kLoggerName)) {}

bool ResourceMonitor::decideRestart() {
  if (!props_.getBool("vgd.resource.restart", false)) return false;
  if (!props_.getBool("vgd.watch.enabled", true)) {
    OFW_INFO(logger_,
             "OrvaneVG resource checker action set to restart but watchdog is not enabled. Force action to nothing.");
    return false;
  }
  // Restart first: the loop that sees stop must already see restart.
  flags_.restart.store(true);
  flags_.stop.store(true);
  return true;
}

void ResourceMonitor::checkMemory() {
  int limit = props_.getInt("vgd.resource.memlimit", 104857600);
  if (limit <= 0 || !probes_.memoryInUse) return;
  long long usage = probes_.memoryInUse();
  OFW_DEBUG(logger_, "OrvaneVG daemon memory usage (%lld bytes), limit (%d bytes).", usage, limit);
  if (usage > limit) {
    bool restart = decideRestart();
    OFW_INFO(logger_, "OrvaneVG daemon memory usage (%lld bytes) hit upper limit (%d bytes). %s", usage, limit,
             restart ? "Restart to recover" : "");
  }
}

void ResourceMonitor::checkFileDescriptors() {
  long long limit = props_.getInt("vgd.resource.fdlimit", 1024);
  // A limit of 0 or less leaves nothing to compare with.
  if (limit <= 0) return;
  unsigned long long soft = 0;
  if (probes_.openFilesLimit && probes_.openFilesLimit(&soft)) {
    if (soft < static_cast<unsigned long long>(limit)) {
      OFW_DEBUG(logger_, "Current file descriptor rlimit(%llu) smaller than %s(%d). Use %llu.", soft,
                "vgd.resource.fdlimit", static_cast<int>(limit), soft);
      limit = static_cast<long long>(soft);
    }
  } else {
    OFW_DEBUG(logger_, "Resource monitor cannot retrieve current file descriptor rlimit.");
  }
  int usage = probes_.openDescriptors ? probes_.openDescriptors() : 0;
  if (usage == 0) {
    // The lowest free descriptor number is a lower bound of the usage.
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      OFW_DEBUG(logger_, "FD resource checker cannot open /dev/null. Checking skipped.");
      return;
    }
    usage = fd;
    ::close(fd);
  }
  OFW_DEBUG(logger_, "OrvaneVG daemon file descriptor usage (%d), limit (%d).", usage, static_cast<int>(limit));
  if (usage >= limit) {
    bool restart = decideRestart();
    OFW_INFO(logger_, "OrvaneVG daemon file descriptor usage (%d) hit upper limit (%d). %s", usage,
             static_cast<int>(limit), restart ? "Restart to recover" : "");
  }
  if (usage >= limit * 8 / 10) {
    flags_.purgeIdle.store(true);
    OFW_DEBUG(logger_, "FD resource checker start purging.");
  } else {
    flags_.purgeIdle.store(false);
    OFW_DEBUG(logger_, "FD resource checker stop purging.");
  }
}

void ResourceMonitor::checkCpuUsage(time_t now) {
  int limit = props_.getInt("vgd.resource.cpulimit", 50);
  if (limit < 1) return;
  errno = 0;
  long perSecond = probes_.clockTicksPerSecond ? probes_.clockTicksPerSecond() : -1;
  if (perSecond <= 0) {
    OFW_DEBUG(logger_, "CPU resource checker cannot retrieve _SC_CLK_TCK (errno=%d). Checking skipped.", errno);
    return;
  }
  unsigned long long ticks = 0;
  if (!readCpuTicks(probes_.statPath, &ticks)) {
    OFW_DEBUG(logger_, "CPU resource checker cannot open /proc/self/stat. Checking skipped.");
    return;
  }
  // Without an earlier sample in the past there is no interval to measure.
  if (!cpuBaseline_ || now <= lastCheck_ || ticks < lastTicks_) {
    cpuBaseline_ = true;
    lastTicks_ = ticks;
    lastCheck_ = now;
    return;
  }
  long elapsed = static_cast<long>(now - lastCheck_);
  double usage =
      static_cast<double>(ticks - lastTicks_) / static_cast<double>(perSecond) / static_cast<double>(elapsed) * 100.0;
  lastTicks_ = ticks;
  lastCheck_ = now;
  OFW_DEBUG(logger_, "OrvaneVG daemon cpu usage (%.2f), limit (%d). (last check %ds ago)", usage, limit,
            static_cast<int>(elapsed));
  if (usage > 100.0) {
    OFW_DEBUG(logger_, "Resource checker: Something goes wrong. CPU usage over 100%% over %d sec. Reset the counter.",
              static_cast<int>(elapsed));
    cpuOverCount_ = 0;
    return;
  }
  if (usage <= limit) {
    cpuOverCount_ = 0;
    return;
  }
  ++cpuOverCount_;
  OFW_DEBUG(logger_, "OrvaneVG daemon cpu usage (%.2f) over limit (%d). for %d times", usage, limit, cpuOverCount_);
  if (cpuOverCount_ > props_.getInt("vgd.resource.cpulimit.tolerance", 5)) {
    bool restart = decideRestart();
    OFW_INFO(logger_, "OrvaneVG daemon CPU usage (%d) hit upper limit (%d). %s", static_cast<int>(usage), limit,
             restart ? "Restart to recover" : "");
  }
}

void ResourceMonitor::checkDiskSpace(Vigilog::DiskState& state, const std::string& spoolPath) {
  Vigilog::DiskThreshold min = Vigilog::parseDiskThreshold(props_.getProperty("spool.diskspace.min", "10"),
                                                           "spool.diskspace.min", Vigilog::DiskThreshold{true, 10},
                                                           logger_);
  Vigilog::DiskThreshold soft = Vigilog::parseDiskThreshold(props_.getProperty("spool.diskspace.softlimit", "12"),
                                                            "spool.diskspace.softlimit",
                                                            Vigilog::DiskThreshold{true, 12}, logger_);
  int margin = props_.getInt("spool.diskspace.logstate.reset.threshold", 2);
  if (margin < 0) margin = 0;
  if (margin > 100) margin = 100;

  Vigilog::DiskSpace space = probes_.diskSpace ? probes_.diskSpace(spoolPath) : Vigilog::DiskSpace();
  if (space.totalBytes == 0) {
    OFW_DEBUG(logger_, "Cannot read the free space of %s. Checking skipped.", spoolPath.c_str());
    return;
  }
  uint64_t freeBytes = space.freeBytes < space.totalBytes ? space.freeBytes : space.totalBytes;
  uint64_t used = space.totalBytes - freeBytes;
  OFW_DEBUG(logger_, "Database filesystem usage: %s used, %s total, %s free", formatDiskSize(used).c_str(),
            formatDiskSize(space.totalBytes).c_str(), formatDiskSize(freeBytes).c_str());

  const ofw::LoggerPtr quiet;
  if (Vigilog::isOverQuota(space, min, logger_)) {
    state.diskFull.store(true);
    if (!state.stopWarned.exchange(true)) {
      int usedPercent = static_cast<int>(used * 100.0 / static_cast<double>(space.totalBytes));
      OFW_WARN(logger_,
               "AUDITING HAS BEEN STOPPED because the partition that contains the Vigilog spool is too full. %d%% of "
               "the filesystem that %s is stored on is in use.",
               usedPercent, spoolPath.c_str());
    }
    return;
  }
  bool clearOfMin = !Vigilog::isOverQuota(space, raised(min, margin, space.totalBytes), quiet);
  if (clearOfMin) state.diskFull.store(false);
  if (Vigilog::isOverQuota(space, soft, quiet)) {
    // Still recovering from a full disk: the stop warning stands for this episode.
    if (!state.diskFull.load() && !state.softWarned.exchange(true))
      OFW_WARN(logger_,
               "The partition contains the Vigilog spool is almost full, please free disk space to avoid auditing be "
               "stopped");
    return;
  }
  if (clearOfMin && !Vigilog::isOverQuota(space, raised(soft, margin, space.totalBytes), quiet))
    state.resetLogIsPrinted();
}

}  // namespace vgd
