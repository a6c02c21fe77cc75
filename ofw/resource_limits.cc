#include "ofw/resource_limits.h"

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>

#include "ofw/format.h"
#include "ofw/config/properties.h"

namespace ofw {

void IncreaseOpenFilesLimit(const LoggerPtr& logger, int wanted) {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) {
    int err = errno;
    OFW_WARN(logger, "Cannot get open files limit for current process: %d, %s", err, errnoText(err).c_str());
    return;
  }
  if (wanted < 0 || rl.rlim_cur >= static_cast<rlim_t>(wanted)) {
    OFW_INFO(logger, "Current open files limit is %d, no need to change", static_cast<int>(rl.rlim_cur));
    return;
  }
  OFW_DEBUG(logger, "Max allowed open files for vgd process is %d", static_cast<int>(rl.rlim_max));
  rlim_t old = rl.rlim_cur;
  rl.rlim_cur = std::min(static_cast<rlim_t>(wanted), rl.rlim_max);
  if (setrlimit(RLIMIT_NOFILE, &rl) == 0) {
    OFW_INFO(logger, "Changed open files limit from %d to %d", static_cast<int>(old), static_cast<int>(rl.rlim_cur));
  } else {
    int err = errno;
    OFW_WARN(logger, "Cannot set new open files limit: %d %s", err, errnoText(err).c_str());
  }
}

void IncreaseOpenFilesLimit(const LoggerPtr& logger) {
  IncreaseOpenFilesLimit(logger, Props().getInt("vgd.process.fdlimit", 2048));
}

}  // namespace ofw
