#include "host/nss_monitor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "host/twin_shells.h"
#include "ofw/capi/dirsettings.h"
#include "ofw/exceptions.h"
#include "ofw/format.h"
#include "ofw/script_runner.h"
#include "ofw/unique_fd.h"

namespace ovg {

namespace {

const int kNscdRestartAndFlush = 2;

// Sets a flag for the lifetime of the object.
class FlagGuard {
 public:
  explicit FlagGuard(std::atomic<bool>& flag) : flag_(flag) { flag_.store(true); }
  ~FlagGuard() { flag_.store(false); }
  FlagGuard(const FlagGuard&) = delete;
  FlagGuard& operator=(const FlagGuard&) = delete;

 private:
  std::atomic<bool>& flag_;
};

// The control tool's lock file with an exclusive lock on it; the lock goes
// with the descriptor. Open-file-description locks conflict with the tool's
// record locks and, unlike them, also with another descriptor of this process.
ofw::UniqueFd takeControlLock(const std::string& path, const ofw::LoggerPtr& logger) {
  ofw::UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) {
    int err = errno;
    OFW_DEBUG(logger, "Open lock file (%s) failed: %d (%s)", path.c_str(), err, ofw::errnoText(err).c_str());
    return fd;
  }
  struct flock lk = {};
  lk.l_type = F_WRLCK;
  lk.l_whence = SEEK_SET;
  if (fcntl(fd.get(), F_OFD_SETLK, &lk) == 0) return fd;
  int err = errno;
  if (err == EAGAIN || err == EACCES)
    OFW_DEBUG(logger, "Lock file (%s) is owned by some process already.", path.c_str());
  else
    OFW_DEBUG(logger, "Acquire lock file (%s) failed: %d (%s)", path.c_str(), err, ofw::errnoText(err).c_str());
  return ofw::UniqueFd();
}

}  // namespace

NssMonitor::NssMonitor(NssHookPaths paths) : paths_(std::move(paths)), logger_(ofw::getLogger("ovg.vgd.nss")) {}

void NssMonitor::monitorNssConf() {
  FlagGuard busy(inProgress_);
  OFW_DEBUG(logger_, "Monitor VG's audit status");
  const bool joined = isHostJoined(paths_);
  struct stat st;
  if (stat(paths_.nsswitch.c_str(), &st) != 0) {
    int err = errno;
    throw ofw::SystemException(ofw::withErrno(ofw::format("Fail to get stat of %s.", paths_.nsswitch.c_str()), err),
                               err, __FILE__, __LINE__);
  }
  FileIdentity now;
  now.dev = st.st_dev;
  now.ino = st.st_ino;
  now.mtime = st.st_mtim;
  now.size = st.st_size;

  ofw::UniqueFd lock = takeControlLock(paths_.lockFile, logger_);
  if (!lock) return;
  if (IsPurposelyUnhooked(paths_)) {
    OFW_DEBUG(logger_, "Auditing purposely disabled. Do not enable audit automatically.");
    return;
  }
  const bool installed = ofw::IsDUZInstalled(paths_.capiLibrary);
  const bool hooked = askHooked(installed, now);
  if (installed && !IsNSSNormal(joined, paths_))
    OFW_WARN(logger_, "The NSS config is abnormal, it may lead to abnormal login behavior!");
  if (!hooked) disableEnableCycle();
}

bool NssMonitor::askHooked(bool installed, const FileIdentity& now) {
  if (installed && haveLast_ && now == last_) return lastHooked_;
  if (installed) OFW_DEBUG(logger_, "%s has been changed.", paths_.nsswitch.c_str());
  try {
    lastHooked_ = IsHooked(paths_);
    lastAnswer_ = lastHooked_ ? 1 : 0;
    last_ = now;
    haveLast_ = installed;
    return lastHooked_;
  } catch (const std::exception& e) {
    OFW_DEBUG(logger_, "Don't know if enabled NSS or not (%s). Try disable and enable again.", e.what());
  } catch (...) {
    OFW_DEBUG(logger_, "Don't know if enabled NSS or not (unspecified issue). Try disable and enable again.");
  }
  haveLast_ = false;
  return false;
}

void NssMonitor::disableEnableCycle() {
  OFW_DEBUG(logger_, "Do disable and enable cycle");
  try {
    // Not hooked is what the cycle starts from, so "not enabled" is no
    // failure; likewise "already enabled" at its end.
    try {
      DisableSessionAudit(paths_);
    } catch (const ofw::NotFoundException&) {
    }
    makeOvgOwnShell(paths_, logger_);
    addValidShellToEtcShells(paths_);
    try {
      EnableSessionAudit(paths_);
    } catch (const ofw::AlreadyException&) {
    }
    ofw::ProcessNscdRequest(kNscdRestartAndFlush, paths_.nscdScripts);
  } catch (const std::exception& e) {
    OFW_DEBUG(logger_, "Can't complete the unhook and hook cycle: %s", e.what());
  }
}

}  // namespace ovg
