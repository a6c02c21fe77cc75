#include "daemon/pidfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "ofw/format.h"
#include "ofw/logging/logger.h"

namespace vgd {

bool writePidFile(const std::string& path, long pid) {
  mode_t old = umask(0133);
  unlink(path.c_str());
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  umask(old);
  if (fd < 0) return false;
  std::string text = std::to_string(pid);
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

void removePidFile(const std::string& path) {
  static ofw::LoggerPtr logger = ofw::getLogger("ovg.vgd");
  OFW_DEBUG(logger, "Removing %s", path.c_str());
  if (unlink(path.c_str()) != 0) {
    int err = errno;
    OFW_DEBUG(logger, "Removing %s failed: %s", path.c_str(), ofw::errnoText(err).c_str());
  }
}

}  // namespace vgd
