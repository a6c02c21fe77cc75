#include "ofw/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "ofw/exceptions.h"
#include "ofw/unique_fd.h"

namespace ofw {

namespace {

[[noreturn]] void fail(const std::string& what, int err) {
  throw IOException(withErrno(what, err), err, __FILE__, __LINE__);
}

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// A new, exclusively created temporary file beside `name`.
UniqueFd createTemporary(int dirFd, const std::string& name, std::string* tmpName) {
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    *tmpName = "." + name + ".tmp" + std::to_string(getpid()) + "." +
               std::to_string(__atomic_add_fetch(&counter, 1, __ATOMIC_RELAXED)) + "." + std::to_string(ts.tv_nsec);
    int fd = ::openat(dirFd, tmpName->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) return UniqueFd(fd);
    if (errno != EEXIST) fail("Unable to create a temporary file for " + name, errno);
  }
  fail("Unable to create a temporary file for " + name, EEXIST);
}

}  // namespace

void replaceFileAt(int dirFd, const std::string& name, const std::string& content, mode_t mode, uid_t uid,
                   gid_t gid) {
  if (name.empty() || name.find('/') != std::string::npos) fail("Not a file name: " + name, EINVAL);
  std::string tmpName;
  UniqueFd fd = createTemporary(dirFd, name, &tmpName);
  int err = 0;
  struct stat st;
  if (!writeAll(fd.get(), content.data(), content.size())) err = errno;
  if (err == 0 && fstat(fd.get(), &st) != 0) err = errno;
  if (err == 0 && (st.st_uid != uid || st.st_gid != gid) && fchown(fd.get(), uid, gid) != 0) err = errno;
  // After fchown, which clears set-id bits.
  if (err == 0 && fchmod(fd.get(), mode) != 0) err = errno;
  if (err == 0 && fsync(fd.get()) != 0) err = errno;
  if (::close(fd.release()) != 0 && err == 0) err = errno;
  if (err == 0 && renameat(dirFd, tmpName.c_str(), dirFd, name.c_str()) != 0) err = errno;
  if (err != 0) {
    unlinkat(dirFd, tmpName.c_str(), 0);
    fail("Unable to replace " + name, err);
  }
  fsync(dirFd);
}

void replaceFile(const std::string& path, const std::string& content, mode_t modeIfNew) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dirFd) fail("Unable to open directory " + dir, errno);
  struct stat st;
  if (fstatat(dirFd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    // A symbolic link's own mode says nothing; replacing it would also cut the link.
    if (!S_ISREG(st.st_mode)) fail("Not a regular file: " + path, EINVAL);
    replaceFileAt(dirFd.get(), name, content, st.st_mode & 07777, st.st_uid, st.st_gid);
  } else if (errno == ENOENT) {
    replaceFileAt(dirFd.get(), name, content, modeIfNew, geteuid(), getegid());
  } else {
    fail("Unable to read the status of " + path, errno);
  }
}

}  // namespace ofw
