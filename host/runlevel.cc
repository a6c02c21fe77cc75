#include "host/runlevel.h"

#include <errno.h>
#include <string.h>

#include "host/run_program.h"
#include "ofw/logging/logger.h"

namespace {

const char* const kLoggerName = "ovg.vgd.runlevel";

}  // namespace

std::mutex& UtmpDatabaseMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

int GetRunlevelFromUtmp(const char* utmpPath) {
  std::lock_guard<std::mutex> guard(UtmpDatabaseMutex());
  if (utmpPath != nullptr && utmpname(utmpPath) != 0) {
    int err = errno ? errno : ENOMEM;
    utmpname(_PATH_UTMP);
    errno = err;
    return -err;
  }
  errno = 0;
  setutent();
  int found = -1;
  struct utmp* entry;
  while ((entry = getutent()) != nullptr) {
    if (entry->ut_type == RUN_LVL) found = entry->ut_pid & 0xff;
  }
  int err = errno;
  endutent();
  utmpname(_PATH_UTMP);
  if (found < 0) {
    if (err == 0) err = ENOENT;
    errno = err;
    return -err;
  }
  errno = 0;
  if (found == 'S' || found == 's') return 1;
  if (found >= '0' && found <= '9') return found - '0';
  return -256;
}

int GetRunlevelFromProgram(const char* program) {
  ofw::LoggerPtr logger = ofw::getLogger(kLoggerName);
  if (program == nullptr) {
    errno = EINVAL;
    return -1;
  }
  ovg::ProgramResult r = ovg::runProgram(program, {});
  if (!r.ran || r.timedOut) {
    OFW_DEBUG(logger, "ERROR: execution of script %s failed: %d: %s", program, r.error,
              strerror(r.error));
    errno = r.error;
    return -1;
  }
  OFW_DEBUG(logger, "execution of script %s returns %d(%d)", program, r.exitedNormally ? 1 : 0,
            r.exitCode);
  errno = 0;
  if (r.exitedNormally && r.exitCode >= 0 && r.exitCode <= 9) return r.exitCode;
  return -1;
}

int GetCurrentRunlevel(bool askDaemon, const char* utmpPath, const char* program) {
  ofw::LoggerPtr logger = ofw::getLogger(kLoggerName);

  int level = GetRunlevelFromUtmp(utmpPath);
  int err = errno;
  OFW_DEBUG(logger, "%s returns runlevel %d (errno=%d)", "UTMP", level, err);
  if (level >= 0) return level;

  level = GetRunlevelFromProgram(program);
  err = errno;
  OFW_DEBUG(logger, "%s returns runlevel %d (errno=%d)", "Systemd", level, err);
  if (level >= 0) return level;

  if (askDaemon) {
    // Asking a running daemon is for the audit shell; this build is the
    // daemon itself and has nobody to ask.
    level = -1;
    OFW_DEBUG(logger, "%s returns runlevel %d (errno=%d)", "Daemon", level, ENOTSUP);
  }
  return -1;
}
