#include "daemon/lockfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ofw/format.h"

namespace vgd {

LockFile::~LockFile() {
  if (fd_ >= 0) close(fd_);
}

LockFile::Result LockFile::tryTake(long* holder) {
  if (fd_ < 0) {
    struct stat st;
    if (lstat(path_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) unlink(path_.c_str());
    int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
    if (fd < 0 && errno == EEXIST) fd = open(path_.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      int err = errno;
      OFW_WARN(logger_, "Create lock file (%s) failed.  Please create the directory /var/run. (errno %d: %s)",
               path_.c_str(), err, ofw::errnoText(err).c_str());
      return FAILED;
    }
    // What was opened must be a regular file owned by us, with one link: a
    // file planted by someone else is not a lock.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1) {
      OFW_WARN(logger_, "Create lock file (%s) failed.  Please create the directory /var/run. (not a plain file owned by the daemon)",
               path_.c_str());
      close(fd);
      return FAILED;
    }
    fd_ = fd;
  }
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  if (fcntl(fd_, F_SETLK, &fl) == 0) return TAKEN;
  int err = errno;
  if (err == EACCES || err == EAGAIN) {
    struct flock q;
    std::memset(&q, 0, sizeof q);
    q.l_type = F_WRLCK;
    q.l_whence = SEEK_SET;
    if (holder) *holder = fcntl(fd_, F_GETLK, &q) == 0 ? static_cast<long>(q.l_pid) : -1;
    return HELD_BY_OTHER;
  }
  OFW_WARN(logger_, "Locking the lock file (%s) failed (errno %d: %s)", path_.c_str(), err,
           ofw::errnoText(err).c_str());
  return FAILED;
}

LockFile::Result LockFile::take(int attempts, int sleepSeconds, long* holder) {
  Result r = FAILED;
  if (attempts < 1) attempts = 1;
  for (int i = 0; i < attempts; ++i) {
    r = tryTake(holder);
    if (r != HELD_BY_OTHER) return r;
    OFW_DEBUG(logger_, "vgd is already running, pid %ld.  Waiting to see if it exits", holder ? *holder : -1L);
    sleep(static_cast<unsigned>(sleepSeconds));
  }
  return r;
}

}  // namespace vgd
