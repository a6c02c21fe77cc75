#include "daemon/spool_migration.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "ofw/format.h"
#include "ofw/logging/logger.h"

namespace vgd {

void upgradeDB(const std::string& dataDir, const std::string& newSpoolDir) {
  ofw::LoggerPtr logger = ofw::getLogger("ovg.vgd");
  std::string oldPath = dataDir + "/spool.dbq";
  struct stat st;
  if (stat(oldPath.c_str(), &st) != 0) {
    OFW_TRACE(logger, "Db is currently up to date.");
    return;
  }
  if (stat(newSpoolDir.c_str(), &st) == 0) {
    OFW_INFO(logger,
             "The spooling storage from previous version exists, and the spool storage of the current "
             "version (%s) also exists. Therefore cannot migrate the old spooling. Vigilog can work "
             "normally. However, the audit data (if there is any) in the old spooling will not be "
             "despooled. Please make sure all audit data despooled, stop Vigilog Daemon (vgd), remove %s, "
             "and start the Daemon. The migration will be done automatically.",
             newSpoolDir.c_str(), oldPath.c_str());
    return;
  }
  if (mkdir(newSpoolDir.c_str(), 0755) != 0) {
    int err = errno;
    OFW_INFO(logger, "Unable to create spool directory %s, Error: %s (%d)", newSpoolDir.c_str(),
             ofw::errnoText(err).c_str(), err);
  }
  if (chmod(newSpoolDir.c_str(), 0755) != 0) {
    int err = errno;
    OFW_INFO(logger, "Change permission of %s is failed, Error: %s (%d)", newSpoolDir.c_str(),
             ofw::errnoText(err).c_str(), err);
  }
  std::string target = newSpoolDir + "/0";
  if (std::rename(oldPath.c_str(), target.c_str()) != 0) {
    int err = errno;
    OFW_INFO(logger, "Rename %s to %s is failed, Error: %s (%d)", oldPath.c_str(), target.c_str(),
             ofw::errnoText(err).c_str(), err);
    return;
  }
  OFW_TRACE(logger, "The spooling's migration is done.");
}

}  // namespace vgd
