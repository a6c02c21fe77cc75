#include "ofw/config/securefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <utility>

namespace ofw {

namespace {
std::atomic<SecureOpenHook> gOpenHook{nullptr};
}  // namespace

void setSecureOpenHook(SecureOpenHook hook) { gOpenHook.store(hook); }

FileRefusal secureOpenForRead(const std::string& path, UniqueFd& fd, int& err) {
  fd.reset();
  err = 0;
  if (SecureOpenHook hook = gOpenHook.load()) hook(path);
  int f;
  do {
    f = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  } while (f < 0 && errno == EINTR);
  if (f < 0) {
    err = errno;
    switch (err) {
      case ENOENT:
      case ENOTDIR:
        return FileRefusal::NotFound;
      case EACCES:
      case EPERM:
        return FileRefusal::NoPermission;
      case ELOOP:
        return FileRefusal::Symlink;
      default:
        return FileRefusal::Unknown;
    }
  }
  UniqueFd guard(f);
  struct stat st;
  if (::fstat(f, &st) != 0) {
    err = errno;
    return FileRefusal::Unknown;
  }
  if (!S_ISREG(st.st_mode)) return FileRefusal::NotRegular;
  if (st.st_uid != 0) return FileRefusal::NotRoot;
  if (st.st_mode & S_IWOTH) return FileRefusal::WorldWritable;
  if (st.st_nlink != 1) return FileRefusal::HardLinks;
  fd = std::move(guard);
  return FileRefusal::None;
}

int refusalStatus(FileRefusal refusal) {
  switch (refusal) {
    case FileRefusal::None:
      return 0;
    case FileRefusal::NotFound:
      return -2;
    case FileRefusal::NoPermission:
      return -1;
    case FileRefusal::WorldWritable:
    case FileRefusal::Symlink:
    case FileRefusal::HardLinks:
    case FileRefusal::NotRoot:
    case FileRefusal::NotRegular:
      return -125;
    case FileRefusal::Unknown:
      break;
  }
  return -5;
}

const char* refusalText(FileRefusal refusal) {
  switch (refusal) {
    case FileRefusal::None:
      return "is acceptable";
    case FileRefusal::NotFound:
      return "does not exist";
    case FileRefusal::NoPermission:
      return "cannot be accessed (permission denied)";
    case FileRefusal::WorldWritable:
      return "is world writable";
    case FileRefusal::Symlink:
      return "is symlink";
    case FileRefusal::HardLinks:
      return "has more than one hardlinks";
    case FileRefusal::NotRoot:
      return "is not owned by root";
    case FileRefusal::NotRegular:
      return "is not a regular file";
    case FileRefusal::Unknown:
      break;
  }
  return "cannot be opened due to unknown error";
}

}  // namespace ofw
