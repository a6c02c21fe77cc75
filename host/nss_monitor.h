// The hook monitor: one check of the name-service hook, run by the scheduler
// every `vgd.timer.monitor.nss.conf` seconds, that puts a lost hook back
// unless an administrator has turned auditing off on purpose.
//
// Each check holds the lock file shared with the control tool for its whole
// duration (and gives up at once when the tool holds it), so the two never
// edit the name-service configuration together. The lock is released and its
// file closed on every path out of a check, exceptions included.
#pragma once
#include <sys/types.h>
#include <time.h>

#include <atomic>

#include "host/nss_hook.h"
#include "ofw/logging/logger.h"

namespace ovg {

class NssMonitor {
 public:
  explicit NssMonitor(NssHookPaths paths = NssHookPaths());
  NssMonitor(const NssMonitor&) = delete;
  NssMonitor& operator=(const NssMonitor&) = delete;

  // One check (scheduler thread only). Throws ofw::SystemException when the
  // name-service configuration cannot be stat'ed; every other failure ends
  // the check with a log record.
  void monitorNssConf();

  bool inProgress() const { return inProgress_.load(); }
  // The answer of the last check that could ask the editing script: 1 hooked,
  // 0 not, -1 before any such check. Any thread; never runs the script.
  int lastAnswer() const { return lastAnswer_.load(); }

 private:
  // The status of the name-service configuration the last answer belongs to.
  struct FileIdentity {
    dev_t dev = 0;
    ino_t ino = 0;
    struct timespec mtime = {0, 0};
    off_t size = 0;
    bool operator==(const FileIdentity& o) const {
      return dev == o.dev && ino == o.ino && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
             size == o.size;
    }
  };

  bool askHooked(bool installed, const FileIdentity& now);
  // Unhook, twins, shell list, hook, name-service cache.
  void disableEnableCycle();

  NssHookPaths paths_;
  bool haveLast_ = false;  // the first check always asks the script
  FileIdentity last_;
  bool lastHooked_ = false;
  std::atomic<bool> inProgress_{false};
  std::atomic<int> lastAnswer_{-1};
  ofw::LoggerPtr logger_;
};

}  // namespace ovg
